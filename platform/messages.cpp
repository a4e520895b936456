// System message texts and the last-error code.  Texts are kept in UTF-8
// here and handed out in the machine's language as the A functions give
// them: Japanese in code page 932, each ending in "\r\n" as NT's do.
#include "internal.h"

#include <cstdlib>
#include <cstring>

namespace nt {
namespace {

DWORD lastError = 0;

struct SystemText {
    DWORD code;
    const char *japanese;
    const char *english;
};

const SystemText kSystemTexts[] = {
    {2, "指定されたファイルが見つかりません。", "The system cannot find the file specified."},
    {5, "アクセスが拒否されました。", "Access is denied."},
    {6, "ハンドルが無効です。", "The handle is invalid."},
    {8, "このコマンドを実行するのに十分な記憶域がありません。",
     "Not enough storage is available to process this command."},
    {14, "この操作を完了するのに十分な記憶域がありません。",
     "Not enough storage is available to complete this operation."},
    {87, "パラメータが間違っています。", "The parameter is incorrect."},
    {122, "システム コールに渡されるデータ領域が小さすぎます。",
     "The data area passed to a system call is too small."},
    {161, "指定されたパスは無効です。", "The specified path is invalid."},
    {234, "データがさらにあります。", "More data is available."},
    {259, "データはこれ以上ありません。", "No more data is available."},
    {1009, "構成レジストリ データベースが壊れています。",
     "The configuration registry database is corrupt."},
    {1010, "構成レジストリ キーが無効です。", "The configuration registry key is invalid."},
    {1011, "構成レジストリ キーを開けませんでした。",
     "The configuration registry key could not be opened."},
    {1012, "構成レジストリ キーを読み取れませんでした。",
     "The configuration registry key could not be read."},
    {1013, "構成レジストリ キーを書き込めませんでした。",
     "The configuration registry key could not be written."},
    {1018, "削除するようにマークされているレジストリ キーに対して不正な操作が試みられました。",
     "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1305, "リビジョン レベルが不明です。", "The revision level is unknown."},
    {1306, "2 つのリビジョン レベルには互換性がありません。",
     "Indicates two revision levels are incompatible."},
    {1336, "アクセス制御リスト (ACL) の構造が無効です。",
     "The access control list (ACL) structure is invalid."},
    {1337, "セキュリティ ID の構造が無効です。", "The security ID structure is invalid."},
    {1338, "セキュリティ記述子の構造が無効です。",
     "The security descriptor structure is invalid."},
    {1344, "セキュリティ情報の更新に使用できるメモリがこれ以上ありません。",
     "No more memory is available for security information updates."},
    {1450, "システム リソースが不足しているため、要求されたサービスを完了できません。",
     "Insufficient system resources exist to complete the requested service."},
};

constexpr DWORD kLangJapanese = 0x0411, kLangEnglish = 0x0409;

// The text of code in the machine's language, in the bytes the A
// functions give; false when the system has no text for it.
bool SystemTextFor(DWORD code, std::string &text)
{
    for (const SystemText &t : kSystemTexts) {
        if (t.code != code)
            continue;
        if (TheMachine().japanese) {
            std::u16string unicode;
            Utf8ToUnicode(t.japanese, unicode);
            text = UnicodeToAnsi(unicode);
        } else {
            text = t.english;
        }
        text += "\r\n";
        return true;
    }
    return false;
}

}  // namespace

void SetLastError(DWORD code)
{
    lastError = code;
}

}  // namespace nt

using namespace nt;

extern "C" DWORD WINAPI GetLastError(void)
{
    Call call = Begin(Op::GetLastError);
    DWORD code = lastError;
    End(call, "-> %u", code);
    return code;
}

extern "C" DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                                       DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize,
                                       va_list *Arguments)
{
    (void)lpSource;
    (void)Arguments;   // no system text the tool can meet has inserts
    Call call = Begin(Op::FormatMessageA);
    DWORD length = 0;
    std::string label;
    DWORD machineLanguage = TheMachine().japanese ? kLangJapanese : kLangEnglish;
    std::string text;
    if (call.fault) {
        SetLastError(call.fault);
    } else if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || lpBuffer == nullptr) {
        SetLastError(kErrorInvalidParameter);
    } else if (dwLanguageId != 0 && dwLanguageId != MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT) &&
               dwLanguageId != machineLanguage) {
        SetLastError(kErrorResourceLangNotFound);
    } else if (!SystemTextFor(dwMessageId, text)) {
        SetLastError(kErrorMrMidNotFound);
    } else if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        size_t size = text.size() + 1 > nSize ? text.size() + 1 : nSize;
        char *buffer = static_cast<char *>(malloc(size));
        if (buffer == nullptr) {
            SetLastError(kErrorNotEnoughMemory);
        } else {
            memcpy(buffer, text.c_str(), text.size() + 1);
            label = Track(Resource::LocalBlock, buffer, "message " + std::to_string(dwMessageId));
            *reinterpret_cast<LPSTR *>(lpBuffer) = buffer;
            length = (DWORD)text.size();
        }
    } else if (text.size() + 1 > nSize) {
        SetLastError(kErrorInsufficientBuffer);
    } else {
        memcpy(lpBuffer, text.c_str(), text.size() + 1);
        length = (DWORD)text.size();
    }
    End(call, "flags=0x%x %u lang=0x%04x -> %u%s%s", dwFlags, dwMessageId, dwLanguageId, length,
        label.empty() ? "" : " ", label.c_str());
    return length;
}
