/*
 * kelvane: removes HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\Root\
 * LEGACY_CDFS\0000 and everything below it.
 *
 * Every key is re-secured right after it is opened, so that only the
 * built-in Administrators group holds it, and the tree is then deleted
 * from the bottom up.  Run it once, logged on as an administrator.
 *
 * Exit status: 0 when the key was removed (and on a platform other than
 * Windows NT, which is refused untouched), 13 otherwise.
 */

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

/* Status of the most recent RegDeleteKeyA anywhere in the recursion.  Every
 * subkey loop runs only while it is ERROR_SUCCESS, so one failed deletion
 * stops the loops of all the keys above it. */
static LONG lRetCodeDelKey = ERROR_SUCCESS;

/* The target, relative to HKEY_LOCAL_MACHINE. */
static const CHAR szTargetKey[] =
    "SYSTEM\\CurrentControlSet\\Enum\\Root\\LEGACY_CDFS\\0000";

/* The texts, as code page 932 bytes. */
static const CHAR szMsgDone[] =                 /* 初期化をしました。 */
    "\x8f\x89\x8a\xfa\x89\xbb\x82\xf0\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42\n";
static const CHAR szMsgRestart[] =              /* 再起動してください。 */
    "\x8d\xc4\x8b\x4e\x93\xae\x82\xb5\x82\xc4\x82\xad\x82\xbe\x82\xb3\x82\xa2"
    "\x81\x42\n";
static const CHAR szMsgLogOnAsAdmin[] =         /* アドミニストレータ権限でログオンしてください。 */
    "\x83\x41\x83\x68\x83\x7e\x83\x6a\x83\x58\x83\x67\x83\x8c\x81\x5b\x83\x5e"
    "\x8c\xa0\x8c\xc0\x82\xc5\x83\x8d\x83\x4f\x83\x49\x83\x93\x82\xb5\x82\xc4"
    "\x82\xad\x82\xbe\x82\xb3\x82\xa2\x81\x42\n";
static const CHAR szMsgAlreadyDone[] =          /* 既に初期化は終了しました。 */
    "\x8a\xf9\x82\xc9\x8f\x89\x8a\xfa\x89\xbb\x82\xcd\x8f\x49\x97\xb9\x82\xb5"
    "\x82\xdc\x82\xb5\x82\xbd\x81\x42\n";

/*
 * Reports a failed platform call on standard error: a line naming the call,
 * then the system's own text for the code.
 */
void DisplayWinError(LPCSTR szAPI, DWORD dwError)
{
    LPSTR MessageBuffer;
    DWORD dwBufferLength;
    DWORD dwBytesWritten;

    fprintf(stderr, "%s error!\n", szAPI);

    dwBufferLength = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM,
        NULL,
        dwError,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        (LPSTR)&MessageBuffer,
        0,
        NULL);

    if (dwBufferLength != 0) {
        /* The system text carries its own line end. */
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), MessageBuffer,
                  dwBufferLength, &dwBytesWritten, NULL);
        LocalFree(MessageBuffer);
    }
}

/*
 * Removes hKey\pszSubKey and everything below it.  Each key's DACL is
 * replaced by that of sd before its subkeys are looked at; each key is
 * deleted after its subkeys.  TRUE when the key was deleted.
 */
