// winereg: builds registry trees in Windows (here, Wine) from the machine
// files the scenarios use, and dumps them back in the same form.
//
//   winereg load MACHINE-FILE         clear the keys the file names (and the
//                                     target's parent), then create them with
//                                     their values and DACLs; set the tool's
//                                     Windows version from "platform"
//   winereg dump OUT-FILE PATH...     write each PATH under HKLM, with its
//                                     whole subtree, to OUT-FILE
//
// Keys the file does not give a DACL get the machine files' default one, so
// that a tree built here holds what the emulation would hold.
#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

const wchar_t kDefaultDacl[] = L"D:(A;;KA;;;SY)(A;;KA;;;BA)(A;;KR;;;WD)";
const wchar_t kTargetParent[] = L"SYSTEM\\CurrentControlSet\\Enum\\Root\\LEGACY_CDFS";
const wchar_t kToolName[] = L"kelvane.exe";

[[noreturn]] void Die(const std::wstring &what, LONG code = 0)
{
    fwprintf(stderr, L"winereg: %ls", what.c_str());
    if (code)
        fwprintf(stderr, L" (error %ld)", code);
    fwprintf(stderr, L"\n");
    exit(2);
}

std::wstring Widen(const std::string &utf8)
{
    if (utf8.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), (int)utf8.size(), nullptr, 0);
    if (n <= 0)
        Die(L"text is not UTF-8");
    std::wstring w(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), &w[0], n);
    return w;
}

std::string Narrow(const std::wstring &w)
{
    if (w.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), nullptr, 0, nullptr, nullptr);
    std::string s(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), &s[0], n, nullptr, nullptr);
    return s;
}

std::wstring Lower(std::wstring s)
{
    if (!s.empty())
        CharLowerBuffW(&s[0], (DWORD)s.size());
    return s;
}

std::vector<std::string> ReadLines(const wchar_t *file)
{
    FILE *f = _wfopen(file, L"rb");
    if (!f)
        Die(std::wstring(L"cannot read ") + file);
    std::string all;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        all.append(buf, n);
    fclose(f);
    if (all.compare(0, 3, "\xEF\xBB\xBF") == 0)
        all.erase(0, 3);   // a byte order mark
    std::vector<std::string> lines;
    size_t at = 0;
    while (at <= all.size()) {
        size_t end = all.find('\n', at);
        if (end == std::string::npos)
            end = all.size();
        std::string line = all.substr(at, end - at);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        size_t start = line.find_first_not_of(" \t");
        lines.push_back(start == std::string::npos ? std::string() : line.substr(start));
        at = end + 1;
    }
    return lines;
}

// "text" with \\ and \" escapes
bool Unquote(const std::string &s, size_t &at, std::string &out)
{
    if (at >= s.size() || s[at] != '"')
        return false;
    out.clear();
    for (++at; at < s.size(); ++at) {
        if (s[at] == '"') {
            ++at;
            return true;
        }
        if (s[at] == '\\' && at + 1 < s.size())
            ++at;
        out += s[at];
    }
    return false;
}

std::string Quote(const std::string &s)
{
    std::string q = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            q += '\\';
        q += c;
    }
    return q + "\"";
}

struct KeySpec {
    std::wstring path;
    std::wstring dacl;                                      // empty: the default
    std::vector<std::pair<std::wstring, std::wstring>> values;   // name (empty: @), data
    bool hasDefaultValue = false;
    std::wstring defaultValue;
};

