// Unit tests of the emulated platform, where a fault would make the
// scenarios lie: record layouts, SDDL, the access check, NT's enumeration
// order and code page 932 names.
#include "../platform/internal.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace nt;

namespace {

Dacl ParseOrDie(const char *sddl)
{
    Dacl d;
    std::string error;
    EXPECT_TRUE(ParseSddlDacl(sddl, d, error)) << sddl << ": " << error;
    return d;
}

// A fresh key under HKLM for one test, with the given DACL.
Key *Scratch(const char16_t *name, const char *sddl)
{
    return FindOrAddSubkey(RegistryRoot(), name, ParseOrDie(sddl));
}

TEST(Security, AdministratorsAclTakesExactly32Bytes)
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, 32, 544, 0, 0, 0, 0, 0, 0, &sid));
    ASSERT_EQ(GetLengthSid(sid), 16u);
    EXPECT_EQ(SidToString(sid), "S-1-5-32-544");

    alignas(4) BYTE small[28], exact[32];
    ASSERT_TRUE(InitializeAcl(reinterpret_cast<PACL>(small), sizeof small, ACL_REVISION));
    EXPECT_FALSE(AddAccessAllowedAce(reinterpret_cast<PACL>(small), ACL_REVISION, KEY_ALL_ACCESS, sid));
    EXPECT_EQ(GetLastError(), (DWORD)kErrorAllottedSpaceExceeded);

    ASSERT_TRUE(InitializeAcl(reinterpret_cast<PACL>(exact), sizeof exact, ACL_REVISION));
    ASSERT_TRUE(AddAccessAllowedAce(reinterpret_cast<PACL>(exact), ACL_REVISION, KEY_ALL_ACCESS, sid));
    const BYTE expected[32] = {2, 0, 32, 0, 1, 0, 0, 0,           // ACL header
                               0, 0, 24, 0, 0x3f, 0, 0x0f, 0,     // ACE header, mask
                               1, 2, 0, 0, 0, 0, 0, 5,            // SID
                               32, 0, 0, 0, 0x20, 2, 0, 0};
    EXPECT_EQ(0, memcmp(exact, expected, sizeof expected));
    // A second ACE does not fit either.
    EXPECT_FALSE(AddAccessAllowedAce(reinterpret_cast<PACL>(exact), ACL_REVISION, KEY_ALL_ACCESS, sid));

    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, reinterpret_cast<PACL>(exact), FALSE));
    EXPECT_EQ(sd.Dacl, reinterpret_cast<PACL>(exact));   // referred to, not copied
    Dacl captured;
    ASSERT_EQ(CaptureDacl(&sd, captured), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(FormatSddlDacl(captured), "D:(A;;KA;;;BA)");
    EXPECT_EQ(FreeSid(sid), nullptr);
}

