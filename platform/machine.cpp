// The machine: what the process runs on.  It is read from the machine file
// that NTEMU_MACHINE names (or built in) before main runs, and its registry
// is written back to that file, atomically, when the process ends.  This
// file also keeps the book of platform calls: their count, the faults the
// machine file injects, and the trace that NTEMU_TRACE names.
#include "internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace nt {
namespace {

const char *const kOpNames[] = {
    "GetVersionExA", "AllocateAndInitializeSid", "GetLengthSid", "FreeSid",
    "InitializeAcl", "AddAccessAllowedAce", "InitializeSecurityDescriptor",
    "SetSecurityDescriptorDacl", "GetLastError", "GetProcessHeap", "HeapAlloc",
    "HeapFree", "LocalFree", "FormatMessageA", "GetStdHandle", "WriteFile",
    "RegOpenKeyExA", "RegSetKeySecurity", "RegEnumKeyExA", "RegCloseKey",
    "RegDeleteKeyA",
};
static_assert(sizeof kOpNames / sizeof kOpNames[0] == (size_t)Op::Count, "one name per operation");
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA");

// Exit status of a process whose machine could not be set up: the tool
// itself never ran.
constexpr int kMachineUnusable = 125;

struct Fault {
    unsigned nth;
    DWORD code;
};

struct Calls {
    unsigned total = 0;
    unsigned count[(size_t)Op::Count] = {};
    std::vector<Fault> faults[(size_t)Op::Count];
    FILE *trace = nullptr;
};

Calls &TheCalls()
{
    static Calls *calls = new Calls;
    return *calls;
}

// What the machine file said besides its keys, written back as it was read.
std::vector<std::string> &SettingLines()
{
    static auto *lines = new std::vector<std::string>;
    return *lines;
}

// The machine file; empty for the built-in machine, which is never written.
std::string &MachinePath()
{
    static auto *path = new std::string;
    return *path;
}

// The built-in machine, platform/builtin.machine, as kBuiltinMachine.
#include "builtin_machine.inc"

// ---- the machine file ----

struct Parser {
    const std::string &file;   // for messages
    unsigned line = 0;
    Key *current = nullptr;    // key of the last header
    bool currentHasDacl = false;
    std::string error;
    std::string lastSddl;
    Dacl lastDacl;

    bool Fail(const std::string &message)
    {
        error = file + ":" + std::to_string(line) + ": " + message;
        return false;
    }

    bool Setting(const std::string &text)
    {
        Machine &m = TheMachine();
        char word[32], arg[64], extra[2];
        unsigned nth = 0;
        unsigned long code = 0;
        if (sscanf(text.c_str(), "fail %63s %u %lu %1s", arg, &nth, &code, extra) == 3) {
            Op op;
            if (!OpFromName(arg, op))
                return Fail("no such operation '" + std::string(arg) + "'");
            if (op == Op::GetLengthSid || op == Op::GetLastError || op == Op::GetProcessHeap)
                return Fail(std::string(arg) + " cannot fail");
            if (nth == 0 || code == 0 || code > 0xFFFFFFFFul)
                return Fail("a fault is 'fail OPERATION N CODE' with N and CODE from 1");
            TheCalls().faults[(size_t)op].push_back(Fault{nth, (DWORD)code});
            SettingLines().push_back("fail " + std::string(arg) + " " + std::to_string(nth) +
                                     " " + std::to_string(code));
            return true;
        }
        if (sscanf(text.c_str(), "%31s %63s %1s", word, arg, extra) != 2)
            return Fail("cannot read '" + text + "'");
        std::string w = word, a = arg;
        if (w == "platform" && (a == "NT4" || a == "98"))
            m.nt = a == "NT4";
        else if (w == "admin" && (a == "yes" || a == "no"))
            m.admin = a == "yes";
        else if (w == "language" && (a == "ja" || a == "en"))
            m.japanese = a == "ja";
        else if (w == "platform" || w == "admin" || w == "language")
            return Fail("'" + w + "' cannot be '" + a + "'");
        else
            return Fail("cannot read '" + text + "'");
        for (const std::string &s : SettingLines())
            if (s.compare(0, w.size() + 1, w + " ") == 0)
                return Fail("'" + w + "' set twice");
        SettingLines().push_back(w + " " + a);
        return true;
    }

