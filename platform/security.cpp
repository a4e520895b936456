// Security: SIDs, ACLs and security descriptors in NT's binary layouts, the
// logged-on user's token, the access check, and the D: part of SDDL that
// machine files use for DACLs.
#include "internal.h"

#include <cstdlib>
#include <cstring>

static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4, "Windows sizes");
static_assert(sizeof(SID_IDENTIFIER_AUTHORITY) == 6, "SID authority");
static_assert(sizeof(SID) == 12, "SID with one sub-authority");
static_assert(sizeof(ACL) == 8, "ACL header");
static_assert(sizeof(ACE_HEADER) == 4, "ACE header");
static_assert(sizeof(ACCESS_ALLOWED_ACE) == 12, "ACCESS_ALLOWED_ACE");
static_assert(sizeof(SECURITY_DESCRIPTOR) == 4 + 4 * sizeof(void *) + (sizeof(void *) - 4),
              "absolute SECURITY_DESCRIPTOR");
static_assert(offsetof(SECURITY_DESCRIPTOR, Dacl) == 4 + (sizeof(void *) - 4) + 3 * sizeof(void *),
              "SECURITY_DESCRIPTOR.Dacl");

namespace nt {
namespace {

constexpr BYTE kAccessAllowedAceType = 0;
constexpr BYTE kAccessDeniedAceType = 1;
constexpr BYTE kInheritOnlyAce = 0x08;
constexpr BYTE kMinAclRevision = 2, kMaxAclRevision = 4;
constexpr BYTE kMaxSubAuthorities = 15;
constexpr WORD kSeDaclPresent = 0x0004, kSeDaclDefaulted = 0x0008, kSeSelfRelative = 0x8000;

// Key rights
constexpr ACCESS_MASK kDelete = 0x00010000, kReadControl = 0x00020000,
                      kWriteDac = 0x00040000, kWriteOwner = 0x00080000;
constexpr ACCESS_MASK kKeyRead = 0x00020019, kKeyWrite = 0x00020006,
                      kKeyExecute = 0x00020019, kKeyAll = 0x000F003F;
constexpr ACCESS_MASK kGenericRead = 0x80000000, kGenericWrite = 0x40000000,
                      kGenericExecute = 0x20000000, kGenericAll = 0x10000000;

ACCESS_MASK MapGeneric(ACCESS_MASK mask)
{
    if (mask & kGenericRead) mask |= kKeyRead;
    if (mask & kGenericWrite) mask |= kKeyWrite;
    if (mask & kGenericExecute) mask |= kKeyExecute;
    if (mask & kGenericAll) mask |= kKeyAll;
    return mask & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll);
}

size_t SidLength(const void *sid)
{
    return 8 + 4 * static_cast<const SID *>(sid)->SubAuthorityCount;
}

std::vector<BYTE> MakeSid(unsigned long long authority, std::initializer_list<DWORD> subs)
{
    std::vector<BYTE> sid(8 + 4 * subs.size());
    sid[0] = 1;
    sid[1] = (BYTE)subs.size();
    for (int i = 0; i < 6; ++i)
        sid[2 + i] = (BYTE)(authority >> (8 * (5 - i)));
    size_t at = 8;
    for (DWORD s : subs) {
        memcpy(&sid[at], &s, 4);
        at += 4;
    }
    return sid;
}

// The SIDs in the logged-on user's token.  An administrator's token holds
// BUILTIN\Administrators; SYSTEM is never in it.
struct Token {
    std::vector<std::vector<BYTE>> sids;
};

const Token &UserToken()
{
    static const Token *token = [] {
        Token *t = new Token;
        t->sids.push_back(MakeSid(5, {21, 1004336348, 1177238915, 682003330, 1000}));
        t->sids.push_back(MakeSid(1, {0}));          // Everyone
        t->sids.push_back(MakeSid(5, {32, 545}));    // BUILTIN\Users
        t->sids.push_back(MakeSid(5, {4}));          // INTERACTIVE
        t->sids.push_back(MakeSid(5, {11}));         // Authenticated Users
        if (TheMachine().admin)
            t->sids.push_back(MakeSid(5, {32, 544}));  // BUILTIN\Administrators
        return t;
    }();
    return *token;
}

bool TokenHolds(const void *sid)
{
    size_t len = SidLength(sid);
    for (const auto &s : UserToken().sids)
        if (s.size() == len && memcmp(s.data(), sid, len) == 0)
            return true;
    return false;
}

// Walks the ACEs of a binary ACL; false when it is not a valid ACL.
template <class F>
bool ForEachAce(const BYTE *acl, size_t room, F &&f)
{
    if (room < sizeof(ACL))
        return false;
    ACL header;
    memcpy(&header, acl, sizeof header);
    if (header.AclRevision < kMinAclRevision || header.AclRevision > kMaxAclRevision)
        return false;
    if (header.AclSize < sizeof(ACL) || header.AclSize > room || header.AclSize % 4)
        return false;
    size_t at = sizeof(ACL);
    for (unsigned i = 0; i < header.AceCount; ++i) {
        ACE_HEADER ace;
        if (at + sizeof ace > header.AclSize)
            return false;
        memcpy(&ace, acl + at, sizeof ace);
        if (ace.AceSize < sizeof ace || ace.AceSize % 4 || at + ace.AceSize > header.AclSize)
            return false;
        if (!f(acl + at, ace))
            return false;
        at += ace.AceSize;
    }
    return true;
}

// Bytes taken by the header and the ACEs, or 0 when the ACL is not valid.
size_t AclUsed(const BYTE *acl, size_t room)
{
    size_t used = sizeof(ACL);
    bool ok = ForEachAce(acl, room, [&](const BYTE *, const ACE_HEADER &h) {
        used += h.AceSize;
        return true;
    });
    return ok ? used : 0;
}

bool AceSidValid(const BYTE *ace, const ACE_HEADER &h)
{
    if (h.AceType != kAccessAllowedAceType && h.AceType != kAccessDeniedAceType)
        return true;  // other types carry other layouts; nothing here reads them
    return h.AceSize >= 8 + 8 && IsValidSid(ace + 8, h.AceSize - 8);
}

// SDDL names for well-known SIDs and rights
struct SidAlias {
    const char *alias;
    const char *sid;
};
const SidAlias kSidAliases[] = {
    {"SY", "S-1-5-18"}, {"BA", "S-1-5-32-544"}, {"BU", "S-1-5-32-545"},
    {"WD", "S-1-1-0"},  {"AU", "S-1-5-11"},     {"IU", "S-1-5-4"},
    {"CO", "S-1-3-0"},  {"PU", "S-1-5-32-547"}, {"LS", "S-1-5-19"},
    {"NS", "S-1-5-20"},
};

struct RightAlias {
    const char *alias;
    ACCESS_MASK mask;
};
// Whole sets first: formatting takes the first exact match.
const RightAlias kRightSets[] = {
    {"KA", kKeyAll}, {"KR", kKeyRead}, {"KW", kKeyWrite}, {"KX", kKeyExecute},
};
const RightAlias kRightBits[] = {
    {"GA", kGenericAll}, {"GR", kGenericRead}, {"GW", kGenericWrite}, {"GX", kGenericExecute},
    {"SD", kDelete}, {"RC", kReadControl}, {"WD", kWriteDac}, {"WO", kWriteOwner},
    // key-specific rights, by the letters SDDL gives their bit positions
    {"CC", 0x0001}, {"DC", 0x0002}, {"LC", 0x0004}, {"SW", 0x0008},
    {"RP", 0x0010}, {"WP", 0x0020},
};

bool ParseSid(std::string_view text, std::vector<BYTE> &sid)
{
    for (const SidAlias &a : kSidAliases)
        if (text == a.alias)
            return ParseSid(a.sid, sid);
    if (text.substr(0, 4) != "S-1-")
        return false;
    std::vector<unsigned long long> parts;
    size_t at = 4;
    while (at <= text.size()) {
        size_t end = text.find('-', at);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view part = text.substr(at, end - at);
        if (part.empty() || part.size() > 15 ||
            part.find_first_not_of("0123456789") != std::string_view::npos)
            return false;
        parts.push_back(std::strtoull(std::string(part).c_str(), nullptr, 10));
        at = end + 1;
    }
    if (parts.size() < 1 || parts.size() > 1u + kMaxSubAuthorities)
        return false;
    if (parts[0] >= (1ull << 48))
        return false;
    sid.assign(8 + 4 * (parts.size() - 1), 0);
    sid[0] = 1;
    sid[1] = (BYTE)(parts.size() - 1);
    for (int i = 0; i < 6; ++i)
        sid[2 + i] = (BYTE)(parts[0] >> (8 * (5 - i)));
    for (size_t i = 1; i < parts.size(); ++i) {
        if (parts[i] > 0xFFFFFFFFull)
            return false;
        DWORD v = (DWORD)parts[i];
        memcpy(&sid[8 + 4 * (i - 1)], &v, 4);
    }
    return true;
}

bool ParseRights(std::string_view text, ACCESS_MASK &mask)
{
    mask = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        std::string digits(text.substr(2));
        if (digits.size() > 8 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        mask = (ACCESS_MASK)std::strtoul(digits.c_str(), nullptr, 16);
        return true;
    }
    if (text.empty() || text.size() % 2)
        return false;
    for (size_t at = 0; at < text.size(); at += 2) {
        std::string_view letters = text.substr(at, 2);
        bool found = false;
        for (const RightAlias &r : kRightSets)
            if (letters == r.alias) { mask |= r.mask; found = true; }
        for (const RightAlias &r : kRightBits)
            if (letters == r.alias) { mask |= r.mask; found = true; }
        if (!found)
            return false;
    }
    return true;
}

bool ParseAceFlags(std::string_view text, BYTE &flags)
{
    static const RightAlias kFlags[] = {
        {"OI", 0x01}, {"CI", 0x02}, {"NP", 0x04}, {"IO", 0x08}, {"ID", 0x10},
    };
    flags = 0;
    if (text.size() % 2)
        return false;
    for (size_t at = 0; at < text.size(); at += 2) {
        bool found = false;
        for (const RightAlias &f : kFlags)
            if (text.substr(at, 2) == f.alias) { flags |= (BYTE)f.mask; found = true; }
        if (!found)
            return false;
    }
    return true;
}

std::string FormatRights(ACCESS_MASK mask)
{
    for (const RightAlias &r : kRightSets)
        if (mask == r.mask)
            return r.alias;
    // A whole set it holds first, as people write them ("KRWD"), then bits.
    std::string letters;
    ACCESS_MASK rest = mask;
    for (const RightAlias &r : kRightSets)
        if ((rest & r.mask) == r.mask) {
            letters += r.alias;
            rest &= ~r.mask;
        }
    for (const RightAlias &r : kRightBits)
        if (rest & r.mask) {
            letters += r.alias;
            rest &= ~r.mask;
        }
    if (rest == 0 && !letters.empty())
        return letters;
    char hex[16];
    snprintf(hex, sizeof hex, "0x%x", mask);
    return hex;
}

std::string FormatAceFlags(BYTE flags)
{
    static const char *const kNames[] = {"OI", "CI", "NP", "IO", "ID"};
    std::string s;
    for (int i = 0; i < 5; ++i)
        if (flags & (1 << i))
            s += kNames[i];
    return s;
}

// One ACL for every key that holds the same bytes: machine files and the
// tool give most keys the same few DACLs.
Dacl Intern(std::vector<BYTE> bytes)
{
    static std::vector<Dacl> *pool = new std::vector<Dacl>;
    for (const Dacl &d : *pool)
        if (*d == bytes)
            return d;
    Dacl d = std::make_shared<const std::vector<BYTE>>(std::move(bytes));
    if (pool->size() < 64)
        pool->push_back(d);
    return d;
}

}  // namespace

