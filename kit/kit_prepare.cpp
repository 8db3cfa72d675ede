// Preparing the device as a fresh install of the package leaves it, and
// the probes: on the package's held files, or where the package is there,
// on scratch files of the kit's own. Each run first works out everything
// it will make (what is not there yet), writes it to the log as "making"
// and only then makes it, so that whatever stops it, a later start knows
// what is its own.
#include "kit/kit_work.h"

namespace {

enum PlanKind { kPlanFolder, kPlanFile, kPlanKey };

// One thing to make: a folder above a package file (its index, the
// folder's depth), a package file, or a key (its source, its depth).
struct PlanItem {
    unsigned char kind;
    unsigned char source;
    unsigned char depth;
    unsigned char made;          // this run made it
    unsigned char inMadeFolder;  // a file, in a folder this run made
};
// More than a fresh install has, many times over.
const int kPlanSize = 255;
struct Plan {
    int count;
    bool full;
    PlanItem items[kPlanSize];
};

ItemKind KindOf(const PlanItem& item)
{
    return item.kind == kPlanFolder ? kItemFolder : item.kind == kPlanFile ? kItemFile : kItemKey;
}

// The item's name as the log and the marker give it.
bool ItemName(const Kit& kit, const PlanItem& item, LPWSTR name)
{
    if (item.kind == kPlanKey) {
        WCHAR path[MAX_PATH];
        return KeyAt(KeySourcePath(item.source), item.depth, path) && KeyName(name, KeySourceRoot(item.source), path);
    }
    const PackageFile& file = kPackageFiles[item.source];
    if (!PackagePath(kit, file.base, file.name, name)) return false;
    if (item.kind == kPlanFile) return true;
    WCHAR path[MAX_PATH];
    for (int i = 0; i < MAX_PATH && (i == 0 || name[i - 1]); ++i) path[i] = name[i];
    return FolderAbove(path, item.depth, name);
}

bool Planned(const Kit& kit, const Plan& plan, PlanKind kind, LPCWSTR name)
{
    for (int i = 0; i < plan.count; ++i) {
        WCHAR other[MAX_PATH];
        if (plan.items[i].kind == kind && ItemName(kit, plan.items[i], other) && SameText(other, name)) return true;
    }
    return false;
}

void Add(Plan& plan, PlanKind kind, int source, int depth)
{
    if (plan.count == kPlanSize) {
        plan.full = true;
        return;
    }
    PlanItem& item = plan.items[plan.count++];
    item.kind = static_cast<unsigned char>(kind);
    item.source = static_cast<unsigned char>(source);
    item.depth = static_cast<unsigned char>(depth);
    item.made = 0;
    item.inMadeFolder = 0;
}

// The levels of a source's key that are not there: once one is missing,
// every one below it is.
void PlanKey(const Kit& kit, Plan& plan, int source)
{
    bool missing = false;
    for (int depth = 1; depth <= KeyDepth(KeySourcePath(source)); ++depth) {
        PlanItem item = {kPlanKey, static_cast<unsigned char>(source), static_cast<unsigned char>(depth), 0, 0};
        WCHAR name[MAX_PATH], path[MAX_PATH];
        if (!ItemName(kit, item, name) || !KeyAt(KeySourcePath(source), depth, path)) return;
        if (Planned(kit, plan, kPlanKey, name)) {
            missing = true;
            continue;
        }
        if (!missing && KeyThere(KeySourceRoot(source), path)) continue;
        missing = true;
        Add(plan, kPlanKey, source, depth);
    }
}

// The folders above a package file that are not there, and the file.
void PlanFile(const Kit& kit, Plan& plan, int index)
{
    const PackageFile& file = kPackageFiles[index];
    WCHAR path[MAX_PATH];
    if (!PackagePath(kit, file.base, file.name, path)) return;  // the folder's line in the log says why
    bool missing = false;
    for (int depth = 1; depth <= FoldersAbove(path); ++depth) {
        WCHAR folder[MAX_PATH];
        FolderAbove(path, depth, folder);
        if (Planned(kit, plan, kPlanFolder, folder)) {
            missing = true;
            continue;
        }
        if (!missing && Exists(folder)) continue;
        missing = true;
        Add(plan, kPlanFolder, index, depth);
    }
    Add(plan, kPlanFile, index, 0);
}

// The marker's own levels first, then the folders and files, then the
// package's keys with the install record last: until it is there, the
// uninstaller finds no package to remove.
void MakePlan(const Kit& kit, Plan& plan)
{
    plan.count = 0;
    plan.full = false;
    PlanKey(kit, plan, 0);
    for (int i = 0; i < kPackageFileCount; ++i) PlanFile(kit, plan, i);
    for (int source = 1; source < KeySourceCount(); ++source) PlanKey(kit, plan, source);
}

// Says what the run is about to make; false when the log cannot say it
// (nothing is then made).
bool Announce(Kit& kit, const Plan& plan)
{
    for (int i = 0; i < plan.count; ++i) {
        WCHAR name[MAX_PATH];
        if (ItemName(kit, plan.items[i], name)) LogItem(kit, "making", KindOf(plan.items[i]), name);
    }
    return !plan.full && LogWrite(kit);
}

// The folder a file lies in, as a path of its own.
bool ParentOf(LPCWSTR path, LPWSTR folder) { return FolderAbove(path, FoldersAbove(path), folder); }

// Whether this run made the folder.
bool MadeFolder(const Kit& kit, const Plan& plan, LPCWSTR folder)
{
    for (int i = 0; i < plan.count; ++i) {
        WCHAR name[MAX_PATH];
        if (plan.items[i].kind == kPlanFolder && plan.items[i].made && ItemName(kit, plan.items[i], name) &&
            SameText(name, folder))
            return true;
    }
    return false;
}

// One folder or file. False when it failed.
bool MakeFileItem(Kit& kit, const Plan& plan, PlanItem& item)
{
    WCHAR path[MAX_PATH];
    if (!ItemName(kit, item, path)) return false;
    const PackageFile& file = kPackageFiles[item.source];
    DWORD error = ERROR_SUCCESS;
    if (item.kind == kPlanFolder) {
        error = PutSignedFolder(path);
    } else if (IsUtility(file)) {
        // A copy of the kit, so that nothing the kit puts down runs anything
        // but the kit.
        error = CopyWhole(kit.self, path);
    } else {
        WCHAR folder[MAX_PATH];
        item.inMadeFolder = ParentOf(path, folder) && MadeFolder(kit, plan, folder);
        char bytes[kPlaceholderSize];
        const int count = PlaceholderBytes(kit, file, bytes, kPlaceholderSize, item.inMadeFolder != 0);
        error = count < 0 ? ERROR_INSUFFICIENT_BUFFER : PutWhole(path, bytes, count);
    }
    if (error == ERROR_SUCCESS) {
        LogItem(kit, "made", KindOf(item), path);
        item.made = 1;
        return true;
    }
    // There already, whoever made it since the kit looked: not the kit's.
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
        LogItem(kit, "exists", KindOf(item), path);
        return true;
    }
    LogFailed(kit, item.kind == kPlanFolder ? "folder" : "file", path, error);
    return false;
}

