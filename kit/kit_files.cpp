#include "kit/kit_work.h"

#include "device/device_text.h"

using device_text::IsPathSeparator;

namespace {

// A file another program holds a moment longer (the holder, ending).
const int kDeleteAttempts = 6;
const DWORD kDeleteRetryMs = 500;
// What the kit's own bytes are compared in, two blocks of it on the heap.
const DWORD kSelfChunk = 8192;

// Where the folders below the root start in path: past a drive ("C:\")
// and the root's separator.
int FirstName(LPCWSTR path)
{
    int i = path[0] && path[1] == TEXT(':') ? 2 : 0;
    while (IsPathSeparator(path[i])) ++i;
    return i;
}

// The ends of the folders above path's last name, shallowest first: each
// a separator at which the folder's path ends.
int FolderEnds(LPCWSTR path, int* ends, int most)
{
    int count = 0;
    for (int i = FirstName(path); path[i]; ++i)
        if (IsPathSeparator(path[i]) && !IsPathSeparator(path[i - 1]) && path[i + 1] && count < most)
            ends[count++] = i;
    return count;
}

// Read beside whoever else has the file open: the loader, its own image.
HANDLE OpenToRead(LPCWSTR path)
{
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, 0);
}

// Up to size bytes: a file on the device gives fewer only at its end.
bool ReadUpTo(HANDLE file, char* bytes, DWORD size, DWORD* got)
{
    *got = 0;
    return ReadFile(file, bytes, size, got, 0) != 0;
}

// Whether copy holds self's bytes: all of them, or with cutShort a
// beginning of them. Compared chunk by chunk in a and b.
bool SameAsSelf(HANDLE copy, HANDLE self, char* a, char* b, bool cutShort)
{
    for (;;) {
        DWORD gotA = 0, gotB = 0;
        if (!ReadUpTo(copy, a, kSelfChunk, &gotA) || !ReadUpTo(self, b, kSelfChunk, &gotB)) return false;
        if (gotA > gotB || (gotA < gotB && !cutShort)) return false;
        for (DWORD i = 0; i < gotA; ++i)
            if (a[i] != b[i]) return false;
        if (gotA < kSelfChunk) return true;
    }
}

}  // namespace

bool Exists(LPCWSTR path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

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
    // Half a placeholder is no placeholder: it goes again (and if it stays,
    // the kit's undo knows it by its beginning).
    DeleteFileW(path);
    return error ? error : ERROR_INVALID_PARAMETER;
}

bool HoldsBeginningOf(LPCWSTR path, const char* bytes, int count)
{
    HANDLE file = OpenToRead(path);
    if (file == INVALID_HANDLE_VALUE) return false;
    // One byte more than the placeholder: a longer file is not one.
    char held[kPlaceholderSize + 1];
    DWORD got = 0;
    bool same = count <= kPlaceholderSize && ReadUpTo(file, held, static_cast<DWORD>(count) + 1, &got) &&
                got <= static_cast<DWORD>(count);
    for (DWORD i = 0; i < got && same; ++i) same = held[i] == bytes[i];
    CloseHandle(file);
    return same;
}

bool HoldsSelf(const Kit& kit, LPCWSTR path, bool cutShort)
{
    HANDLE heap = GetProcessHeap();
    char* chunks = static_cast<char*>(HeapAlloc(heap, 0, 2 * kSelfChunk));
    if (!chunks) return false;
    bool same = false;
    HANDLE copy = OpenToRead(path);
    if (copy != INVALID_HANDLE_VALUE) {
        HANDLE self = OpenToRead(kit.self);
        if (self != INVALID_HANDLE_VALUE) {
            same = SameAsSelf(copy, self, chunks, chunks + kSelfChunk, cutShort);
            CloseHandle(self);
        }
        CloseHandle(copy);
    }
    HeapFree(heap, 0, chunks);
    return same;
}

bool RemoveFile(Kit& kit, LPCWSTR path)
{
    DWORD error = 0;
    for (int attempt = 0; attempt < kDeleteAttempts; ++attempt) {
        if (attempt) Sleep(kDeleteRetryMs);
        if (DeleteFileW(path)) {
            LogItem(kit, "undone", kItemFile, path);
            return true;
        }
        error = GetLastError();
        // Something made the kit's file read-only: its attributes go first.
        if (error == ERROR_ACCESS_DENIED) SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
        else if (error != ERROR_SHARING_VIOLATION) break;
    }
    LogFailed(kit, "file", path, error);
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
    for (int i = 0; i < ends[depth - 1]; ++i) folder[i] = path[i];
    folder[ends[depth - 1]] = 0;
    return true;
}
