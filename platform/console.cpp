// The console: the standard handles and WriteFile on them.  Bytes pass
// through unchanged, whatever their code page.
#include "internal.h"

#include <errno.h>
#include <unistd.h>

using namespace nt;

namespace {

struct StdHandle {
    int fd;
    const char *name;
};
StdHandle stdInput = {0, "StdIn"}, stdOutput = {1, "StdOut"}, stdError = {2, "StdErr"};

StdHandle *AsStdHandle(HANDLE h)
{
    if (h == &stdInput || h == &stdOutput || h == &stdError)
        return static_cast<StdHandle *>(h);
    return nullptr;
}

}  // namespace

extern "C" HANDLE WINAPI GetStdHandle(DWORD nStdHandle)
{
    Call call = Begin(Op::GetStdHandle);
    HANDLE h = (HANDLE)(intptr_t)-1;   // INVALID_HANDLE_VALUE
    if (call.fault) {
        SetLastError(call.fault);
    } else if (nStdHandle == (DWORD)-10) {
        h = &stdInput;
    } else if (nStdHandle == (DWORD)-11) {
        h = &stdOutput;
    } else if (nStdHandle == (DWORD)-12) {
        h = &stdError;
    } else {
        SetLastError(kErrorInvalidHandle);
    }
    StdHandle *s = AsStdHandle(h);
    End(call, "%d -> %s", (int)nStdHandle, s ? s->name : "INVALID_HANDLE_VALUE");
    return h;
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    (void)lpOverlapped;
    Call call = Begin(Op::WriteFile);
    StdHandle *s = AsStdHandle(hFile);
    BOOL ok = FALSE;
    DWORD written = 0;
    if (call.fault) {
        SetLastError(call.fault);
    } else if (s == nullptr) {
        SetLastError(kErrorInvalidHandle);
    } else if (lpBuffer == nullptr && nNumberOfBytesToWrite != 0) {
        SetLastError(kErrorInvalidParameter);
    } else {
        const char *p = static_cast<const char *>(lpBuffer);
        ok = TRUE;
        while (written < nNumberOfBytesToWrite) {
            ssize_t n = write(s->fd, p + written, nNumberOfBytesToWrite - written);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                SetLastError(kErrorInvalidHandle);
                ok = FALSE;
                break;
            }
            written += (DWORD)n;
        }
    }
    if (lpNumberOfBytesWritten != nullptr)
        *lpNumberOfBytesWritten = written;
    End(call, "%s %u -> %d", s ? s->name : "?", nNumberOfBytesToWrite, ok);
    return ok;
}
