// The registry: one HKEY_LOCAL_MACHINE tree of keys held in Unicode, each
// with its DACL.  Opening a key checks the access asked for against the
// key's DACL for the logged-on user (security.cpp); a handle keeps what it
// was granted, and each operation on it needs its own right.
#include "internal.h"

#include <cstring>
#include <iterator>

namespace nt {

bool KeyOrder::operator()(const Key *a, const Key *b) const
{
    return CompareNames(a->name, b->name) < 0;
}
bool KeyOrder::operator()(const Key *a, std::u16string_view b) const
{
    return CompareNames(a->name, b) < 0;
}
bool KeyOrder::operator()(std::u16string_view a, const Key *b) const
{
    return CompareNames(a, b->name) < 0;
}

Key *RegistryRoot()
{
    static Key *root = [] {
        Key *k = new Key;
        k->dacl = DefaultDacl();
        k->declared = true;
        return k;
    }();
    return root;
}

Key *FindSubkey(Key *parent, std::u16string_view name)
{
    auto it = parent->subkeys.find(name);
    return it == parent->subkeys.end() ? nullptr : *it;
}

Key *FindOrAddSubkey(Key *parent, std::u16string name, const Dacl &dacl)
{
    // One walk of the tree for both; machine files list siblings in order,
    // so the hint is usually right.
    auto it = parent->subkeys.lower_bound(std::u16string_view(name));
    if (it != parent->subkeys.end() && CompareNames((*it)->name, name) == 0)
        return *it;
    Key *key = new Key;
    key->name = std::move(name);
    key->parent = parent;
    key->depth = parent->depth + 1;
    key->dacl = dacl;
    parent->subkeys.insert(it, key);
    return key;
}

std::string KeyPath(const Key *key)
{
    std::vector<const Key *> chain;
    for (const Key *k = key; k->parent != nullptr; k = k->parent)
        chain.push_back(k);
    std::string path = "HKLM";
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
        path += "\\" + UnicodeToUtf8((*it)->name);
    return path;
}

}  // namespace nt

using namespace nt;

namespace {

constexpr ACCESS_MASK kDelete = 0x00010000;

struct KeyHandle {
    Key *key;
    ACCESS_MASK access;
};

// Paths are only worked out for the trace.
std::string TracePath(const Key *key)
{
    return Tracing() ? KeyPath(key) : std::string();
}

// The key a handle names, with the access it holds.
DWORD Resolve(HKEY hKey, Key *&key, ACCESS_MASK &access)
{
    if (hKey == HKEY_LOCAL_MACHINE) {
        key = RegistryRoot();
        access = KEY_ALL_ACCESS;
        return ERROR_SUCCESS;
    }
    if (!IsLive(Resource::KeyHandle, hKey))
        return kErrorInvalidHandle;
    KeyHandle *h = reinterpret_cast<KeyHandle *>(hKey);
    key = h->key;
    access = h->access;
    return key->deleted ? (DWORD)kErrorKeyDeleted : (DWORD)ERROR_SUCCESS;
}

std::string HandleName(HKEY hKey)
{
    return hKey == HKEY_LOCAL_MACHINE ? std::string("HKLM") : LabelOf(hKey);
}

// hKey\sub as a path from the root, for the trace, whether or not it exists.
std::string TraceWhere(HKEY hKey, const std::u16string &sub)
{
    Key *parent;
    ACCESS_MASK access;
    std::string where = Resolve(hKey, parent, access) == kErrorInvalidHandle ? HandleName(hKey)
                                                                           : KeyPath(parent);
    if (!sub.empty())
        where += "\\" + UnicodeToUtf8(sub);
    return where;
}

// Walks a backslash-separated path below base.
DWORD Walk(Key *base, const std::u16string &path, Key *&key)
{
    key = base;
    size_t at = 0, end = path.size();
    if (end > 0 && path[end - 1] == u'\\')
        --end;   // a trailing separator is tolerated
    while (at < end) {
        size_t sep = path.find(u'\\', at);
        if (sep == std::u16string::npos || sep > end)
            sep = end;
        if (sep == at)
            return kErrorBadPathname;
        Key *next = FindSubkey(key, std::u16string_view(path).substr(at, sep - at));
        if (next == nullptr)
            return ERROR_FILE_NOT_FOUND;
        key = next;
        at = sep + 1;
    }
    return ERROR_SUCCESS;
}

}  // namespace

extern "C" LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions,
                                     REGSAM samDesired, PHKEY phkResult)
{
    (void)ulOptions;
    Call call = Begin(Op::RegOpenKeyExA);
    std::u16string sub = lpSubKey ? AnsiToUnicode(lpSubKey) : std::u16string();
    Key *parent = nullptr, *key = nullptr;
    ACCESS_MASK parentAccess;
    std::string label;
    LONG status;
    if (call.fault) {
        status = (LONG)call.fault;
    } else if (phkResult == nullptr) {
        status = kErrorInvalidParameter;
    } else if ((status = Resolve(hKey, parent, parentAccess)) == ERROR_SUCCESS &&
               (status = Walk(parent, sub, key)) == ERROR_SUCCESS &&
               (status = AccessCheck(key->dacl, samDesired)) == ERROR_SUCCESS) {
        KeyHandle *h = new KeyHandle{key, samDesired};
        key->openHandles++;
        label = Track(Resource::KeyHandle, h, TracePath(key));
        *phkResult = reinterpret_cast<HKEY>(h);
    }
    if (status != ERROR_SUCCESS && phkResult != nullptr)
        *phkResult = nullptr;
    if (Tracing())
        End(call, "%s 0x%08x -> %d%s%s", TraceWhere(hKey, sub).c_str(), samDesired, status,
            label.empty() ? "" : " ", label.c_str());
    return status;
}

