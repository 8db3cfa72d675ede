// Preparing the device as a fresh install of the package leaves it, and
// the probes: on the package's held files, or where the package is really
// installed, on scratch files of the kit's own.
#include "kit/kit_work.h"

namespace {

// Room for any placeholder: a text of MAX_PATH characters as UTF-8, or a
// shortcut to such a target.
const int kBytesSize = 1024;

// One file of the package, and the folders above it.
bool LayFile(const Kit& kit, HKEY marker, const PackageFile& file)
{
    WCHAR path[MAX_PATH];
    // A folder the device did not name: the folder's line in the log says so.
    if (!PackagePath(kit, file.base, file.name, path) || !MakeParents(marker, path)) return false;
    // The utility is a copy of the kit, so that nothing the kit puts down
    // runs anything but the kit.
    if (IsUtility(file)) return CopySelf(kit, path);
    char bytes[kBytesSize];
    const int count = PlaceholderBytes(kit, file, bytes, kBytesSize);
    if (count < 0) {
        LogFailed("file", path, ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    return MakeFile(path, bytes, count);
}

// Starts the holder at program, if it is the kit's copy: false when the
// files are not held.
bool Hold(const Kit& kit, LPCWSTR program)
{
    return IsCopyOfSelf(kit, program) && StartHolder(program);
}

}  // namespace

Prepared Prepare(Kit& kit)
{
    LogFolders(kit);
    HKEY marker = OpenMarker(true);
    if (!marker) return kPreparedNothing;

    bool all = true;
    for (int i = 0; i < kPackageFileCount; ++i) all = LayFile(kit, marker, kPackageFiles[i]) && all;
    // The install record last: until it is there, the uninstaller finds no
    // package to remove.
    for (int i = 0; i < kPackageKeyCount; ++i) all = MakeKey(kit, marker, kPackageKeys[i]) && all;
    all = MakeKey(kit, marker, kPackageInstallRecord) && all;
    CloseMarker(marker);

    // The utility started, holding the package's files as a started device
    // does; then what deleting each answers.
    WCHAR utility[MAX_PATH];
    if (!PackagePath(kit, kHeldFiles[0].base, kHeldFiles[0].name, utility) || !Hold(kit, utility))
        return kPreparedPart;
    for (int i = 0; i < kHeldFileCount; ++i) {
        const HeldFile& held = kHeldFiles[i];
        WCHAR path[MAX_PATH];
        if (PackagePath(kit, held.base, held.name, path))
            Probe(kit, path, held.how, i == 0 ? 0 : FindPackageFile(held.base, held.name));
    }
    return all ? kPreparedAll : kPreparedPart;
}

bool ProbeOnScratch(Kit& kit)
{
    LogFolders(kit);
    if (!Exists(TRQ_KIT_SCRATCH)) {
        if (!CreateDirectoryW(TRQ_KIT_SCRATCH, 0)) {
            LogFailed("folder", TRQ_KIT_SCRATCH, GetLastError());
            return false;
        }
        LogItem("made", "folder", TRQ_KIT_SCRATCH);
    }
    WCHAR holder[MAX_PATH], file[MAX_PATH];
    char bytes[kBytesSize];
    const int count = PlaceholderBytes(kit, kScratchFiles[1], bytes, kBytesSize);
    bool all = ScratchPath(kScratchFiles[0].name, holder) && ScratchPath(kScratchFiles[1].name, file) &&
               CopySelf(kit, holder) && count >= 0 && MakeFile(file, bytes, count);
    all = all && Hold(kit, holder);
    if (all) {
        Probe(kit, holder, TRQ_KIT_RUNNING_PROGRAM, 0);
        Probe(kit, file, TRQ_KIT_OPEN_WITHOUT_SHARING, &kScratchFiles[1]);
    }
    StopHolder(holder);
    return RemoveScratch(kit) && all;
}
