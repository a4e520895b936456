// State and helpers shared by the emulated NT services.  Nothing here is
// visible to the tool: it sees only <windows.h>.
#pragma once

#include <windows.h>

#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// Codes the services return that the tool does not name itself.
enum : DWORD {
    kErrorInvalidHandle = 6,
    kErrorNotEnoughMemory = 8,
    kErrorInvalidParameter = 87,
    kErrorInsufficientBuffer = 122,
    kErrorBadPathname = 161,
    kErrorMoreData = 234,
    kErrorNoMoreItems = 259,
    kErrorMrMidNotFound = 317,
    kErrorKeyDeleted = 1018,
    kErrorResourceLangNotFound = 1815,
    kErrorUnknownRevision = 1305,
    kErrorRevisionMismatch = 1306,
    kErrorInvalidAcl = 1336,
    kErrorInvalidSid = 1337,
    kErrorInvalidSecurityDescr = 1338,
    kErrorAllottedSpaceExceeded = 1344,
};

namespace nt {

// ---- calls: counting, fault injection and the trace (machine.cpp) ----

enum class Op {
    GetVersionExA,
    AllocateAndInitializeSid,
    GetLengthSid,
    FreeSid,
    InitializeAcl,
    AddAccessAllowedAce,
    InitializeSecurityDescriptor,
    SetSecurityDescriptorDacl,
    GetLastError,
    GetProcessHeap,
    HeapAlloc,
    HeapFree,
    LocalFree,
    FormatMessageA,
    GetStdHandle,
    WriteFile,
    RegOpenKeyExA,
    RegSetKeySecurity,
    RegEnumKeyExA,
    RegCloseKey,
    RegDeleteKeyA,
    Count
};

const char *OpName(Op op);
bool OpFromName(std::string_view name, Op &op);

struct Call {
    Op op;
    unsigned ordinal; // place among all platform calls of the run, from 1
    unsigned nth;     // 1 for the first call of this operation
    DWORD fault;      // code the machine file makes this call fail with, or 0
};

// Every service entry point starts with Begin and ends with End; End
// appends one line to the trace when one is kept.
Call Begin(Op op);
bool Tracing();
void End(const Call &call, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// ---- last error (messages.cpp) ----

void SetLastError(DWORD code);

// ---- outstanding resources (heap.cpp) ----

enum class Resource { HeapBlock, Sid, LocalBlock, KeyHandle };

// Records a live allocation and returns its label for the trace ("M1",
// "S1", "L1", "K1").
std::string Track(Resource kind, const void *p, std::string what = {});
// Forgets it; false when p is not a live allocation of that kind.
bool Untrack(Resource kind, const void *p);
bool IsLive(Resource kind, const void *p);
std::string LabelOf(const void *p);
std::vector<std::string> Outstanding();

// ---- code page 932 and names (codepage.cpp) ----

std::u16string AnsiToUnicode(std::string_view ansi);
// Characters code page 932 cannot hold come out as '?', as on NT.
std::string UnicodeToAnsi(std::u16string_view text);
bool Utf8ToUnicode(std::string_view utf8, std::u16string &out);
std::string UnicodeToUtf8(std::u16string_view text);
// Case-insensitive order of key names: NT's upcase, then code unit order.
int CompareNames(std::u16string_view a, std::u16string_view b);

// ---- security (security.cpp) ----

// A DACL in NT's binary layout, shared between keys that hold the same
// one.  A null pointer is "no DACL": everyone has every access.
using Dacl = std::shared_ptr<const std::vector<BYTE>>;

bool ParseSddlDacl(std::string_view sddl, Dacl &out, std::string &error);
std::string FormatSddlDacl(const Dacl &dacl);
// The DACL a descriptor names, copied, with generic rights mapped to the
// key rights they stand for, as NT stores it.
DWORD CaptureDacl(const SECURITY_DESCRIPTOR *sd, Dacl &out);
// ERROR_SUCCESS when the logged-on user's token is granted every right in
// desired, ERROR_ACCESS_DENIED otherwise.
DWORD AccessCheck(const Dacl &dacl, ACCESS_MASK desired);
bool IsValidSid(const void *sid, size_t room);
std::string SidToString(const void *sid);

// ---- registry (registry.cpp) ----

struct Value {
    bool isDefault;       // the key's unnamed value, written @
    std::string name;     // UTF-8, as in the machine file
    std::string data;
};

struct Key;
struct KeyOrder {
    using is_transparent = void;
    bool operator()(const Key *a, const Key *b) const;
    bool operator()(const Key *a, std::u16string_view b) const;
    bool operator()(std::u16string_view a, const Key *b) const;
};

struct Key {
    std::u16string name;
    Key *parent = nullptr;
    std::set<Key *, KeyOrder> subkeys;      // in NT's enumeration order
    Dacl dacl;
    std::unique_ptr<std::vector<Value>> values;
    unsigned openHandles = 0;
    unsigned depth = 0;                     // HKEY_LOCAL_MACHINE is 0
    bool deleted = false;
    bool declared = false;                  // has a header of its own in the machine file
};

constexpr size_t kMaxNameLength = 255;
constexpr unsigned kMaxDepth = 512;

Key *RegistryRoot();
Key *FindSubkey(Key *parent, std::u16string_view name);
Key *FindOrAddSubkey(Key *parent, std::u16string name, const Dacl &dacl);
std::string KeyPath(const Key *key);   // UTF-8, "HKLM\..."

// ---- the machine (machine.cpp) ----

struct Machine {
    bool nt = true;          // NT 4.0, or else Windows 98
    bool admin = true;       // the logged-on user holds BUILTIN\Administrators
    bool japanese = true;    // language of the system texts
    bool dirty = false;      // the registry changed since it was loaded
};

Machine &TheMachine();
Dacl DefaultDacl();

}  // namespace nt
