#include "kit/kit_work.h"

namespace {

// A file another program holds a moment longer (the holder, ending).
const int kDeleteAttempts = 6;
const DWORD kDeleteRetryMs = 500;
const DWORD kChunk = 256;

bool IsSeparator(WCHAR c) { return c == TEXT('\\') || c == TEXT('/'); }

// Where the folders below the root start in path: past a drive ("C:\")
// and the root's separator.
int FirstName(LPCWSTR path)
{
    int i = path[0] && path[1] == TEXT(':') ? 2 : 0;
    while (IsSeparator(path[i])) ++i;
    return i;
}

// The ends of the folders above path's last name, shallowest first: each
// a separator at which the folder's path ends.
int FolderEnds(LPCWSTR path, int* ends, int most)
{
    int count = 0;
    for (int i = FirstName(path); path[i]; ++i)
        if (IsSeparator(path[i]) && !IsSeparator(path[i - 1]) && path[i + 1] && count < most)
            ends[count++] = i;
    return count;
}

// The first length characters of path, as a path of its own.
void Prefix(LPWSTR folder, LPCWSTR path, int length)
{
    for (int i = 0; i < length; ++i) folder[i] = path[i];
    folder[length] = 0;
}

// Read beside whoever else has the file open: the loader, its own image.
HANDLE OpenToRead(LPCWSTR path)
{
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, 0);
}

bool ReadChunk(HANDLE file, char* chunk, DWORD* got)
{
    *got = 0;
    return ReadFile(file, chunk, kChunk, got, 0) != 0;
}

}  // namespace

bool Exists(LPCWSTR path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

bool MakeParents(HKEY marker, LPCWSTR path)
{
    int ends[MAX_PATH / 2];
    const int count = FolderEnds(path, ends, MAX_PATH / 2);
    for (int i = 0; i < count; ++i) {
        WCHAR folder[MAX_PATH];
        Prefix(folder, path, ends[i]);
        if (Exists(folder)) continue;
        if (!CreateDirectoryW(folder, 0)) {
            LogFailed("folder", folder, GetLastError());
            return false;
        }
        if (!Mark(marker, folder)) {
            // What the kit cannot mark, it cannot undo: leave nothing behind.
            LogFailed("folder", folder, GetLastError());
            RemoveDirectoryW(folder);
            return false;
        }
        LogItem("made", "folder", folder);
    }
    return true;
}

DWORD WriteNewFile(LPCWSTR path, const char* bytes, int count)
{
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, 0);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    DWORD written = 0;
    const bool wrote = WriteFile(file, bytes, static_cast<DWORD>(count), &written, 0) &&
                       written == static_cast<DWORD>(count);
    const DWORD error = wrote ? ERROR_SUCCESS : GetLastError();
    CloseHandle(file);
    if (wrote) return ERROR_SUCCESS;
    // Half a placeholder is no placeholder: it goes again.
    DeleteFileW(path);
    return error ? error : ERROR_INVALID_PARAMETER;
}

bool MakeFile(LPCWSTR path, const char* bytes, int count)
{
    const DWORD error = WriteNewFile(path, bytes, count);
    if (error == ERROR_SUCCESS) {
        LogItem("made", "file", path);
        return true;
    }
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
        LogItem("exists", "file", path);
        return true;
    }
    LogFailed("file", path, error);
    return false;
}

bool CopySelf(const Kit& kit, LPCWSTR path)
{
    if (Exists(path)) {
        LogItem("exists", "file", path);
        return true;
    }
    if (!CopyFileW(kit.self, path, TRUE)) {
        LogFailed("file", path, GetLastError());
        return false;
    }
    LogItem("made", "file", path);
    return true;
}

bool HoldsBytes(LPCWSTR path, const char* bytes, int count)
{
    HANDLE file = OpenToRead(path);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool same = true;
    int at = 0;
    for (;;) {
        char chunk[kChunk];
        DWORD got;
        if (!ReadChunk(file, chunk, &got)) same = false;
        if (!same || got == 0) break;
        for (DWORD i = 0; i < got && same; ++i, ++at) same = at < count && chunk[i] == bytes[at];
    }
    CloseHandle(file);
    return same && at == count;
}

bool IsCopyOfSelf(const Kit& kit, LPCWSTR path)
{
    HANDLE copy = OpenToRead(path);
    if (copy == INVALID_HANDLE_VALUE) return false;
    HANDLE self = OpenToRead(kit.self);
    bool same = self != INVALID_HANDLE_VALUE;
    while (same) {
        char a[kChunk], b[kChunk];
        DWORD gotA = 0, gotB = 0;
        same = ReadChunk(copy, a, &gotA) && ReadChunk(self, b, &gotB) && gotA == gotB;
        for (DWORD i = 0; i < gotA && same; ++i) same = a[i] == b[i];
        if (gotA == 0) break;
    }
    if (self != INVALID_HANDLE_VALUE) CloseHandle(self);
    CloseHandle(copy);
    return same;
}

bool RemoveFile(LPCWSTR path)
{
    DWORD error = 0;
    for (int attempt = 0; attempt < kDeleteAttempts; ++attempt) {
        if (attempt) Sleep(kDeleteRetryMs);
        SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
        if (DeleteFileW(path)) {
            LogItem("undone", "file", path);
            return true;
        }
        error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) break;
    }
    LogFailed("file", path, error);
    return false;
}

int FoldersAbove(LPCWSTR path)
{
    int ends[MAX_PATH / 2];
    return FolderEnds(path, ends, MAX_PATH / 2);
}

bool FolderAbove(LPCWSTR path, int depth, LPWSTR folder)
{
    int ends[MAX_PATH / 2];
    if (depth < 1 || depth > FolderEnds(path, ends, MAX_PATH / 2)) return false;
    Prefix(folder, path, ends[depth - 1]);
    return true;
}

bool RemoveMadeFolder(HKEY marker, LPCWSTR folder)
{
    if (!Marked(marker, folder)) return true;
    if (RemoveDirectoryW(folder)) {
        LogItem("undone", "folder", folder);
        Unmark(marker, folder);
        return true;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return false;
    Unmark(marker, folder);  // gone already
    return true;
}
