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

// Whether copy holds self's bytes, all of them. Compared chunk by chunk in
// a and b.
bool SameAsSelf(HANDLE copy, HANDLE self, char* a, char* b)
{
    for (;;) {
        DWORD gotA = 0, gotB = 0;
        if (!ReadUpTo(copy, a, kSelfChunk, &gotA) || !ReadUpTo(self, b, kSelfChunk, &gotB)) return false;
        if (gotA != gotB) return false;
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
    // cppcheck-suppress resourceLeak ; nothing was opened: CreateFileW failed
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

bool TempBeside(LPCWSTR path, LPWSTR temp)
{
    int length = 0;
    const bool fits = device_text::AppendText(temp, MAX_PATH, &length, path) &&
                      device_text::AppendText(temp, MAX_PATH, &length, TRQ_KIT_TEMP);
    temp[fits ? length : 0] = 0;
    return fits;
}

namespace {

// Clears the temporary name, which is the kit's; false when something stays.
bool ClearTemp(LPCWSTR temp)
{
    const DWORD attributes = GetFileAttributesW(temp);
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return DeleteFileW(temp) != 0;
    WCHAR sign[MAX_PATH];
    if (JoinPackagePath(sign, temp, TRQ_KIT_SIGN) && Exists(sign)) DeleteFileW(sign);
    return RemoveDirectoryW(temp) != 0;
}

// Moves the temporary file or folder into place; on failure it goes again.
DWORD MoveIntoPlace(LPCWSTR temp, LPCWSTR path)
{
    const DWORD error = MoveTo(temp, path);
    if (error != ERROR_SUCCESS) ClearTemp(temp);
    return error;
}

}  // namespace

bool RemoveTemp(Kit& kit, LPCWSTR temp)
{
    const DWORD attributes = GetFileAttributesW(temp);
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return RemoveFile(kit, temp);
    WCHAR sign[MAX_PATH];
    bool removed = true;
    if (JoinPackagePath(sign, temp, TRQ_KIT_SIGN) && Exists(sign)) removed = RemoveFile(kit, sign);
    if (RemoveDirectoryW(temp)) {
        LogItem(kit, "undone", kItemFolder, temp);
        return removed;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_DIR_NOT_EMPTY) LogLeft(kit, kItemFolder, temp, "it holds files the kit did not make");
    else LogFailed(kit, "folder", temp, error);
    return false;
}

DWORD MoveTo(LPCWSTR from, LPCWSTR to)
{
    if (MoveFileW(from, to)) return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    return error ? error : ERROR_ACCESS_DENIED;
}

DWORD PutWhole(LPCWSTR path, const char* bytes, int count)
{
    WCHAR temp[MAX_PATH];
    if (!TempBeside(path, temp)) return ERROR_INSUFFICIENT_BUFFER;
    if (Exists(path)) return ERROR_FILE_EXISTS;
    if (!ClearTemp(temp)) return GetLastError();
    const DWORD error = WriteNewFile(temp, bytes, count);
    return error == ERROR_SUCCESS ? MoveIntoPlace(temp, path) : error;
}

DWORD CopyWhole(LPCWSTR from, LPCWSTR path)
{
    WCHAR temp[MAX_PATH];
    if (!TempBeside(path, temp)) return ERROR_INSUFFICIENT_BUFFER;
    if (Exists(path)) return ERROR_FILE_EXISTS;
    if (!ClearTemp(temp)) return GetLastError();
    if (!CopyFileW(from, temp, TRUE)) {
        const DWORD error = GetLastError();
        ClearTemp(temp);
        return error ? error : ERROR_ACCESS_DENIED;
    }
    return MoveIntoPlace(temp, path);
}

DWORD PutSignedFolder(LPCWSTR path)
{
    WCHAR temp[MAX_PATH], sign[MAX_PATH];
    char bytes[kPlaceholderSize];
    const int count = SignBytes(path, bytes, kPlaceholderSize);
    if (count < 0 || !TempBeside(path, temp) || !JoinPackagePath(sign, temp, TRQ_KIT_SIGN))
        return ERROR_INSUFFICIENT_BUFFER;
    if (Exists(path)) return ERROR_ALREADY_EXISTS;
    if (!ClearTemp(temp)) return GetLastError();
    if (!CreateDirectoryW(temp, 0)) return GetLastError();
    DWORD error = WriteNewFile(sign, bytes, count);
    if (error != ERROR_SUCCESS) {
        ClearTemp(temp);
        return error;
    }
    return MoveIntoPlace(temp, path);
}

bool HoldsWhole(LPCWSTR path, const char* bytes, int count)
{
    HANDLE file = OpenToRead(path);
    if (file == INVALID_HANDLE_VALUE) return false;
    // One byte more than the placeholder: a longer file is not one.
    char held[kPlaceholderSize + 1];
    DWORD got = 0;
    bool same = count <= kPlaceholderSize && ReadUpTo(file, held, static_cast<DWORD>(count) + 1, &got) &&
                got == static_cast<DWORD>(count);
    for (DWORD i = 0; i < got && same; ++i) same = held[i] == bytes[i];
    CloseHandle(file);
    return same;
}

bool HoldsSelf(const Kit& kit, LPCWSTR path)
{
    HANDLE heap = GetProcessHeap();
    char* chunks = static_cast<char*>(HeapAlloc(heap, 0, SIZE_T{2} * kSelfChunk));
    if (!chunks) return false;
    bool same = false;
    HANDLE copy = OpenToRead(path);
    if (copy != INVALID_HANDLE_VALUE) {
        HANDLE self = OpenToRead(kit.self);
        if (self != INVALID_HANDLE_VALUE) {
            same = SameAsSelf(copy, self, chunks, chunks + kSelfChunk);
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