bool IsValidSid(const void *sid, size_t room)
{
    if (sid == nullptr || room < 8)
        return false;
    const SID *s = static_cast<const SID *>(sid);
    return s->Revision == 1 && s->SubAuthorityCount <= kMaxSubAuthorities &&
           SidLength(sid) <= room;
}

std::string SidToString(const void *sid)
{
    const SID *s = static_cast<const SID *>(sid);
    unsigned long long authority = 0;
    for (int i = 0; i < 6; ++i)
        authority = (authority << 8) | s->IdentifierAuthority.Value[i];
    std::string text = "S-" + std::to_string(s->Revision) + "-" + std::to_string(authority);
    const BYTE *subs = static_cast<const BYTE *>(sid) + 8;
    for (unsigned i = 0; i < s->SubAuthorityCount; ++i) {
        DWORD v;
        memcpy(&v, subs + 4 * i, 4);
        text += "-" + std::to_string(v);
    }
    return text;
}

bool ParseSddlDacl(std::string_view sddl, Dacl &out, std::string &error)
{
    if (sddl.substr(0, 2) != "D:") {
        error = "a DACL is written D:(...)";
        return false;
    }
    std::string_view rest = sddl.substr(2);
    if (rest == "NO_ACCESS_CONTROL") {
        out = nullptr;
        return true;
    }
    // Descriptor flags (P, AI, AR) say how the DACL was inherited; a key
    // keeps only the ACEs.
    while (!rest.empty() && rest[0] != '(') {
        if (rest.substr(0, 2) == "AI" || rest.substr(0, 2) == "AR")
            rest.remove_prefix(2);
        else if (rest[0] == 'P')
            rest.remove_prefix(1);
        else {
            error = "unknown DACL flag in '" + std::string(sddl) + "'";
            return false;
        }
    }
    std::vector<BYTE> acl(sizeof(ACL), 0);
    WORD count = 0;
    while (!rest.empty()) {
        if (rest[0] != '(') {
            error = "expected '(' at '" + std::string(rest) + "'";
            return false;
        }
        size_t close = rest.find(')');
        if (close == std::string_view::npos) {
            error = "unterminated ACE '" + std::string(rest) + "'";
            return false;
        }
        std::string_view ace = rest.substr(1, close - 1);
        rest.remove_prefix(close + 1);
        std::vector<std::string_view> fields;
        size_t at = 0;
        for (;;) {
            size_t semi = ace.find(';', at);
            fields.push_back(ace.substr(at, semi == std::string_view::npos ? std::string_view::npos : semi - at));
            if (semi == std::string_view::npos)
                break;
            at = semi + 1;
        }
        std::string whole = "(" + std::string(ace) + ")";
        if (fields.size() != 6) {
            error = "an ACE has six fields: " + whole;
            return false;
        }
        BYTE type;
        if (fields[0] == "A")
            type = kAccessAllowedAceType;
        else if (fields[0] == "D")
            type = kAccessDeniedAceType;
        else {
            error = "ACE type must be A or D: " + whole;
            return false;
        }
        BYTE flags;
        if (!ParseAceFlags(fields[1], flags)) {
            error = "unknown ACE flags '" + std::string(fields[1]) + "' in " + whole;
            return false;
        }
        ACCESS_MASK mask;
        if (!ParseRights(fields[2], mask)) {
            error = "unknown rights '" + std::string(fields[2]) + "' in " + whole;
            return false;
        }
        if (!fields[3].empty() || !fields[4].empty()) {
            error = "object ACEs are not for keys: " + whole;
            return false;
        }
        std::vector<BYTE> sid;
        if (!ParseSid(fields[5], sid)) {
            error = "unknown SID '" + std::string(fields[5]) + "' in " + whole;
            return false;
        }
        ACE_HEADER h{type, flags, (WORD)(8 + sid.size())};
        size_t base = acl.size();
        acl.resize(base + h.AceSize);
        mask = MapGeneric(mask);
        memcpy(&acl[base], &h, sizeof h);
        memcpy(&acl[base + 4], &mask, 4);
        memcpy(&acl[base + 8], sid.data(), sid.size());
        ++count;
        if (acl.size() > 0xFFFC) {
            error = "DACL too large";
            return false;
        }
    }
    ACL header{ACL_REVISION, 0, (WORD)acl.size(), count, 0};
    memcpy(acl.data(), &header, sizeof header);
    out = Intern(std::move(acl));
    return true;
}