    bool Header(const std::string &path)
    {
        Key *key;
        size_t at = 0;
        if (!path.empty() && path[0] == '\\') {
            if (current == nullptr)
                return Fail("a header starting with '\\' names a subkey of the key above it, and there is none");
            key = current;
            at = 1;
        } else {
            key = RegistryRoot();
        }
        if (at >= path.size())
            return Fail("empty key path");
        for (;;) {
            size_t sep = path.find('\\', at);
            std::string part = path.substr(at, sep == std::string::npos ? std::string::npos : sep - at);
            std::u16string name;
            if (part.empty())
                return Fail("empty key name in '" + path + "'");
            if (!Utf8ToUnicode(part, name))
                return Fail("key name is not UTF-8");
            if (name.size() > kMaxNameLength)
                return Fail("key name of " + std::to_string(name.size()) +
                            " characters; the registry allows 255");
            if (key->depth + 1 > kMaxDepth)
                return Fail("key at level " + std::to_string(key->depth + 1) +
                            "; the registry is at most 512 levels deep");
            key = FindOrAddSubkey(key, std::move(name), DefaultDacl());
            if (sep == std::string::npos)
                break;
            at = sep + 1;
        }
        if (key->declared)
            return Fail("key declared twice");
        key->declared = true;
        current = key;
        currentHasDacl = false;
        return true;
    }

    bool DaclLine(const std::string &sddl)
    {
        if (current == nullptr)
            return Fail("'dacl' before any [key]");
        if (currentHasDacl)
            return Fail("second 'dacl' for one key");
        // Machine files give most keys the same DACL, line after line.
        if (sddl != lastSddl) {
            std::string why;
            if (!ParseSddlDacl(sddl, lastDacl, why))
                return Fail(why);
            lastSddl = sddl;
        }
        current->dacl = lastDacl;
        currentHasDacl = true;
        return true;
    }

    // "text" with \\ and \" escapes, from text[at]; at ends past the quote.
    bool Quoted(const std::string &text, size_t &at, std::string &out)
    {
        if (at >= text.size() || text[at] != '"')
            return false;
        out.clear();
        for (++at; at < text.size(); ++at) {
            char c = text[at];
            if (c == '"') {
                ++at;
                return true;
            }
            if (c == '\\') {
                if (++at >= text.size() || (text[at] != '\\' && text[at] != '"'))
                    return false;
                c = text[at];
            }
            out += c;
        }
        return false;
    }

    bool ValueLine(const std::string &text)
    {
        if (current == nullptr)
            return Fail("a value before any [key]");
        Value v{false, "", ""};
        size_t at = 0;
        if (text[0] == '@') {
            v.isDefault = true;
            at = 1;
        } else if (!Quoted(text, at, v.name)) {
            return Fail("a value is \"name\"=\"data\" or @=\"data\"");
        }
        if (at >= text.size() || text[at] != '=')
            return Fail("a value is \"name\"=\"data\" or @=\"data\"");
        ++at;
        if (!Quoted(text, at, v.data) || at != text.size())
            return Fail("a value's data is one \"quoted string\"");
        std::u16string check;
        if (!Utf8ToUnicode(v.name, check) || !Utf8ToUnicode(v.data, check))
            return Fail("value is not UTF-8");
        if (!current->values)
            current->values.reset(new std::vector<Value>);
        for (const Value &old : *current->values)
            if (old.isDefault == v.isDefault && old.name == v.name)
                return Fail("value set twice");
        current->values->push_back(std::move(v));
        return true;
    }