TEST(Security, SddlReadsAndWritesBack)
{
    struct Case {
        const char *in, *out;
    } cases[] = {
        {"D:(A;;KA;;;SY)(A;;KR;;;BA)", "D:(A;;KA;;;SY)(A;;KR;;;BA)"},
        {"D:(A;;GA;;;BA)(A;;GR;;;WD)", "D:(A;;KA;;;BA)(A;;KR;;;WD)"},   // generic rights mapped
        {"D:(A;;KRWD;;;BA)", "D:(A;;KRWD;;;BA)"},
        {"D:(A;;SWWD;;;BA)", "D:(A;;WDSW;;;BA)"},
        {"D:(A;CIIO;0x20019;;;S-1-5-21-7-8-9-500)", "D:(A;CIIO;KR;;;S-1-5-21-7-8-9-500)"},
        {"D:PAI(D;;SD;;;WD)", "D:(D;;SD;;;WD)"},
        {"D:(A;;0x1000000;;;AU)", "D:(A;;0x1000000;;;AU)"},
        {"D:", "D:"},
        {"D:NO_ACCESS_CONTROL", "D:NO_ACCESS_CONTROL"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(FormatSddlDacl(ParseOrDie(c.in)), c.out) << c.in;
}

TEST(Security, SddlRefusesWhatItCannotRead)
{
    const char *bad[] = {
        "O:BAD:(A;;KA;;;SY)", "D:(A;;KA;;SY)", "D:(X;;KA;;;SY)", "D:(A;;QQ;;;SY)",
        "D:(A;;KA;;;S-1-x)", "D:(A;;KA;;;ZZ)", "D:(A;;KA;;;SY", "D:(A;ZZ;KA;;;SY)",
        "D:(A;;KA;guid;;SY)", "D:(A;;0x123456789;;;SY)",
    };
    for (const char *sddl : bad) {
        Dacl d;
        std::string error;
        EXPECT_FALSE(ParseSddlDacl(sddl, d, error)) << sddl;
        EXPECT_FALSE(error.empty()) << sddl;
    }
}

TEST(Security, AccessCheckWalksTheAcesInOrder)
{
    const ACCESS_MASK kToolAccess = KEY_ENUMERATE_SUB_KEYS | WRITE_DAC, kDelete = 0x10000;
    struct Case {
        const char *dacl;
        ACCESS_MASK desired;
        DWORD expected;
    } cases[] = {
        {"D:NO_ACCESS_CONTROL", kToolAccess, ERROR_SUCCESS},
        {"D:", kToolAccess, ERROR_ACCESS_DENIED},
        {"D:(A;;KA;;;SY)(A;;KR;;;BA)", kToolAccess, ERROR_ACCESS_DENIED},
        {"D:(A;;KA;;;SY)(A;;KRWD;;;BA)", kToolAccess, ERROR_SUCCESS},
        {"D:(A;;KA;;;SY)(A;;KRWD;;;BA)", kDelete, ERROR_ACCESS_DENIED},
        {"D:(A;;SW;;;WD)(A;;WD;;;BU)", kToolAccess, ERROR_SUCCESS},       // granted piecewise
        {"D:(D;;WD;;;BA)(A;;KA;;;BA)", kToolAccess, ERROR_ACCESS_DENIED},
        {"D:(A;;KA;;;BA)(D;;KA;;;WD)", kToolAccess, ERROR_SUCCESS},      // decided before the deny
        {"D:(A;IO;KA;;;BA)", kToolAccess, ERROR_ACCESS_DENIED},           // inherit-only: not for this key
        {"D:(A;;KA;;;SY)", kToolAccess, ERROR_ACCESS_DENIED},             // SYSTEM is not in the token
        {"D:(A;;GA;;;BA)", kDelete, ERROR_SUCCESS},
    };
    ASSERT_TRUE(TheMachine().admin);
    for (const Case &c : cases)
        EXPECT_EQ(AccessCheck(ParseOrDie(c.dacl), c.desired), c.expected)
            << c.dacl << " 0x" << std::hex << c.desired;
}

TEST(Registry, EnumeratesInNtOrderAndOpensWithoutCase)
{
    Key *parent = Scratch(u"OrderTest", "D:(A;;KA;;;BA)");
    for (const char16_t *name : {u"beta", u"_under", u"Zulu", u"Alpha", u"\u00e9t\u00e9", u"Ender"})
        FindOrAddSubkey(parent, name, DefaultDacl());
    HKEY h;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "ordertest", 0, KEY_ENUMERATE_SUB_KEYS, &h),
              ERROR_SUCCESS);
    std::vector<std::string> names;
    CHAR name[MAX_PATH];
    for (DWORD i = 0;; ++i) {
        DWORD size = MAX_PATH;
        LONG status = RegEnumKeyExA(h, i, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (status == (LONG)kErrorNoMoreItems)
            break;
        ASSERT_EQ(status, ERROR_SUCCESS);
        ASSERT_EQ(size, strlen(name));
        names.push_back(name);
    }
    // Upcased code units: '_' (0x5F) after 'Z', and "été" (É is 0xC9) last; é
    // has no code page 932 form.
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "Ender", "Zulu", "_under", "?t?"}));

    DWORD size = 5;   // "Alpha" and its null need 6
    EXPECT_EQ(RegEnumKeyExA(h, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
              (LONG)kErrorMoreData);
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(h), (LONG)kErrorInvalidHandle);
}

