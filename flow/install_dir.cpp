#include "flow/uninstall.h"

#include "device/device_text.h"

#define INSTALL_RECORD TEXT("SOFTWARE\\Apps\\Vantrelle PocketPC Edition")

using device_text::IsPathSeparator;

// Whether the first length characters of dir name a folder below the device
// root: at least one name, and no "." or ".." among them, which would lead
// the deletions to the root or into another folder.
static bool NamesFolder(LPCWSTR dir, DWORD length)
{
    DWORD names = 0;
    DWORD i = 0;
    while (i < length) {
        if (IsPathSeparator(dir[i])) {
            ++i;
            continue;
        }
        DWORD start = i;
        while (i < length && !IsPathSeparator(dir[i])) ++i;
        DWORD size = i - start;
        if (dir[start] == TEXT('.') && (size == 1 || (size == 2 && dir[start + 1] == TEXT('.'))))
            return false;
        ++names;
    }
    return names > 0;
}

// Queries one value of the install record into buffer. The value counts only
// if it is a string whose terminator lies within the bytes returned and that
// names a folder: an empty directory, or one of separators only ("\"), would
// aim the deletions at the device root, one with ".." anywhere else, and an
// unterminated one would be read past its end.
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
    return length < characters && NamesFolder(buffer, length);
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
