// The process heap, local memory, and the book of everything the process
// holds: heap blocks, SIDs, message buffers and key handles are real
// allocations, and each stays on the book until it is given back, so that
// the end of a run can say what is still outstanding.
#include "internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

namespace nt {
namespace {

struct Entry {
    Resource kind;
    unsigned serial;
    std::string what;
};

struct Book {
    std::unordered_map<const void *, Entry> live;
    unsigned next[4] = {0, 0, 0, 0};
};

Book &TheBook()
{
    static Book *book = new Book;   // outlives every exit handler
    return *book;
}

const char kPrefix[] = {'M', 'S', 'L', 'K'};
const char *const kKindName[] = {"heap", "sid", "local", "key"};

std::string Label(const Entry &e)
{
    return kPrefix[(int)e.kind] + std::to_string(e.serial);
}

}  // namespace

std::string Track(Resource kind, const void *p, std::string what)
{
    Book &book = TheBook();
    Entry e{kind, ++book.next[(int)kind], std::move(what)};
    std::string label = Label(e);
    book.live[p] = std::move(e);
    return label;
}

bool Untrack(Resource kind, const void *p)
{
    Book &book = TheBook();
    auto it = book.live.find(p);
    if (it == book.live.end() || it->second.kind != kind)
        return false;
    book.live.erase(it);
    return true;
}

bool IsLive(Resource kind, const void *p)
{
    Book &book = TheBook();
    auto it = book.live.find(p);
    return it != book.live.end() && it->second.kind == kind;
}

std::string LabelOf(const void *p)
{
    Book &book = TheBook();
    auto it = book.live.find(p);
    if (it == book.live.end()) {
        char buf[32];
        snprintf(buf, sizeof buf, "%p", p);
        return buf;
    }
    return Label(it->second);
}

std::vector<std::string> Outstanding()
{
    std::vector<const Entry *> entries;
    for (auto &kv : TheBook().live)
        entries.push_back(&kv.second);
    std::sort(entries.begin(), entries.end(), [](const Entry *a, const Entry *b) {
        return a->kind != b->kind ? a->kind < b->kind : a->serial < b->serial;
    });
    std::vector<std::string> lines;
    for (const Entry *e : entries) {
        std::string line = std::string(kKindName[(int)e->kind]) + " " + Label(*e);
        if (!e->what.empty())
            line += " " + e->what;
        lines.push_back(line);
    }
    return lines;
}

}  // namespace nt

using namespace nt;

namespace {
// The one heap of the process; its handle is the address of this object.
struct ProcessHeap {
    unsigned magic;
} theProcessHeap = {0x48454150};
}  // namespace

extern "C" HANDLE WINAPI GetProcessHeap(void)
{
    // The heap the process starts with: NT hands it out and never fails.
    Call call = Begin(Op::GetProcessHeap);
    End(call, "-> H");
    return &theProcessHeap;
}

extern "C" LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes)
{
    const DWORD kZeroMemory = 0x00000008;
    Call call = Begin(Op::HeapAlloc);
    void *p = nullptr;
    if (call.fault) {
        // HeapAlloc sets no last error unless asked to raise; it just fails.
    } else if (hHeap != &theProcessHeap) {
        // A bad heap handle is undefined on NT; refuse it here.
    } else {
        p = malloc(dwBytes ? dwBytes : 1);
        if (p != nullptr) {
            // Not cleared unless asked: fill it the way a debug heap does,
            // so that nothing relies on it being zero.
            memset(p, (dwFlags & kZeroMemory) ? 0x00 : 0xBA, dwBytes);
            Track(Resource::HeapBlock, p, std::to_string(dwBytes) + " bytes");
        }
    }
    End(call, "flags=%u %zu -> %s", dwFlags, (size_t)dwBytes,
        p ? LabelOf(p).c_str() : "0");
    return p;
}

extern "C" BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem)
{
    Call call = Begin(Op::HeapFree);
    std::string label = lpMem ? LabelOf(lpMem) : "0";
    BOOL ok = TRUE;
    if (call.fault) {
        // A failed release releases nothing.
        SetLastError(call.fault);
        ok = FALSE;
    } else if (hHeap != &theProcessHeap) {
        SetLastError(kErrorInvalidHandle);
        ok = FALSE;
    } else if (lpMem != nullptr) {
        if (Untrack(Resource::HeapBlock, lpMem)) {
            free(lpMem);
        } else {
            SetLastError(kErrorInvalidParameter);
            ok = FALSE;
        }
    }
    End(call, "flags=%u %s -> %d", dwFlags, label.c_str(), ok);
    return ok;
}

extern "C" HLOCAL WINAPI LocalFree(HLOCAL hMem)
{
    Call call = Begin(Op::LocalFree);
    std::string label = hMem ? LabelOf(hMem) : "0";
    HLOCAL result = nullptr;
    if (call.fault) {
        SetLastError(call.fault);
        result = hMem;
    } else if (hMem != nullptr) {
        if (Untrack(Resource::LocalBlock, hMem)) {
            free(hMem);
        } else {
            SetLastError(kErrorInvalidHandle);
            result = hMem;
        }
    }
    End(call, "%s -> %s", label.c_str(), result ? label.c_str() : "0");
    return result;
}