std::string FormatSddlDacl(const Dacl &dacl)
{
    if (!dacl)
        return "D:NO_ACCESS_CONTROL";
    std::string text = "D:";
    ForEachAce(dacl->data(), dacl->size(), [&](const BYTE *ace, const ACE_HEADER &h) {
        ACCESS_MASK mask;
        memcpy(&mask, ace + 4, 4);
        std::string sid = SidToString(ace + 8);
        for (const SidAlias &a : kSidAliases)
            if (sid == a.sid)
                sid = a.alias;
        text += "(";
        text += h.AceType == kAccessDeniedAceType ? "D" : "A";
        text += ";" + FormatAceFlags(h.AceFlags) + ";" + FormatRights(mask) + ";;;" + sid + ")";
        return true;
    });
    return text;
}

DWORD CaptureDacl(const SECURITY_DESCRIPTOR *sd, Dacl &out)
{
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION)
        return kErrorUnknownRevision;
    if (sd->Control & kSeSelfRelative)
        return kErrorInvalidSecurityDescr;  // only the absolute form is taken here
    if (!(sd->Control & kSeDaclPresent) || sd->Dacl == nullptr) {
        out = nullptr;
        return ERROR_SUCCESS;
    }
    const BYTE *acl = reinterpret_cast<const BYTE *>(sd->Dacl);
    size_t size = sd->Dacl->AclSize;
    bool sidsValid = true;
    if (!ForEachAce(acl, size, [&](const BYTE *ace, const ACE_HEADER &h) {
            return sidsValid = AceSidValid(ace, h);
        }))
        return kErrorInvalidAcl;
    std::vector<BYTE> copy(acl, acl + size);
    ForEachAce(copy.data(), copy.size(), [&](const BYTE *ace, const ACE_HEADER &) {
        ACCESS_MASK mask;
        memcpy(&mask, ace + 4, 4);
        mask = MapGeneric(mask);
        memcpy(const_cast<BYTE *>(ace) + 4, &mask, 4);
        return true;
    });
    out = Intern(std::move(copy));
    return ERROR_SUCCESS;
}