// The install directory, when the run made it and its placeholders now
// sign it, loses its sign file: the uninstaller removes the folder once its
// own files are gone, and so it shall on the kit's. The other folders the
// kit makes keep theirs, which the uninstaller never sees.
void RemoveSpareSigns(const Kit& kit, const Plan& plan)
{
    for (int i = 0; i < plan.count; ++i) {
        const PlanItem& folder = plan.items[i];
        WCHAR name[MAX_PATH], sign[MAX_PATH];
        if (folder.kind != kPlanFolder || !folder.made || !ItemName(kit, folder, name) ||
            !SameText(name, kit.folder[kPackageInstallDir]))
            continue;
        bool signedHere = false;
        for (int j = 0; j < plan.count && !signedHere; ++j) {
            WCHAR path[MAX_PATH], parent[MAX_PATH];
            signedHere = plan.items[j].kind == kPlanFile && plan.items[j].inMadeFolder &&
                         ItemName(kit, plan.items[j], path) && ParentOf(path, parent) && SameText(parent, name);
        }
        if (signedHere && JoinPackagePath(sign, name, TRQ_KIT_SIGN)) DeleteFileW(sign);
    }
}

// The marker, made (with HKEY_LOCAL_MACHINE\Software where the device has
// none), keeping the folders prepare read; 0 when it cannot be made.
HKEY MakeMarker(Kit& kit, const Plan& plan)
{
    bool made = true;
    for (int i = 0; i < plan.count && made; ++i)
        if (plan.items[i].kind == kPlanKey && IsMarkerSource(plan.items[i].source))
            made = MakeKey(kit, plan.items[i].source, plan.items[i].depth) == kMade;
    HKEY marker = made ? OpenMarker(false) : 0;
    if (!marker) return 0;
    KeepFolders(kit, marker);
    Flush(marker);
    return marker;
}