BOOL DeleteEntireKey(HKEY hKey, LPCSTR pszSubKey, SECURITY_DESCRIPTOR sd)
{
    LONG lRetCode;
    LONG lResult;
    HKEY hEnumKey;
    CHAR szKey[MAX_PATH];
    DWORD dwSize;

    lRetCode = RegOpenKeyExA(hKey, pszSubKey, 0,
                             KEY_ENUMERATE_SUB_KEYS | WRITE_DAC, &hEnumKey);
    if (lRetCode != ERROR_SUCCESS) {
        if (lRetCode == ERROR_ACCESS_DENIED)
            printf("%s", szMsgLogOnAsAdmin);
        else if (lRetCode == ERROR_FILE_NOT_FOUND)
            printf("%s", szMsgAlreadyDone);
        else
            DisplayWinError("RegOpenKeyEx", (DWORD)lRetCode);
        return FALSE;
    }

    dwSize = MAX_PATH;

    lResult = RegSetKeySecurity(hEnumKey, DACL_SECURITY_INFORMATION, &sd);
    if (lResult != ERROR_SUCCESS) {
        DisplayWinError("RegSetKeySecurity", (DWORD)lResult);
        RegCloseKey(hEnumKey);
        return FALSE;
    }

    /* Index 0 every time: each pass deletes the subkey it found, so index 0
     * names the next one that remains. */
    while (RegEnumKeyExA(hEnumKey, 0, szKey, &dwSize,
                         NULL, NULL, NULL, NULL) == ERROR_SUCCESS
           && lRetCodeDelKey == ERROR_SUCCESS) {
        if (!DeleteEntireKey(hEnumKey, szKey, sd)
            && lRetCodeDelKey == ERROR_SUCCESS) {
            /* The subkey could not be opened or re-secured and is still
             * there: index 0 would name it again, so stop here and let the
             * deletion below report what is left. */
            break;
        }
        dwSize = MAX_PATH;
    }

    RegCloseKey(hEnumKey);

    lRetCodeDelKey = RegDeleteKeyA(hKey, pszSubKey);
    if (lRetCodeDelKey != ERROR_SUCCESS) {
        DisplayWinError("RegDeleteKeyKeyEx", (DWORD)lRetCodeDelKey);
        return FALSE;
    }
    return TRUE;
}

int main(void)
{
    SID_IDENTIFIER_AUTHORITY sia = SECURITY_NT_AUTHORITY;
    PSID pAdministratorsSid = NULL;
    DWORD dwAclSize;
    PACL pDacl = NULL;
    SECURITY_DESCRIPTOR sd;
    BOOL bSuccess = FALSE;
    OSVERSIONINFOA osvi;

    /* Cleared first, so that a failed query reads as "not NT" rather than
     * as whatever the stack held. */
    ZeroMemory(&osvi, sizeof(OSVERSIONINFOA));
    osvi.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    GetVersionExA(&osvi);
    if (osvi.dwPlatformId != VER_PLATFORM_WIN32_NT) {
        printf("This is not Windows NT\n");
        exit(0);
    }

    if (!AllocateAndInitializeSid(&sia, 2,
                                  SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS,
                                  0, 0, 0, 0, 0, 0,
                                  &pAdministratorsSid)) {
        DisplayWinError("AllocateAndInitializeSid", GetLastError());
        goto cleanup;
    }

    /* ACL header and one ACCESS_ALLOWED_ACE, whose SidStart word the SID
     * overlays: 8 + 12 - 4 bytes besides the SID itself. */
    dwAclSize = GetLengthSid(pAdministratorsSid) + sizeof(ACL)
                + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD);

    pDacl = (PACL)HeapAlloc(GetProcessHeap(), 0, dwAclSize);
    if (pDacl == NULL)
        goto cleanup;

    if (!InitializeAcl(pDacl, dwAclSize, ACL_REVISION)) {
        DisplayWinError("InitializeAcl", GetLastError());
        goto cleanup;
    }

    if (!AddAccessAllowedAce(pDacl, ACL_REVISION, KEY_ALL_ACCESS,
                             pAdministratorsSid)) {
        DisplayWinError("AddAccessAllowedAce", GetLastError());
        goto cleanup;
    }

    if (!InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION)) {
        DisplayWinError("InitializeSecurityDescriptor", GetLastError());
        goto cleanup;
    }

    if (!SetSecurityDescriptorDacl(&sd, TRUE, pDacl, FALSE)) {
        DisplayWinError("SetSecurityDescriptorDacl", GetLastError());
        goto cleanup;
    }

    bSuccess = DeleteEntireKey(HKEY_LOCAL_MACHINE, szTargetKey, sd);

cleanup:
    RegCloseKey(HKEY_LOCAL_MACHINE);
    if (pDacl != NULL)
        HeapFree(GetProcessHeap(), 0, pDacl);
    if (pAdministratorsSid != NULL)
        FreeSid(pAdministratorsSid);

    if (bSuccess) {
        printf("%s", szMsgDone);
        printf("%s", szMsgRestart);
        return 0;
    }
    return 13;
}