DWORD AccessCheck(const Dacl &dacl, ACCESS_MASK desired)
{
    if (!dacl)
        return ERROR_SUCCESS;
    ACCESS_MASK remaining = MapGeneric(desired);
    bool denied = false;
    ForEachAce(dacl->data(), dacl->size(), [&](const BYTE *ace, const ACE_HEADER &h) {
        if (remaining == 0 || denied)
            return false;
        if (h.AceFlags & kInheritOnlyAce)
            return true;
        if (h.AceType != kAccessAllowedAceType && h.AceType != kAccessDeniedAceType)
            return true;
        if (!TokenHolds(ace + 8))
            return true;
        ACCESS_MASK mask;
        memcpy(&mask, ace + 4, 4);
        if (h.AceType == kAccessDeniedAceType) {
            if (mask & remaining)
                denied = true;
        } else {
            remaining &= ~mask;
        }
        return true;
    });
    return (denied || remaining != 0) ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

Dacl DefaultDacl()
{
    static const Dacl *dacl = [] {
        Dacl *d = new Dacl;
        std::string error;
        ParseSddlDacl("D:(A;;KA;;;SY)(A;;KA;;;BA)(A;;KR;;;WD)", *d, error);
        return d;
    }();
    return *dacl;
}

}  // namespace nt