extern "C" LONG WINAPI RegSetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                                         PSECURITY_DESCRIPTOR pSecurityDescriptor)
{
    Call call = Begin(Op::RegSetKeySecurity);
    Key *key = nullptr;
    ACCESS_MASK access = 0;
    Dacl dacl;
    LONG status;
    if (call.fault) {
        status = (LONG)call.fault;
    } else if ((status = Resolve(hKey, key, access)) != ERROR_SUCCESS) {
    } else if (pSecurityDescriptor == nullptr || SecurityInformation != DACL_SECURITY_INFORMATION) {
        // Keys here keep a DACL and nothing else of their descriptor.
        status = kErrorInvalidParameter;
    } else if (!(access & WRITE_DAC)) {
        status = ERROR_ACCESS_DENIED;
    } else if ((status = CaptureDacl(static_cast<SECURITY_DESCRIPTOR *>(pSecurityDescriptor),
                                     dacl)) == ERROR_SUCCESS) {
        key->dacl = dacl;
        TheMachine().dirty = true;
    }
    if (Tracing())
        End(call, "%s %s info=%u %s -> %d", HandleName(hKey).c_str(),
            key ? KeyPath(key).c_str() : "?", SecurityInformation,
            status == ERROR_SUCCESS ? FormatSddlDacl(dacl).c_str() : "-", status);
    return status;
}

extern "C" LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                                     LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                                     PFILETIME lpftLastWriteTime)
{
    Call call = Begin(Op::RegEnumKeyExA);
    Key *key = nullptr;
    ACCESS_MASK access = 0;
    std::string given;   // the name as the caller got it
    LONG status;
    if (call.fault) {
        status = (LONG)call.fault;
    } else if ((status = Resolve(hKey, key, access)) != ERROR_SUCCESS) {
    } else if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr ||
               (lpClass != nullptr && lpcchClass == nullptr)) {
        status = kErrorInvalidParameter;
    } else if (!(access & KEY_ENUMERATE_SUB_KEYS)) {
        status = ERROR_ACCESS_DENIED;
    } else if (dwIndex >= key->subkeys.size()) {
        status = kErrorNoMoreItems;
    } else {
        // The tool asks for index 0 only, which is the first in order.
        const Key *found = *std::next(key->subkeys.begin(), dwIndex);
        std::string ansi = UnicodeToAnsi(found->name);
        if (ansi.size() >= *lpcchName) {
            status = kErrorMoreData;
        } else {
            memcpy(lpName, ansi.c_str(), ansi.size() + 1);
            *lpcchName = (DWORD)ansi.size();
            if (Tracing())
                given = " " + UnicodeToUtf8(AnsiToUnicode(ansi));
            if (lpClass != nullptr) {
                if (*lpcchClass > 0)
                    lpClass[0] = '\0';
                *lpcchClass = 0;
            }
            if (lpftLastWriteTime != nullptr)
                *lpftLastWriteTime = FILETIME{0, 0};
        }
    }
    if (Tracing())
        End(call, "%s %s %u -> %d%s", HandleName(hKey).c_str(), key ? KeyPath(key).c_str() : "?",
            dwIndex, status, given.c_str());
    return status;
}

extern "C" LONG WINAPI RegCloseKey(HKEY hKey)
{
    Call call = Begin(Op::RegCloseKey);
    std::string label = Tracing() ? HandleName(hKey) : std::string();   // named before it goes
    std::string path;
    LONG status = ERROR_SUCCESS;
    if (call.fault) {
        status = (LONG)call.fault;   // and the handle stays open
    } else if (hKey == HKEY_LOCAL_MACHINE) {
        path = "HKLM";   // predefined: closing it is allowed and changes nothing
    } else if (!Untrack(Resource::KeyHandle, hKey)) {
        status = kErrorInvalidHandle;
    } else {
        KeyHandle *h = reinterpret_cast<KeyHandle *>(hKey);
        Key *key = h->key;
        path = key->deleted ? std::string("(deleted)") : TracePath(key);
        delete h;
        if (--key->openHandles == 0 && key->deleted)
            delete key;
    }
    End(call, "%s %s -> %d", label.c_str(), path.c_str(), status);
    return status;
}

extern "C" LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey)
{
    Call call = Begin(Op::RegDeleteKeyA);
    std::u16string sub = lpSubKey ? AnsiToUnicode(lpSubKey) : std::u16string();
    Key *parent = nullptr, *key = nullptr;
    ACCESS_MASK parentAccess = 0;
    std::string where;
    LONG status;
    if (call.fault) {
        status = (LONG)call.fault;
    } else if ((status = Resolve(hKey, parent, parentAccess)) != ERROR_SUCCESS) {
    } else if ((status = Walk(parent, sub, key)) != ERROR_SUCCESS) {
    } else {
        // NT opens the key itself for DELETE; an empty name means the key the
        // handle names, which needs DELETE on the handle.
        if (key == parent)
            status = (parentAccess & kDelete) ? (LONG)ERROR_SUCCESS : (LONG)ERROR_ACCESS_DENIED;
        else
            status = AccessCheck(key->dacl, kDelete);
        if (status == ERROR_SUCCESS && (key->parent == nullptr || !key->subkeys.empty()))
            status = ERROR_ACCESS_DENIED;   // the root, or a key that has subkeys
        if (status == ERROR_SUCCESS) {
            where = TracePath(key);
            key->parent->subkeys.erase(key);
            key->deleted = true;
            TheMachine().dirty = true;
            if (key->openHandles == 0)
                delete key;
            key = nullptr;
        }
    }
    if (Tracing())
        End(call, "%s -> %d", where.empty() ? TraceWhere(hKey, sub).c_str() : where.c_str(), status);
    return status;
}
