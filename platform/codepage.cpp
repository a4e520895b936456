// Code page 932 and key names.  The registry holds names in Unicode, as NT
// does; the A functions convert on the way in and out, so a trail byte of
// 0x5C (as in "ソ", 0x83 0x5C) is part of a character, never a separator.
#include "internal.h"

#include <errno.h>
#include <iconv.h>
#include <locale.h>
#include <wctype.h>

#include <cstring>

namespace nt {
namespace {

// Keys hold names as UTF-16 code units, as NT counts them; this host is
// little-endian.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "UTF-16LE host order");

iconv_t Converter(const char *to, const char *from)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == (iconv_t)-1) {
        fprintf(stderr, "ntemu: iconv cannot convert %s to %s\n", from, to);
        abort();
    }
    return cd;
}

// Converts in one go, replacing what the target cannot hold (or what is
// not valid in the source) with replacement, one source unit of unit bytes
// at a time.
std::string Convert(iconv_t cd, const char *in, size_t inBytes, size_t unit,
                    const char *replacement, size_t replacementBytes)
{
    std::string out;
    out.resize(inBytes * 2 + 8);
    char *src = const_cast<char *>(in);
    char *dst = &out[0];
    size_t dstLeft = out.size();
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    while (inBytes > 0) {
        if (iconv(cd, &src, &inBytes, &dst, &dstLeft) != (size_t)-1)
            break;
        if (errno == E2BIG) {
            size_t used = dst - out.data();
            out.resize(out.size() * 2);
            dst = &out[0] + used;
            dstLeft = out.size() - used;
            continue;
        }
        // EILSEQ or EINVAL: an unconvertible or incomplete character.
        size_t skip = unit;
        if (unit == 2 && inBytes >= 4) {
            // A surrogate pair is one character.
            unsigned hi = (unsigned char)src[0] | ((unsigned char)src[1] << 8);
            unsigned lo = (unsigned char)src[2] | ((unsigned char)src[3] << 8);
            if (hi >= 0xD800 && hi < 0xDC00 && lo >= 0xDC00 && lo < 0xE000)
                skip = 4;
        }
        if (skip > inBytes)
            skip = inBytes;
        src += skip;
        inBytes -= skip;
        if (dstLeft < replacementBytes + 8) {
            size_t used = dst - out.data();
            out.resize(out.size() * 2 + replacementBytes);
            dst = &out[0] + used;
            dstLeft = out.size() - used;
        }
        memcpy(dst, replacement, replacementBytes);
        dst += replacementBytes;
        dstLeft -= replacementBytes;
    }
    out.resize(dst - out.data());
    return out;
}

std::u16string BytesToUnits(const std::string &bytes)
{
    std::u16string units(bytes.size() / 2, u'\0');
    memcpy(&units[0], bytes.data(), units.size() * 2);
    return units;
}

// NT's upcase table, taken once from the host's Unicode tables.
struct UpcaseTable {
    char16_t map[0x10000];
    UpcaseTable()
    {
        locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
        for (unsigned c = 0; c < 0x10000; ++c) {
            unsigned up = c;
            if (c < 0xD800 || c >= 0xE000) {
                if (loc != (locale_t)0)
                    up = towupper_l((wint_t)c, loc);
                else if (c >= 'a' && c <= 'z')
                    up = c - 'a' + 'A';
            }
            map[c] = up < 0x10000 ? (char16_t)up : (char16_t)c;
        }
        if (loc != (locale_t)0)
            freelocale(loc);
    }
};

const UpcaseTable &Upcase()
{
    static const UpcaseTable *table = new UpcaseTable;
    return *table;
}

// Most names are ASCII, which every one of these encodings holds as it is.
template <class From, class To>
bool Ascii(const From &in, To &out)
{
    for (auto c : in)
        if ((unsigned)c >= 0x80)
            return false;
    out.assign(in.begin(), in.end());
    return true;
}

}  // namespace

std::u16string AnsiToUnicode(std::string_view ansi)
{
    std::u16string ascii;
    if (Ascii(ansi, ascii))
        return ascii;
    static iconv_t cd = Converter("UTF-16LE", "CP932");
    static const char question[2] = {'?', 0};
    return BytesToUnits(Convert(cd, ansi.data(), ansi.size(), 1, question, 2));
}

std::string UnicodeToAnsi(std::u16string_view text)
{
    std::string ascii;
    if (Ascii(text, ascii))
        return ascii;
    static iconv_t cd = Converter("CP932", "UTF-16LE");
    return Convert(cd, reinterpret_cast<const char *>(text.data()), text.size() * 2,
                   2, "?", 1);
}

bool Utf8ToUnicode(std::string_view utf8, std::u16string &out)
{
    if (Ascii(utf8, out))
        return true;
    static iconv_t cd = Converter("UTF-16LE", "UTF-8");
    // Refuse what is not UTF-8 rather than guess at it.
    std::string bytes = Convert(cd, utf8.data(), utf8.size(), 1, "\xff\xff", 2);
    out = BytesToUnits(bytes);
    return out.find(u'\xffff') == std::u16string::npos;
}

std::string UnicodeToUtf8(std::u16string_view text)
{
    std::string ascii;
    if (Ascii(text, ascii))
        return ascii;
    static iconv_t cd = Converter("UTF-8", "UTF-16LE");
    return Convert(cd, reinterpret_cast<const char *>(text.data()), text.size() * 2,
                   2, "\xef\xbf\xbd", 3);
}

int CompareNames(std::u16string_view a, std::u16string_view b)
{
    const char16_t *map = Upcase().map;
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        char16_t x = map[a[i]], y = map[b[i]];
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

}  // namespace nt