using namespace nt;

extern "C" BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority,
                                                BYTE nSubAuthorityCount,
                                                DWORD nSubAuthority0, DWORD nSubAuthority1,
                                                DWORD nSubAuthority2, DWORD nSubAuthority3,
                                                DWORD nSubAuthority4, DWORD nSubAuthority5,
                                                DWORD nSubAuthority6, DWORD nSubAuthority7,
                                                PSID *pSid)
{
    Call call = Begin(Op::AllocateAndInitializeSid);
    BOOL ok = FALSE;
    std::string detail = "?";
    if (call.fault) {
        SetLastError(call.fault);
    } else if (pIdentifierAuthority == nullptr || pSid == nullptr || nSubAuthorityCount > 8) {
        SetLastError(kErrorInvalidParameter);
    } else {
        const DWORD subs[8] = {nSubAuthority0, nSubAuthority1, nSubAuthority2, nSubAuthority3,
                               nSubAuthority4, nSubAuthority5, nSubAuthority6, nSubAuthority7};
        size_t size = 8 + 4 * nSubAuthorityCount;
        BYTE *sid = static_cast<BYTE *>(malloc(size));
        if (sid == nullptr) {
            SetLastError(kErrorNotEnoughMemory);
        } else {
            sid[0] = 1;
            sid[1] = nSubAuthorityCount;
            memcpy(sid + 2, pIdentifierAuthority->Value, 6);
            memcpy(sid + 8, subs, 4 * nSubAuthorityCount);
            detail = SidToString(sid);
            std::string label = Track(Resource::Sid, sid, detail);
            detail += " " + label;
            *pSid = sid;
            ok = TRUE;
        }
    }
    End(call, "-> %d %s", ok, detail.c_str());
    return ok;
}

