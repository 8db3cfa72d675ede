#include "kit/kit_work.h"

void Probe(const Kit& kit, LPCWSTR path, const char* how, const PackageFile* placeholder)
{
    // The very call the uninstaller makes on a program file, once.
    SetLastError(0);
    const BOOL deleted = DeleteFileW(path);
    const DWORD error = GetLastError();
    bool restored = false;
    if (deleted) {
        if (!placeholder) {
            restored = CopyFileW(kit.self, path, TRUE) != 0;
        } else {
            char bytes[1024];
            const int count = PlaceholderBytes(kit, *placeholder, bytes, sizeof bytes);
            restored = count >= 0 && WriteNewFile(path, bytes, count) == ERROR_SUCCESS;
        }
    }
    LogProbe(path, how, deleted, error, restored);
}
