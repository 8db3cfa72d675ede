#include "kit/kit_work.h"

void Probe(Kit& kit, LPCWSTR path, const char* how, const PackageFile* placeholder, bool inMadeFolder)
{
    // The very call the uninstaller makes on a program file, once: only on
    // a file this run made, which the log names as the kit's.
    SetLastError(0);
    const BOOL deleted = DeleteFileW(path);
    const DWORD error = GetLastError();
    bool restored = false;
    if (deleted) {
        if (!placeholder) {
            restored = CopyWhole(kit.self, path) == ERROR_SUCCESS;
        } else {
            char bytes[kPlaceholderSize];
            const int count = PlaceholderBytes(kit, *placeholder, bytes, sizeof bytes, inMadeFolder);
            restored = count >= 0 && PutWhole(path, bytes, count) == ERROR_SUCCESS;
        }
    }
    LogProbe(kit, path, how, deleted, error, restored);
}
