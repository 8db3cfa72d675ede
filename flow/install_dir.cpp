#include "flow/uninstall.h"

#define INSTALL_RECORD TEXT("SOFTWARE\\Apps\\Vantrelle PocketPC Edition")

// Queries one value of the install record into buffer. The value counts only
// if it is a non-empty string whose terminator lies within the bytes
// returned: an empty directory would aim the deletions at the device root,
// and an unterminated one would be read past its end.
static bool QueryDirectory(HKEY key, LPCWSTR name, LPWSTR buffer)
{
    DWORD type;
    DWORD bytes = MAX_PATH * sizeof(WCHAR);
    if (RegQueryValueExW(key, name, 0, &type, reinterpret_cast<LPBYTE>(buffer), &bytes) !=
        ERROR_SUCCESS)
        return false;
    if (bytes % sizeof(WCHAR) != 0 || bytes > MAX_PATH * sizeof(WCHAR)) return false;
    DWORD characters = bytes / sizeof(WCHAR);
    DWORD length = 0;
    while (length < characters && buffer[length]) ++length;
    return length > 0 && length < characters;
}

LPWSTR ReadInstallDir()
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, INSTALL_RECORD, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;

    HANDLE heap = GetProcessHeap();
    LPWSTR dir = static_cast<LPWSTR>(HeapAlloc(heap, 0, MAX_PATH * sizeof(WCHAR)));
    if (dir) {
        dir[0] = 0;
        if (!QueryDirectory(key, TEXT("InstallDir"), dir) &&
            !QueryDirectory(key, TEXT("InstDir"), dir)) {
            HeapFree(heap, 0, dir);
            dir = 0;
        }
    }
    RegCloseKey(key);
    return dir;
}