// Makes a key and everything below it deletable, then deletes it.
void DeleteTree(HKEY parent, const std::wstring &name)
{
    HKEY h;
    LONG status = RegOpenKeyExW(parent, name.c_str(), 0, KEY_ALL_ACCESS, &h);
    if (status == ERROR_FILE_NOT_FOUND)
        return;
    if (status == ERROR_ACCESS_DENIED) {
        // An administrator may still rewrite the DACL of a key it owns.
        if (RegOpenKeyExW(parent, name.c_str(), 0, WRITE_DAC, &h) != ERROR_SUCCESS)
            Die(L"cannot take over " + name, status);
        PSECURITY_DESCRIPTOR sd;
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;KA;;;BA)", SDDL_REVISION_1, &sd, nullptr);
        RegSetKeySecurity(h, DACL_SECURITY_INFORMATION, sd);
        LocalFree(sd);
        RegCloseKey(h);
        status = RegOpenKeyExW(parent, name.c_str(), 0, KEY_ALL_ACCESS, &h);
    }
    if (status != ERROR_SUCCESS)
        Die(L"cannot open " + name, status);
    // Buffers on the heap: trees go 512 levels deep.
    std::vector<wchar_t> sub(512);
    for (;;) {
        DWORD size = (DWORD)sub.size();
        if (RegEnumKeyExW(h, 0, sub.data(), &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        DeleteTree(h, sub.data());
    }
    RegCloseKey(h);
    status = RegDeleteKeyW(parent, name.c_str());
    if (status != ERROR_SUCCESS)
        Die(L"cannot delete " + name, status);
}

void SetToolVersion(const std::wstring &version)
{
    HKEY h;
    std::wstring path = std::wstring(L"Software\\Wine\\AppDefaults\\") + kToolName;
    LONG status = RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &h, nullptr);
    if (status != ERROR_SUCCESS)
        Die(L"cannot set the tool's Windows version", status);
    RegSetValueExW(h, L"Version", 0, REG_SZ, (const BYTE *)version.c_str(),
                   (DWORD)((version.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(h);
}

int Load(const wchar_t *file)
{
    std::vector<std::string> lines = ReadLines(file);
    std::vector<KeySpec> keys;
    std::wstring version = L"nt40";
    for (const std::string &line : lines) {
        if (line.empty() || line[0] == '#')
            continue;
        if (line[0] == '[') {
            std::wstring path = Widen(line.substr(1, line.size() - 2));
            if (path[0] == L'\\')
                path = keys.back().path + path;
            keys.push_back(KeySpec{path, L"", {}, false, L""});
        } else if (line.compare(0, 5, "dacl ") == 0) {
            keys.back().dacl = Widen(line.substr(5));
        } else if (line[0] == '"' || line[0] == '@') {
            std::string name, data;
            size_t at = 0;
            bool isDefault = line[0] == '@';
            if (isDefault)
                at = 1;
            else if (!Unquote(line, at, name))
                Die(L"bad value line");
            ++at;   // '='
            if (!Unquote(line, at, data))
                Die(L"bad value line");
            if (isDefault) {
                keys.back().hasDefaultValue = true;
                keys.back().defaultValue = Widen(data);
            } else {
                keys.back().values.emplace_back(Widen(name), Widen(data));
            }
        } else if (line == "platform 98") {
            version = L"win98";
        } else if (line == "platform NT4" || line.compare(0, 9, "language ") == 0) {
        } else {
            Die(L"this machine file needs the emulation: " + Widen(line));
        }
    }
    SetToolVersion(version);

    // Clear what an earlier run left: the target's parent, and each key the
    // file names that no other named key contains.
    std::vector<std::wstring> tops = {kTargetParent};
    for (const KeySpec &k : keys)
        tops.push_back(k.path);
    std::sort(tops.begin(), tops.end());
    std::wstring last;
    for (const std::wstring &top : tops) {
        if (!last.empty() && top.compare(0, last.size() + 1, last + L"\\") == 0)
            continue;
        if (top == last)
            continue;
        size_t cut = top.rfind(L'\\');
        HKEY parent = HKEY_LOCAL_MACHINE;
        bool open = cut == std::wstring::npos ||
                    RegOpenKeyExW(HKEY_LOCAL_MACHINE, top.substr(0, cut).c_str(), 0, KEY_ALL_ACCESS,
                                  &parent) == ERROR_SUCCESS;
        if (open) {
            DeleteTree(parent, cut == std::wstring::npos ? top : top.substr(cut + 1));
            if (parent != HKEY_LOCAL_MACHINE)
                RegCloseKey(parent);
        }
        last = top;
    }

    // Create every key, keeping a handle to each; then give each new one its
    // DACL, deepest first, so that no DACL stands in the way of creating the
    // keys below it.  Each key is created below the nearest key already
    // open, so that deep chains cost one call a key.
    struct Open {
        std::wstring path;
        HKEY h;
        size_t depth;
        bool created;
    };
    std::map<std::wstring, Open> open;   // by lowercased path
    std::map<std::wstring, std::wstring> dacls;
    for (const KeySpec &k : keys)
        if (!k.dacl.empty())
            dacls[Lower(k.path)] = k.dacl;
    for (const KeySpec &k : keys) {
        HKEY parent = HKEY_LOCAL_MACHINE;
        size_t at = 0, depth = 0;
        for (std::wstring prefix = k.path;;) {
            auto it = open.find(Lower(prefix));
            if (it != open.end()) {
                parent = it->second.h;
                depth = it->second.depth;
                at = prefix.size() + 1;
                break;
            }
            size_t cut = prefix.rfind(L'\\');
            if (cut == std::wstring::npos)
                break;
            prefix.resize(cut);
        }
        HKEY h = parent;
        while (at <= k.path.size()) {
            size_t sep = k.path.find(L'\\', at);
            if (sep == std::wstring::npos)
                sep = k.path.size();
            std::wstring name = k.path.substr(at, sep - at);
            DWORD disposition;
            LONG status = RegCreateKeyExW(parent, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                                          &disposition);
            if (status != ERROR_SUCCESS)
                Die(L"cannot create " + k.path, status);
            std::wstring sofar = k.path.substr(0, sep);
            open[Lower(sofar)] = Open{sofar, h, ++depth, disposition == REG_CREATED_NEW_KEY};
            parent = h;
            at = sep + 1;
        }
        for (const auto &v : k.values)
            RegSetValueExW(h, v.first.c_str(), 0, REG_SZ, (const BYTE *)v.second.c_str(),
                           (DWORD)((v.second.size() + 1) * sizeof(wchar_t)));
        if (k.hasDefaultValue)
            RegSetValueExW(h, nullptr, 0, REG_SZ, (const BYTE *)k.defaultValue.c_str(),
                           (DWORD)((k.defaultValue.size() + 1) * sizeof(wchar_t)));
    }
    std::vector<const Open *> order;
    for (const auto &kv : open)
        order.push_back(&kv.second);
    std::stable_sort(order.begin(), order.end(), [](const Open *a, const Open *b) { return a->depth > b->depth; });
    for (const Open *o : order) {
        if (o->created) {
            auto it = dacls.find(Lower(o->path));
            const std::wstring &dacl = it == dacls.end() ? std::wstring(kDefaultDacl) : it->second;
            PSECURITY_DESCRIPTOR sd;
            if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(dacl.c_str(), SDDL_REVISION_1, &sd, nullptr))
                Die(L"cannot read the DACL " + dacl, (LONG)GetLastError());
            LONG status = RegSetKeySecurity(o->h, DACL_SECURITY_INFORMATION, sd);
            LocalFree(sd);
            if (status != ERROR_SUCCESS)
                Die(L"cannot set the DACL of " + o->path, status);
        }
        RegCloseKey(o->h);
    }
    return 0;
}

void DumpKey(FILE *out, const std::wstring &path)
{
    HKEY h;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &h);
    if (status == ERROR_FILE_NOT_FOUND)
        return;
    if (status != ERROR_SUCCESS) {
        // Not readable: its DACL may still be, through READ_CONTROL.
        fprintf(out, "\n[%s]\n", Narrow(path).c_str());
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, READ_CONTROL, &h) != ERROR_SUCCESS) {
            fprintf(out, "# unreadable: error %ld\n", status);
            return;
        }
    } else {
        fprintf(out, "\n[%s]\n", Narrow(path).c_str());
    }
    BYTE sdBuffer[4096];
    DWORD sdSize = sizeof sdBuffer;
    if (RegGetKeySecurity(h, DACL_SECURITY_INFORMATION, sdBuffer, &sdSize) == ERROR_SUCCESS) {
        LPWSTR text;
        if (ConvertSecurityDescriptorToStringSecurityDescriptorW(sdBuffer, SDDL_REVISION_1,
                                                                 DACL_SECURITY_INFORMATION, &text, nullptr)) {
            std::wstring t = text;
            LocalFree(text);
            if (t == L"D:NO_ACCESS_CONTROL" || t.compare(0, 2, L"D:") == 0)
                fprintf(out, "dacl %s\n", Narrow(t).c_str());
            else if (t.empty())
                fprintf(out, "dacl D:NO_ACCESS_CONTROL\n");
            else
                fprintf(out, "# dacl as Windows wrote it: %s\n", Narrow(t).c_str());
        }
    }
    if (status != ERROR_SUCCESS) {
        RegCloseKey(h);
        return;
    }
    // Buffers on the heap: trees go 512 levels deep.
    std::vector<wchar_t> name(16384);
    std::vector<BYTE> data(65536);
    for (DWORD i = 0;; ++i) {
        DWORD nameSize = (DWORD)name.size(), dataSize = (DWORD)data.size() - 2, type;
        if (RegEnumValueW(h, i, name.data(), &nameSize, nullptr, &type, data.data(), &dataSize) != ERROR_SUCCESS)
            break;
        data[dataSize] = data[dataSize + 1] = 0;
        std::wstring value = reinterpret_cast<wchar_t *>(data.data());
        std::string line = nameSize == 0 ? "@" : Quote(Narrow(std::wstring(name.data(), nameSize)));
        fprintf(out, "%s=%s\n", line.c_str(), Quote(Narrow(value)).c_str());
    }
    std::vector<std::wstring> subkeys;
    for (DWORD i = 0;; ++i) {
        DWORD size = (DWORD)name.size();
        if (RegEnumKeyExW(h, i, name.data(), &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        subkeys.push_back(name.data());
    }
    name = std::vector<wchar_t>();
    data = std::vector<BYTE>();
    RegCloseKey(h);
    for (const std::wstring &s : subkeys)
        DumpKey(out, path + L"\\" + s);
}

int Dump(const wchar_t *file, int count, wchar_t **paths)
{
    FILE *out = _wfopen(file, L"wb");
    if (!out)
        Die(std::wstring(L"cannot write ") + file);
    for (int i = 0; i < count; ++i)
        DumpKey(out, paths[i]);
    fclose(out);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc == 3 && wcscmp(argv[1], L"load") == 0)
        return Load(argv[2]);
    if (argc >= 3 && wcscmp(argv[1], L"dump") == 0)
        return Dump(argv[2], argc - 3, argv + 3);
    fwprintf(stderr, L"usage: winereg load MACHINE-FILE | winereg dump OUT-FILE PATH...\n");
    return 2;
}