const PlanItem* FileItem(const Plan& plan, const PackageFile* file)
{
    for (int i = 0; file && i < plan.count; ++i)
        if (plan.items[i].kind == kPlanFile && &kPackageFiles[plan.items[i].source] == file) return &plan.items[i];
    return 0;
}

// The utility started, holding the package's files as a started device
// does; then what deleting each answers, for each file this run made.
bool HoldAndProbe(Kit& kit, const Plan& plan)
{
    WCHAR utility[MAX_PATH];
    const PlanItem* made = FileItem(plan, FindPackageFile(kHeldFiles[0].base, kHeldFiles[0].name));
    if (!made || !made->made || !PackagePath(kit, kHeldFiles[0].base, kHeldFiles[0].name, utility) ||
        !HoldsSelf(kit, utility) || !StartHolder(kit, utility))
        return false;
    for (int i = 0; i < kHeldFileCount; ++i) {
        const HeldFile& held = kHeldFiles[i];
        const PackageFile* file = FindPackageFile(held.base, held.name);
        const PlanItem* item = FileItem(plan, file);
        WCHAR path[MAX_PATH];
        if (item && item->made && PackagePath(kit, held.base, held.name, path))
            Probe(kit, path, held.how, i == 0 ? 0 : file, item->inMadeFolder != 0);
    }
    LogWrite(kit);
    return true;
}

}  // namespace

// The keys the plan makes (the marker's own aside), noted in the marker
// as being made (NoteMaking), or no longer (ForgetMaking); flushed.
void NoteKeysMaking(const Kit& kit, const Plan& plan, HKEY marker, bool making)
{
    for (int i = 0; i < plan.count; ++i) {
        WCHAR name[MAX_PATH];
        if (plan.items[i].kind != kPlanKey || IsMarkerSource(plan.items[i].source) ||
            !ItemName(kit, plan.items[i], name))
            continue;
        if (making) NoteMaking(marker, name);
        else ForgetMaking(marker, name);
    }
    Flush(marker);
}

bool PackageThere(const Kit& kit)
{
    for (int i = 0; i < kPackageFileCount; ++i) {
        WCHAR path[MAX_PATH];
        if (PackagePath(kit, kPackageFiles[i].base, kPackageFiles[i].name, path) && Exists(path)) return true;
    }
    for (int source = 1; source < KeySourceCount(); ++source)
        if (KeyThere(KeySourceRoot(source), KeySourcePath(source))) return true;
    return false;
}