TEST(Registry, HandlesKeepTheAccessTheyWereGranted)
{
    Key *key = Scratch(u"AccessTest", "D:(A;;KA;;;BA)");
    FindOrAddSubkey(key, u"Child", DefaultDacl());
    HKEY h;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "AccessTest", 0, WRITE_DAC, &h), ERROR_SUCCESS);
    CHAR name[MAX_PATH];
    DWORD size = MAX_PATH;
    EXPECT_EQ(RegEnumKeyExA(h, 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
    RegCloseKey(h);

    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "AccessTest", 0, KEY_ENUMERATE_SUB_KEYS, &h),
              ERROR_SUCCESS);
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
    EXPECT_EQ(RegSetKeySecurity(h, DACL_SECURITY_INFORMATION, &sd), ERROR_ACCESS_DENIED);
    // A key with subkeys cannot be deleted.
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "AccessTest"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "AccessTest\\Missing"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(h);
}

TEST(Registry, HandlesToADeletedKeyFail)
{
    Scratch(u"DeletedTest", "D:(A;;KA;;;BA)");
    HKEY h;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "DeletedTest", 0, KEY_ENUMERATE_SUB_KEYS | WRITE_DAC, &h),
              ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "DeletedTest"), ERROR_SUCCESS);
    EXPECT_EQ(FindSubkey(RegistryRoot(), u"DeletedTest"), nullptr);
    CHAR name[MAX_PATH];
    DWORD size = MAX_PATH;
    EXPECT_EQ(RegEnumKeyExA(h, 0, name, &size, nullptr, nullptr, nullptr, nullptr), (LONG)kErrorKeyDeleted);
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    EXPECT_EQ(RegSetKeySecurity(h, DACL_SECURITY_INFORMATION, &sd), (LONG)kErrorKeyDeleted);
    HKEY child;
    EXPECT_EQ(RegOpenKeyExA(h, "x", 0, KEY_ENUMERATE_SUB_KEYS, &child), (LONG)kErrorKeyDeleted);
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

TEST(Codepage, TrailByte5CIsNoSeparator)
{
    // ソ is 0x83 0x5C: a path of one name, not two.
    EXPECT_EQ(AnsiToUnicode("\x83\x5c\x83\x74\x83\x67"), u"\u30bd\u30d5\u30c8");
    EXPECT_EQ(UnicodeToAnsi(u"\u8868"), "\x95\x5c");           // 表
    EXPECT_EQ(UnicodeToAnsi(u"B\u00e4r"), "B?r");              // ä has no code page 932 form
    EXPECT_EQ(UnicodeToAnsi(u"\U0001F600!"), "?!");             // one character, one '?'

    Key *key = Scratch(u"\u30bd\u30d5\u30c8", "D:(A;;KA;;;BA)");
    FindOrAddSubkey(key, u"\u8868", DefaultDacl());
    HKEY h;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\x83\x5c\x83\x74\x83\x67\\\x95\x5c", 0,
                            KEY_ENUMERATE_SUB_KEYS, &h),
              ERROR_SUCCESS);
    RegCloseKey(h);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\x83", 0, KEY_ENUMERATE_SUB_KEYS, &h),
              ERROR_FILE_NOT_FOUND);
}

TEST(Resources, TheBookKnowsWhatIsOutstanding)
{
    size_t before = Outstanding().size();
    void *block = HeapAlloc(GetProcessHeap(), 0, 24);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(Outstanding().size(), before + 1);
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, block));
    EXPECT_FALSE(HeapFree(GetProcessHeap(), 0, block));   // twice is refused, not undefined
    EXPECT_EQ(Outstanding().size(), before);

    LPSTR text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5,
                                  MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPSTR)&text, 0, nullptr);
    ASSERT_GT(length, 2u);
    EXPECT_EQ(std::string(text + length - 2), "\r\n");
    EXPECT_EQ(Outstanding().size(), before + 1);
    EXPECT_EQ(LocalFree(text), nullptr);
    EXPECT_EQ(Outstanding().size(), before);
}

}  // namespace