    bool Line(std::string text)
    {
        ++line;
        // Editors on Windows start UTF-8 files with a byte order mark.
        if (line == 1 && text.compare(0, 3, "\xEF\xBB\xBF") == 0)
            text.erase(0, 3);
        while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
            text.pop_back();
        size_t start = text.find_first_not_of(" \t");
        if (start == std::string::npos || text[start] == '#')
            return true;
        text.erase(0, start);
        if (text[0] == '[') {
            if (text.back() != ']')
                return Fail("a key header is [PATH]");
            return Header(text.substr(1, text.size() - 2));
        }
        if (text.compare(0, 5, "dacl ") == 0)
            return DaclLine(text.substr(5));
        if (text[0] == '"' || text[0] == '@')
            return ValueLine(text);
        if (current != nullptr)
            return Fail("settings come before the first [key]");
        return Setting(text);
    }
};

bool LoadText(const char *text, const std::string &name, std::string &error)
{
    Parser p{name, 0, nullptr, false, {}, {}, {}};
    const char *at = text;
    while (*at) {
        const char *end = strchr(at, '\n');
        if (end == nullptr)
            end = at + strlen(at);
        if (!p.Line(std::string(at, end)))
            break;
        at = *end ? end + 1 : end;
    }
    error = p.error;
    return error.empty();
}

bool LoadFile(const std::string &path, std::string &error)
{
    FILE *f = fopen(path.c_str(), "r");
    if (f == nullptr) {
        error = path + ": cannot read: " + strerror(errno);
        return false;
    }
    Parser p{path, 0, nullptr, false, {}, {}, {}};
    char *buffer = nullptr;
    size_t capacity = 0;
    ssize_t n;
    bool ok = true;
    while (ok && (n = getline(&buffer, &capacity, f)) >= 0) {
        if (n > 0 && buffer[n - 1] == '\n')
            --n;
        if (memchr(buffer, '\0', n) != nullptr) {
            ++p.line;
            ok = p.Fail("NUL byte in the line");
            break;
        }
        ok = p.Line(std::string(buffer, n));
    }
    if (ok && ferror(f))
        p.error = path + ": cannot read: " + strerror(errno);
    free(buffer);
    fclose(f);
    error = p.error;
    return error.empty();
}

std::string QuoteValue(const std::string &text)
{
    std::string q = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            q += '\\';
        q += c;
    }
    return q + "\"";
}

// A key is written when it says something its path does not: a DACL of its
// own, values, or that it is a leaf.
void SaveKey(FILE *f, const Key *key, std::string &path)
{
    size_t length = path.size();
    if (key->parent != nullptr) {
        if (key->parent->parent != nullptr)
            path += '\\';
        path += UnicodeToUtf8(key->name);
        bool ownDacl = key->dacl != DefaultDacl() &&
                       (!key->dacl || !DefaultDacl() || *key->dacl != *DefaultDacl());
        bool hasValues = key->values && !key->values->empty();
        if (ownDacl || hasValues || key->subkeys.empty()) {
            fprintf(f, "\n[%s]\n", path.c_str());
            if (ownDacl)
                fprintf(f, "dacl %s\n", FormatSddlDacl(key->dacl).c_str());
            if (hasValues)
                for (const Value &v : *key->values)
                    fprintf(f, "%s=%s\n", v.isDefault ? "@" : QuoteValue(v.name).c_str(),
                            QuoteValue(v.data).c_str());
        }
    }
    for (const Key *sub : key->subkeys)
        SaveKey(f, sub, path);
    path.resize(length);
}

// Writes the registry to a new file beside the machine file and renames it
// over the old one, so that the file is whole whatever happens.
void Save()
{
    std::string temp = MachinePath() + ".ntemu-XXXXXX";
    int fd = mkstemp(&temp[0]);
    if (fd < 0) {
        fprintf(stderr, "ntemu: cannot write %s: %s\n", MachinePath().c_str(), strerror(errno));
        return;
    }
    struct stat st;
    if (stat(MachinePath().c_str(), &st) == 0)
        fchmod(fd, st.st_mode & 07777);
    FILE *f = fdopen(fd, "w");
    for (const std::string &s : SettingLines())
        fprintf(f, "%s\n", s.c_str());
    std::string path;
    SaveKey(f, RegistryRoot(), path);
    bool ok = fflush(f) == 0 && fsync(fd) == 0;
    ok = fclose(f) == 0 && ok;
    if (!ok || rename(temp.c_str(), MachinePath().c_str()) != 0) {
        fprintf(stderr, "ntemu: cannot write %s: %s\n", MachinePath().c_str(), strerror(errno));
        unlink(temp.c_str());
    }
}

// The process's own high-water mark of resident memory, since its exec.
long PeakResidentKilobytes()
{
    FILE *f = fopen("/proc/self/status", "r");
    long kb = -1;
    char line[256];
    while (f != nullptr && fgets(line, sizeof line, f) != nullptr)
        if (sscanf(line, "VmHWM: %ld kB", &kb) == 1)
            break;
    if (f != nullptr)
        fclose(f);
    return kb;
}