extern "C" DWORD WINAPI GetLengthSid(PSID pSid)
{
    Call call = Begin(Op::GetLengthSid);
    DWORD length = pSid ? (DWORD)SidLength(pSid) : 0;
    End(call, "%s -> %u", LabelOf(pSid).c_str(), length);
    return length;
}

extern "C" PVOID WINAPI FreeSid(PSID pSid)
{
    Call call = Begin(Op::FreeSid);
    std::string label = LabelOf(pSid);
    PVOID result = nullptr;
    if (call.fault) {
        SetLastError(call.fault);
        result = pSid;
    } else if (Untrack(Resource::Sid, pSid)) {
        free(pSid);
    } else {
        result = pSid;
    }
    End(call, "%s -> %s", label.c_str(), result ? label.c_str() : "0");
    return result;
}

extern "C" BOOL WINAPI InitializeAcl(PACL pAcl, DWORD nAclLength, DWORD dwAclRevision)
{
    Call call = Begin(Op::InitializeAcl);
    BOOL ok = FALSE;
    if (call.fault) {
        SetLastError(call.fault);
    } else if (pAcl == nullptr || dwAclRevision < kMinAclRevision ||
               dwAclRevision > kMaxAclRevision || nAclLength > 0xFFFF) {
        SetLastError(kErrorInvalidParameter);
    } else if (nAclLength < sizeof(ACL)) {
        SetLastError(kErrorInsufficientBuffer);
    } else {
        ACL header{(BYTE)dwAclRevision, 0, (WORD)(nAclLength & ~3u), 0, 0};
        memcpy(pAcl, &header, sizeof header);
        ok = TRUE;
    }
    End(call, "%s %u rev=%u -> %d", LabelOf(pAcl).c_str(), nAclLength, dwAclRevision, ok);
    return ok;
}

