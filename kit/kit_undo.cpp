// Undoing what the kit made, and only that, by what each thing carries:
// a file is the kit's when it holds a whole placeholder with the kit's mark
// (or, the utility, the kit's own bytes whole); a folder when it holds the
// kit's sign, or a placeholder marked as laid in a folder the kit made; a
// key while it holds the kit's mark. The log and the marker only say where
// to look: undo looks at every file, folder and key of the package's
// layout, and of what the log names there without the kit's proof, leaves
// it and says so. The scratch folder is the kit's by its name, its files by
// their bytes; the marker goes last. Whatever the uninstaller removed
// already is simply not there.
#include "kit/kit_work.h"

namespace {

// Each function holding a placeholder's bytes or paths keeps its own frame,
// under a page of stack: the devices' builds have no stack probes.

// Whether the file at path holds what the kit put there: its placeholder
// whole (either mark), or the kit itself whole (the utility, the scratch
// holder).
__attribute__((noinline)) bool HoldsKitBytes(const Kit& kit, const PackageFile& file, LPCWSTR path, bool self, bool inMadeFolderOnly)
{
    if (self) return !inMadeFolderOnly && HoldsSelf(kit, path);
    char bytes[kPlaceholderSize];
    int count = PlaceholderBytes(kit, file, bytes, kPlaceholderSize, true);
    if (count >= 0 && HoldsWhole(path, bytes, count)) return true;
    if (inMadeFolderOnly) return false;
    count = PlaceholderBytes(kit, file, bytes, kPlaceholderSize, false);
    return count >= 0 && HoldsWhole(path, bytes, count);
}

// One file at a name of the layout: removed when it holds the kit's bytes;
// when the log names it and another's are there, left and named. False
// when the kit's stays.
__attribute__((noinline)) bool RemoveKitFile(Kit& kit, const PackageFile& file, LPCWSTR path, bool self)
{
    if (!Exists(path)) return true;
    if (HoldsKitBytes(kit, file, path, self, false)) return RemoveFile(kit, path);
    if (JournalSaysMaking(kit.journal, kItemFile, path)) LogLeft(kit, kItemFile, path, "its bytes are not the kit's");
    return true;
}

// A folder the kit made, emptied of its files already. False when it stays.
bool RemoveKitFolder(Kit& kit, LPCWSTR folder)
{
    if (RemoveDirectoryW(folder)) {
        LogItem(kit, "undone", kItemFolder, folder);
        return true;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;  // gone already
    if (error == ERROR_DIR_NOT_EMPTY) LogLeft(kit, kItemFolder, folder, "it holds files the kit did not make");
    else LogFailed(kit, "folder", folder, error);
    return false;
}

bool InFolder(LPCWSTR path, LPCWSTR folder)
{
    WCHAR parent[MAX_PATH];
    return FolderAbove(path, FoldersAbove(path), parent) && SameText(parent, folder);
}

// Whether the folder carries the kit's proof: its sign, whole, or a
// placeholder of its own files marked as laid in a folder the kit made.
__attribute__((noinline)) bool FolderSigned(const Kit& kit, LPCWSTR folder, const char* sign, int signCount)
{
    WCHAR path[MAX_PATH];
    if (JoinPackagePath(path, folder, TRQ_KIT_SIGN) && HoldsWhole(path, sign, signCount)) return true;
    for (int i = 0; i < kPackageFileCount; ++i) {
        if (PackagePath(kit, kPackageFiles[i].base, kPackageFiles[i].name, path) && InFolder(path, folder) &&
            HoldsKitBytes(kit, kPackageFiles[i], path, IsUtility(kPackageFiles[i]), true))
            return true;
    }
    return false;
}

// The folder's sign in place, whole, before its files go (they may be all
// that signs it). False when it cannot be.
__attribute__((noinline)) bool SignInPlace(Kit& kit, LPCWSTR folder, const char* sign, int signCount)
{
    WCHAR path[MAX_PATH];
    if (!JoinPackagePath(path, folder, TRQ_KIT_SIGN)) return false;
    if (HoldsWhole(path, sign, signCount)) return true;
    if (Exists(path)) {
        LogLeft(kit, kItemFile, path, "its bytes are not the kit's");
        return false;
    }
    const DWORD error = PutWhole(path, sign, signCount);
    if (error == ERROR_SUCCESS) return true;
    LogFailed(kit, "file", path, error);
    return false;
}

// Removes a folder the kit made, its own files gone already: its sign is
// set aside at the folder's temporary name (where it still signs it), the
// folder goes, then the sign. Whatever stops it, the folder is signed or
// gone. False when it stays.
__attribute__((noinline)) bool RemoveSignedFolder(Kit& kit, LPCWSTR folder, LPCWSTR aside, bool setAside)
{
    WCHAR path[MAX_PATH];
    if (!JoinPackagePath(path, folder, TRQ_KIT_SIGN)) return false;
    if (!setAside) {
        if (!RemoveTemp(kit, aside)) return false;
        const DWORD error = MoveTo(path, aside);
        if (error != ERROR_SUCCESS) {
            LogFailed(kit, "folder", folder, error);
            return false;
        }
    }
    if (RemoveDirectoryW(folder)) {
        LogItem(kit, "undone", kItemFolder, folder);
        DeleteFileW(aside);  // if it stays, it is the kit's by its name
        return true;
    }
    const DWORD error = GetLastError();
    MoveTo(aside, path);  // the folder stays, signed
    if (error == ERROR_DIR_NOT_EMPTY) LogLeft(kit, kItemFolder, folder, "it holds files the kit did not make");
    else LogFailed(kit, "folder", folder, error);
    return false;
}

// One folder of the layout: what the kit was making in it, the package's
// files in it that are the kit's, then, when the kit made it, the folder.
// False when something of the kit's stays.
__attribute__((noinline)) bool UndoFolder(Kit& kit, LPCWSTR folder)
{
    WCHAR aside[MAX_PATH], temp[MAX_PATH], signPath[MAX_PATH];
    char sign[kPlaceholderSize];
    const int signCount = SignBytes(folder, sign, kPlaceholderSize);
    if (signCount < 0 || !TempBeside(folder, aside) || !JoinPackagePath(signPath, folder, TRQ_KIT_SIGN)) return true;
    if (!Exists(folder)) return RemoveTemp(kit, aside);
    // The sign's own temporary name, where an undo was putting it back.
    bool removed = !TempBeside(signPath, temp) || RemoveTemp(kit, temp);
    const bool setAside = HoldsWhole(aside, sign, signCount);
    const bool signedHere = setAside || FolderSigned(kit, folder, sign, signCount);
    if (signedHere && !setAside && !SignInPlace(kit, folder, sign, signCount)) removed = false;
    for (int i = 0; i < kPackageFileCount; ++i) {
        const PackageFile& file = kPackageFiles[i];
        WCHAR path[MAX_PATH];
        if (!PackagePath(kit, file.base, file.name, path) || !InFolder(path, folder)) continue;
        if (TempBeside(path, temp)) removed = RemoveTemp(kit, temp) && removed;
        removed = RemoveKitFile(kit, file, path, IsUtility(file)) && removed;
    }
    if (!signedHere) {
        removed = RemoveTemp(kit, aside) && removed;
        if (JournalSaysMaking(kit.journal, kItemFolder, folder))
            LogLeft(kit, kItemFolder, folder, "it holds no sign of the kit's");
        return removed;
    }
    return removed && RemoveSignedFolder(kit, folder, aside, setAside);
}

// Every folder of the layout, deepest first, each once, with its files.
bool UndoFolders(Kit& kit)
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
            if (!seen) removed = UndoFolder(kit, folder) && removed;
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

// Every key of the layout, deepest first, all of one depth before those
// above them, each once, whether the log names it or not; the marker's
// levels aside (RemoveMarkerAndAbove).
bool RemoveKeys(Kit& kit)
{
    int deepest = 0;
    for (int source = 0; source < KeySourceCount(); ++source)
        if (KeyDepth(KeySourcePath(source)) > deepest) deepest = KeyDepth(KeySourcePath(source));
    bool removed = true;
    for (int depth = deepest; depth >= 1; --depth) {
        for (int source = KeySourceCount() - 1; source >= 1; --source) {
            if (depth > KeyDepth(KeySourcePath(source))) continue;
            bool seen = false;
            for (int other = KeySourceCount() - 1; other > source && !seen; --other) seen = SameKey(source, other, depth);
            if (!seen) seen = SameKey(source, 0, depth);
            if (!seen) removed = RemoveKey(kit, source, depth) && removed;
        }
    }
    return removed;
}

// The marker, last of all, then the keys above it the kit made.
bool RemoveMarkerAndAbove(Kit& kit)
{
    if (!RemoveMarker(kit)) return false;
    bool removed = true;
    for (int depth = KeyDepth(TRQ_KIT_MARKER) - 1; depth >= 1; --depth) removed = RemoveKey(kit, 0, depth) && removed;
    return removed;
}

// The scratch folder's files and what the kit was making there, and the
// folder when it is empty.
bool RemoveScratch(Kit& kit)
{
    bool removed = true;
    for (int i = 0; i < kScratchFileCount; ++i) {
        WCHAR path[MAX_PATH], temp[MAX_PATH];
        if (ScratchPath(kScratchFiles[i].name, path) && TempBeside(path, temp)) removed = RemoveTemp(kit, temp) && removed;
        if (ScratchPath(kScratchFiles[i].name, path) && Exists(path))
            removed = RemoveKitFile(kit, kScratchFiles[i], path, i == 0) && removed;
    }
    return Exists(TRQ_KIT_SCRATCH) ? RemoveKitFolder(kit, TRQ_KIT_SCRATCH) && removed : removed;
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

Undone Undo(Kit& kit)
{
    kit.left.length = kit.left.count = kit.left.shown = 0;
    kit.left.text[0] = 0;
    HKEY marker = OpenMarker(false);
    UseFoldersOfPrepare(kit, marker);
    CloseMarker(marker);
    WCHAR utility[MAX_PATH];
    if (PackagePath(kit, kHeldFiles[0].base, kHeldFiles[0].name, utility)) StopHolder(kit, utility);

    bool removed = UndoFolders(kit);
    removed = RemoveScratch(kit) && removed;
    removed = RemoveKeys(kit) && removed;
    // The marker stays while anything of the kit's does: the next start
    // then offers to undo again.
    if (removed) removed = RemoveMarkerAndAbove(kit);
    Flush(HKEY_LOCAL_MACHINE);
    Flush(HKEY_CURRENT_USER);
    LogWrite(kit);
    if (!removed) return kUndonePart;
    LogClean(kit);
    return kit.left.count ? kUndoneLeft : kUndoneAll;
}
