#include "kit/kit_work.h"

void Probe(Kit& kit, LPCWSTR path, const char* how, const PackageFile* placeholder)
{
    // The very call the uninstaller makes on a program file, once: only on
    // a file this run made, which the log names as the kit's.
    SetLastError(0);
    const BOOL deleted = DeleteFileW(path);
    const DWORD error = GetLastError();
    bool restored = false;
    if (deleted) {
        if (!placeholder) {
            restored = CopyFileW(kit.self, path, TRUE) != 0;
        } else {
            char bytes[kPlaceholderSize];
            const int count = PlaceholderBytes(kit, *placeholder, bytes, sizeof bytes);
            restored = count >= 0 && WriteNewFile(path, bytes, count) == ERROR_SUCCESS;
        }
    }
    LogProbe(kit, path, how, deleted, error, restored);
}