Prepared Prepare(Kit& kit)
{
    LogFolders(kit);
    Plan plan;
    MakePlan(kit, plan);
    if (!Announce(kit, plan)) return kPreparedNothing;
    HKEY marker = MakeMarker(kit, plan);
    if (!marker) {
        // Nothing else is made: what was made of the marker's way goes
        // again, and with it the round.
        bool removed = true;
        for (int i = plan.count - 1; i >= 0; --i)
            if (plan.items[i].kind == kPlanKey && IsMarkerSource(plan.items[i].source))
                removed = RemoveKey(kit, plan.items[i].source, plan.items[i].depth) && removed;
        Flush(HKEY_LOCAL_MACHINE);
        if (removed) LogClean(kit);
        LogWrite(kit);
        return kPreparedNothing;
    }

    // The keys it will make, in the marker first.
    NoteKeysMaking(kit, plan, marker, true);
    bool all = true;
    for (int i = 0; i < plan.count; ++i)
        if (plan.items[i].kind != kPlanKey) all = MakeFileItem(kit, plan, plan.items[i]) && all;
    RemoveSpareSigns(kit, plan);
    for (int i = 0; i < plan.count; ++i) {
        const PlanItem& item = plan.items[i];
        if (item.kind == kPlanKey && !IsMarkerSource(item.source))
            all = MakeKey(kit, item.source, item.depth) != kFailed && all;
    }
    Flush(HKEY_LOCAL_MACHINE);
    Flush(HKEY_CURRENT_USER);
    NoteKeysMaking(kit, plan, marker, false);
    CloseMarker(marker);
    LogWrite(kit);
    return HoldAndProbe(kit, plan) && all ? kPreparedAll : kPreparedPart;
}

bool ProbeOnScratch(Kit& kit)
{
    LogFolders(kit);
    WCHAR holder[MAX_PATH], file[MAX_PATH];
    char bytes[kPlaceholderSize];
    const int count = PlaceholderBytes(kit, kScratchFiles[1], bytes, kPlaceholderSize, false);
    if (!ScratchPath(kScratchFiles[0].name, holder) || !ScratchPath(kScratchFiles[1].name, file) || count < 0)
        return false;
    const bool folderMissing = !Exists(TRQ_KIT_SCRATCH);
    if (folderMissing) LogItem(kit, "making", kItemFolder, TRQ_KIT_SCRATCH);
    LogItem(kit, "making", kItemFile, holder);
    LogItem(kit, "making", kItemFile, file);
    if (!LogWrite(kit)) return false;

    bool all = true;
    if (folderMissing && !CreateDirectoryW(TRQ_KIT_SCRATCH, 0)) {
        LogFailed(kit, "folder", TRQ_KIT_SCRATCH, GetLastError());
        all = false;
    } else if (folderMissing) {
        LogItem(kit, "made", kItemFolder, TRQ_KIT_SCRATCH);
    }
    const DWORD copied = all ? CopyWhole(kit.self, holder) : ERROR_PATH_NOT_FOUND;
    if (all && copied != ERROR_SUCCESS) {
        LogFailed(kit, "file", holder, copied);
        all = false;
    } else if (all) {
        LogItem(kit, "made", kItemFile, holder);
    }
    const DWORD error = all ? PutWhole(file, bytes, count) : ERROR_PATH_NOT_FOUND;
    if (error != ERROR_SUCCESS) LogFailed(kit, "file", file, error);
    else LogItem(kit, "made", kItemFile, file);
    LogWrite(kit);
    all = all && error == ERROR_SUCCESS && StartHolder(kit, holder);
    if (all) {
        Probe(kit, holder, TRQ_KIT_RUNNING_PROGRAM, 0, false);
        Probe(kit, file, TRQ_KIT_OPEN_WITHOUT_SHARING, &kScratchFiles[1], false);
        LogWrite(kit);
    }
    StopHolder(kit, holder);
    // What this run made goes again, as an undo would take it.
    ReadJournal(kit);
    return Undo(kit) != kUndonePart && all;
}
