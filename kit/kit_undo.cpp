// Undoing what the kit made, and only that. A file goes only when the
// kit's log (or, without the log, its marker) says the kit was making it
// and it holds its placeholder's bytes or a beginning of them, or the
// kit's own; a folder when the log or the marker says so and it is empty;
// a key when it holds the kit's mark (or, the log saying the kit was making
// it, nothing at all) and no key below it. The scratch folder is the kit's
// by its name, its files by their bytes. The marker goes last, when it
// lists nothing; the folders it keeps are those the files were laid in.
// Whatever the uninstaller removed already is simply not there.
#include "kit/kit_work.h"

namespace {

// Whether the file at path holds what the kit put there: its placeholder
// or a beginning of it, or the kit itself (the utility, the scratch
// holder), whole or cut short.
bool HoldsKitBytes(const Kit& kit, const PackageFile& file, LPCWSTR path, bool self)
{
    if (self) return HoldsSelf(kit, path, true);
    char bytes[kPlaceholderSize];
    const int count = PlaceholderBytes(kit, file, bytes, kPlaceholderSize);
    return count >= 0 && HoldsBeginningOf(path, bytes, count);
}

// One file of the kit's: removed when it holds the kit's bytes, left (and
// no longer claimed) when another's are there. False when it stays.
bool RemoveKitFile(Kit& kit, HKEY marker, const PackageFile& file, LPCWSTR path, bool self)
{
    if (!Exists(path)) {
        Unmark(marker, path);
        return true;
    }
    if (!HoldsKitBytes(kit, file, path, self)) {
        LogItem(kit, "exists", kItemFile, path);
        Unmark(marker, path);
        return true;
    }
    if (!RemoveFile(kit, path)) return false;
    Unmark(marker, path);
    return true;
}

// A folder of the kit's, when it is empty. False when it stays.
bool RemoveKitFolder(Kit& kit, HKEY marker, LPCWSTR folder)
{
    if (RemoveDirectoryW(folder)) {
        LogItem(kit, "undone", kItemFolder, folder);
        Unmark(marker, folder);
        return true;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
        LogFailed(kit, "folder", folder, error);
        return false;
    }
    Unmark(marker, folder);  // gone already
    return true;
}

// Whether the log, or where it says nothing whole the marker, names it.
bool Claimed(const Kit& kit, HKEY marker, ItemKind kind, LPCWSTR name, bool byLog)
{
    return JournalSaysMaking(kit.journal, kind, name) || (!byLog && Marked(marker, name));
}

bool RemoveFiles(Kit& kit, HKEY marker, bool byLog)
{
    bool removed = true;
    for (int i = 0; i < kPackageFileCount; ++i) {
        const PackageFile& file = kPackageFiles[i];
        WCHAR path[MAX_PATH];
        if (PackagePath(kit, file.base, file.name, path) && Claimed(kit, marker, kItemFile, path, byLog))
            removed = RemoveKitFile(kit, marker, file, path, IsUtility(file)) && removed;
    }
    return removed;
}

// The folders above the package's files, deepest first, each once.
bool RemoveFolders(Kit& kit, HKEY marker, bool byLog)
{
    int deepest = 0;
    for (int i = 0; i < kPackageFileCount; ++i) {
        WCHAR path[MAX_PATH];
        if (PackagePath(kit, kPackageFiles[i].base, kPackageFiles[i].name, path) && FoldersAbove(path) > deepest)
            deepest = FoldersAbove(path);
    }
    bool removed = true;
    for (int depth = deepest; depth >= 1; --depth) {
        for (int i = 0; i < kPackageFileCount; ++i) {
            WCHAR path[MAX_PATH], folder[MAX_PATH];
            if (!PackagePath(kit, kPackageFiles[i].base, kPackageFiles[i].name, path) ||
                !FolderAbove(path, depth, folder))
                continue;
            bool seen = false;
            for (int j = 0; j < i && !seen; ++j) {
                WCHAR other[MAX_PATH], above[MAX_PATH];
                seen = PackagePath(kit, kPackageFiles[j].base, kPackageFiles[j].name, other) &&
                       FolderAbove(other, depth, above) && SameText(above, folder);
            }
            if (!seen && Claimed(kit, marker, kItemFolder, folder, byLog))
                removed = RemoveKitFolder(kit, marker, folder) && removed;
        }
    }
    return removed;
}

bool SameKey(int a, int b, int depth)
{
    WCHAR pathA[MAX_PATH], pathB[MAX_PATH];
    return KeySourceRoot(a) == KeySourceRoot(b) && depth <= KeyDepth(KeySourcePath(b)) &&
           KeyAt(KeySourcePath(a), depth, pathA) && KeyAt(KeySourcePath(b), depth, pathB) && SameText(pathA, pathB);
}

// The keys, deepest first, all of one depth before those above them, each
// once; the marker in its turn, before the key above it.
bool RemoveKeys(Kit& kit, bool byLog)
{
    int deepest = 0;
    for (int source = 0; source < KeySourceCount(); ++source)
        if (KeyDepth(KeySourcePath(source)) > deepest) deepest = KeyDepth(KeySourcePath(source));
    bool removed = true;
    for (int depth = deepest; depth >= 1; --depth) {
        for (int source = KeySourceCount() - 1; source >= 0; --source) {
            if (depth > KeyDepth(KeySourcePath(source))) continue;
            bool seen = false;
            for (int other = KeySourceCount() - 1; other > source && !seen; --other) seen = SameKey(source, other, depth);
            if (seen) continue;
            if (IsMarkerSource(source) && depth == KeyDepth(KeySourcePath(source))) {
                removed = RemoveMarker(kit) && removed;
                continue;
            }
            WCHAR path[MAX_PATH], name[MAX_PATH];
            if (!KeyAt(KeySourcePath(source), depth, path) || !KeyName(name, KeySourceRoot(source), path)) continue;
            const bool logged = JournalSaysMaking(kit.journal, kItemKey, name);
            // With the whole log to go by, a key it does not name is not the kit's.
            if (logged || !byLog) removed = RemoveKey(kit, source, depth, logged) && removed;
        }
    }
    return removed;
}

// The scratch folder's files, and the folder when it is empty.
bool RemoveScratch(Kit& kit)
{
    bool removed = true;
    for (int i = 0; i < kScratchFileCount; ++i) {
        WCHAR path[MAX_PATH];
        if (ScratchPath(kScratchFiles[i].name, path) && Exists(path))
            removed = RemoveKitFile(kit, 0, kScratchFiles[i], path, i == 0) && removed;
    }
    return Exists(TRQ_KIT_SCRATCH) ? RemoveKitFolder(kit, 0, TRQ_KIT_SCRATCH) && removed : removed;
}

// The folders the files were laid in: those the marker keeps, else those
// the log says prepare read, else the device's own now.
void UseFoldersOfPrepare(Kit& kit, HKEY marker)
{
    if (marker) ReadKeptFolders(kit, marker);
    if (kit.keptFolders) return;
    bool logged = false;
    for (int base = 0; base < kPackageBaseCount; ++base) logged = logged || kit.journal.known[base];
    for (int base = 0; logged && base < kPackageBaseCount; ++base) {
        kit.known[base] = kit.journal.known[base];
        for (int i = 0; i < MAX_PATH && (i == 0 || kit.journal.folder[base][i - 1]); ++i)
            kit.folder[base][i] = kit.journal.folder[base][i];
    }
}

}  // namespace

bool KitThere(Kit& kit)
{
    HKEY marker = OpenMarker(false);
    CloseMarker(marker);
    return marker || kit.journal.open || HolderRunning() || Exists(TRQ_KIT_SCRATCH) ||
           KeyMarked(kPackageInstallRecord.root, kPackageInstallRecord.path);
}

bool Undo(Kit& kit)
{
    HKEY marker = OpenMarker(false);
    UseFoldersOfPrepare(kit, marker);
    WCHAR utility[MAX_PATH];
    if (PackagePath(kit, kHeldFiles[0].base, kHeldFiles[0].name, utility)) StopHolder(kit, utility);

    // The log, read whole and naming what the kit was making, is the kit's
    // word; without it, the marker's marks and the keys' own.
    const bool byLog = kit.journal.open && kit.journal.whole;
    bool removed = RemoveFiles(kit, marker, byLog);
    removed = RemoveScratch(kit) && removed;
    removed = RemoveFolders(kit, marker, byLog) && removed;
    CloseMarker(marker);
    removed = RemoveKeys(kit, byLog) && removed;
    Flush(HKEY_LOCAL_MACHINE);
    Flush(HKEY_CURRENT_USER);
    LogWrite(kit);
    if (removed) LogClean(kit);
    return removed;
}