void Finish()
{
    if (!MachinePath().empty() && TheMachine().dirty)
        Save();
    Calls &calls = TheCalls();
    if (calls.trace != nullptr) {
        fprintf(calls.trace, "end calls=%u\n", calls.total);
        fprintf(calls.trace, "memory peak=%ld kB\n", PeakResidentKilobytes());
        std::vector<std::string> left = Outstanding();
        if (left.empty())
            fprintf(calls.trace, "outstanding none\n");
        for (const std::string &s : left)
            fprintf(calls.trace, "outstanding %s\n", s.c_str());
        fclose(calls.trace);
        calls.trace = nullptr;
    }
}

[[noreturn]] void Unusable(const std::string &message)
{
    fprintf(stderr, "ntemu: %s\n", message.c_str());
    fflush(stderr);
    _exit(kMachineUnusable);
}

// Runs before main: the machine must be there before the tool's first call.
__attribute__((constructor)) void StartMachine()
{
    std::string error;
    const char *file = getenv("NTEMU_MACHINE");
    if (file != nullptr && *file != '\0') {
        MachinePath() = file;
        if (!LoadFile(MachinePath(), error))
            Unusable(error);
    } else if (!LoadText(kBuiltinMachine, "built-in machine", error)) {
        Unusable(error);
    }
    TheMachine().dirty = false;
    const char *trace = getenv("NTEMU_TRACE");
    if (trace != nullptr && *trace != '\0') {
        TheCalls().trace = fopen(trace, "a");
        if (TheCalls().trace == nullptr)
            Unusable(std::string(trace) + ": cannot open the trace: " + strerror(errno));
    }
    atexit(Finish);
}

}  // namespace

const char *OpName(Op op)
{
    return kOpNames[(size_t)op];
}

bool OpFromName(std::string_view name, Op &op)
{
    for (size_t i = 0; i < (size_t)Op::Count; ++i)
        if (name == kOpNames[i]) {
            op = (Op)i;
            return true;
        }
    return false;
}

Machine &TheMachine()
{
    static Machine *machine = new Machine;
    return *machine;
}

Call Begin(Op op)
{
    Calls &calls = TheCalls();
    Call call{op, ++calls.total, ++calls.count[(size_t)op], 0};
    for (const Fault &f : calls.faults[(size_t)op])
        if (f.nth == call.nth)
            call.fault = f.code;
    return call;
}

bool Tracing()
{
    return TheCalls().trace != nullptr;
}

void End(const Call &call, const char *format, ...)
{
    FILE *trace = TheCalls().trace;
    if (trace == nullptr)
        return;
    fprintf(trace, "%u %s#%u ", call.ordinal, OpName(call.op), call.nth);
    va_list args;
    va_start(args, format);
    vfprintf(trace, format, args);
    va_end(args);
    fputs(call.fault ? " [injected]\n" : "\n", trace);
}

}  // namespace nt

using namespace nt;

extern "C" BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation)
{
    const DWORD kSizeEx = 156;   // OSVERSIONINFOEXA
    Call call = Begin(Op::GetVersionExA);
    BOOL ok = FALSE;
    DWORD size = lpVersionInformation ? lpVersionInformation->dwOSVersionInfoSize : 0;
    if (call.fault) {
        SetLastError(call.fault);
    } else if (size != sizeof(OSVERSIONINFOA) && size != kSizeEx) {
        SetLastError(kErrorInsufficientBuffer);
    } else {
        OSVERSIONINFOA &v = *lpVersionInformation;
        memset(&v.dwMajorVersion, 0, size - sizeof(DWORD));
        if (TheMachine().nt) {
            v.dwMajorVersion = 4;
            v.dwMinorVersion = 0;
            v.dwBuildNumber = 1381;
            v.dwPlatformId = 2;
            strcpy(v.szCSDVersion, "Service Pack 6");
        } else {
            v.dwMajorVersion = 4;
            v.dwMinorVersion = 10;
            v.dwBuildNumber = 0x040A07CE;
            v.dwPlatformId = 1;
            strcpy(v.szCSDVersion, " A ");
        }
        ok = TRUE;
    }
    End(call, "size=%u -> %d%s", size, ok,
        ok ? (lpVersionInformation->dwPlatformId == 2 ? " platform=2" : " platform=1") : "");
    return ok;
}
