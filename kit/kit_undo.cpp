// Undoing what the kit made, and only that: a placeholder goes only while it
// holds its placeholder's bytes, the utility only while it is a copy of the
// kit, a key or a folder only when the kit's marker says the kit made it.
// Whatever the uninstaller removed already is simply not there.
#include "kit/kit_work.h"

namespace {

// Whether the file at path, if there, is the kit's own.
bool IsKitFile(const Kit& kit, const PackageFile& file, LPCWSTR path, bool utility)
{
    if (!Exists(path)) return false;
    if (utility) return IsCopyOfSelf(kit, path);
    char bytes[1024];
    const int count = PlaceholderBytes(kit, file, bytes, sizeof bytes);
    return count >= 0 && HoldsBytes(path, bytes, count);
}

bool IsKitPackageFile(const Kit& kit, int i, LPWSTR path)
{
    const PackageFile& file = kPackageFiles[i];
    return PackagePath(kit, file.base, file.name, path) && IsKitFile(kit, file, path, IsUtility(file));
}

bool IsKitScratchFile(const Kit& kit, int i, LPWSTR path)
{
    return ScratchPath(kScratchFiles[i].name, path) && IsKitFile(kit, kScratchFiles[i], path, i == 0);
}

// The folders the kit made above the package's files, deepest first, as far
// as they are empty; whether any it made stays.
bool RemoveFolders(const Kit& kit, HKEY marker)
{
    int deepest = 0;
    for (int i = 0; i < kPackageFileCount; ++i) {
        WCHAR path[MAX_PATH];
        if (PackagePath(kit, kPackageFiles[i].base, kPackageFiles[i].name, path) && FoldersAbove(path) > deepest)
            deepest = FoldersAbove(path);
    }
    bool stays = false;
    for (int depth = deepest; depth >= 1; --depth) {
        for (int i = 0; i < kPackageFileCount; ++i) {
            WCHAR path[MAX_PATH], folder[MAX_PATH];
            if (PackagePath(kit, kPackageFiles[i].base, kPackageFiles[i].name, path) &&
                FolderAbove(path, depth, folder))
                stays = !RemoveMadeFolder(marker, folder) || stays;
        }
    }
    return stays;
}

}  // namespace

bool KitThere(const Kit& kit)
{
    WCHAR path[MAX_PATH];
    for (int i = 0; i < kPackageFileCount; ++i)
        if (IsKitPackageFile(kit, i, path)) return true;
    return Exists(TRQ_KIT_SCRATCH);
}

bool RemoveScratch(const Kit& kit)
{
    bool removed = true;
    for (int i = 0; i < kScratchFileCount; ++i) {
        WCHAR path[MAX_PATH];
        if (IsKitScratchFile(kit, i, path)) removed = RemoveFile(path) && removed;
    }
    if (!Exists(TRQ_KIT_SCRATCH)) return removed;
    if (RemoveDirectoryW(TRQ_KIT_SCRATCH)) {
        LogItem("undone", "folder", TRQ_KIT_SCRATCH);
        return removed;
    }
    LogFailed("folder", TRQ_KIT_SCRATCH, GetLastError());
    return false;
}

bool Undo(Kit& kit)
{
    WCHAR utility[MAX_PATH];
    if (PackagePath(kit, kHeldFiles[0].base, kHeldFiles[0].name, utility)) StopHolder(utility);

    bool removed = true;
    for (int i = 0; i < kPackageFileCount; ++i) {
        WCHAR path[MAX_PATH];
        if (IsKitPackageFile(kit, i, path)) removed = RemoveFile(path) && removed;
    }
    removed = RemoveScratch(kit) && removed;

    HKEY marker = OpenMarker(false);
    if (marker) {
        removed = !RemoveFolders(kit, marker) && removed;
        removed = RemoveKeys(marker) && removed;
        CloseMarker(marker);
        // The marker goes last, and only with everything it lists: until
        // then the kit knows what is still its own.
        if (removed) RemoveMarker();
    }
    return removed;
}