extern "C" BOOL WINAPI AddAccessAllowedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask,
                                           PSID pSid)
{
    Call call = Begin(Op::AddAccessAllowedAce);
    BOOL ok = FALSE;
    std::string sidText = IsValidSid(pSid, 8 + 4 * kMaxSubAuthorities) ? SidToString(pSid) : "?";
    if (call.fault) {
        SetLastError(call.fault);
    } else if (pAcl == nullptr) {
        SetLastError(kErrorInvalidAcl);
    } else {
        BYTE *acl = reinterpret_cast<BYTE *>(pAcl);
        size_t used = AclUsed(acl, pAcl->AclSize);
        if (used == 0) {
            SetLastError(kErrorInvalidAcl);
        } else if (!IsValidSid(pSid, 8 + 4 * kMaxSubAuthorities)) {
            SetLastError(kErrorInvalidSid);
        } else if (dwAceRevision < kMinAclRevision || dwAceRevision > kMaxAclRevision) {
            SetLastError(kErrorRevisionMismatch);
        } else {
            size_t sidLength = SidLength(pSid);
            size_t aceSize = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + sidLength;
            if (used + aceSize > pAcl->AclSize) {
                SetLastError(kErrorAllottedSpaceExceeded);
            } else {
                ACE_HEADER h{kAccessAllowedAceType, 0, (WORD)aceSize};
                memcpy(acl + used, &h, sizeof h);
                memcpy(acl + used + 4, &AccessMask, 4);
                memcpy(acl + used + 8, pSid, sidLength);
                pAcl->AceCount++;
                if (pAcl->AclRevision < dwAceRevision)
                    pAcl->AclRevision = (BYTE)dwAceRevision;
                ok = TRUE;
            }
        }
    }
    End(call, "%s rev=%u 0x%08x %s -> %d", LabelOf(pAcl).c_str(), dwAceRevision, AccessMask,
        sidText.c_str(), ok);
    return ok;
}

extern "C" BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                                    DWORD dwRevision)
{
    Call call = Begin(Op::InitializeSecurityDescriptor);
    BOOL ok = FALSE;
    if (call.fault) {
        SetLastError(call.fault);
    } else if (dwRevision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(kErrorUnknownRevision);
    } else if (pSecurityDescriptor == nullptr) {
        SetLastError(kErrorInvalidParameter);
    } else {
        SECURITY_DESCRIPTOR *sd = static_cast<SECURITY_DESCRIPTOR *>(pSecurityDescriptor);
        memset(sd, 0, sizeof *sd);
        sd->Revision = SECURITY_DESCRIPTOR_REVISION;
        ok = TRUE;
    }
    End(call, "rev=%u -> %d", dwRevision, ok);
    return ok;
}

extern "C" BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                                 BOOL bDaclPresent, PACL pDacl,
                                                 BOOL bDaclDefaulted)
{
    Call call = Begin(Op::SetSecurityDescriptorDacl);
    BOOL ok = FALSE;
    SECURITY_DESCRIPTOR *sd = static_cast<SECURITY_DESCRIPTOR *>(pSecurityDescriptor);
    if (call.fault) {
        SetLastError(call.fault);
    } else if (sd == nullptr) {
        SetLastError(kErrorInvalidParameter);
    } else if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(kErrorUnknownRevision);
    } else if (sd->Control & kSeSelfRelative) {
        SetLastError(kErrorInvalidSecurityDescr);
    } else {
        // The descriptor refers to the ACL; it does not copy it.
        if (bDaclPresent) {
            sd->Control |= kSeDaclPresent;
            sd->Dacl = pDacl;
            if (bDaclDefaulted)
                sd->Control |= kSeDaclDefaulted;
            else
                sd->Control &= ~kSeDaclDefaulted;
        } else {
            sd->Control &= ~(kSeDaclPresent | kSeDaclDefaulted);
            sd->Dacl = nullptr;
        }
        ok = TRUE;
    }
    End(call, "present=%d %s defaulted=%d -> %d", bDaclPresent,
        pDacl ? LabelOf(pDacl).c_str() : "0", bDaclDefaulted, ok);
    return ok;
}
