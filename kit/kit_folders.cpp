#include "kit/kit_work.h"

#include "device/device_text.h"

using device_text::FoldCase;

// The package's files a started device holds, and how the holder holds
// each: its own image, started as the utility, stands for the utility the
// Startup shortcut starts; the libraries the device's services load are
// held open without sharing, as a loaded library is.
const HeldFile kHeldFiles[kHeldFileCount] = {
    {kPackageWindows, TEXT("TRQUtil.exe"), TRQ_KIT_RUNNING_PROGRAM},
    {kPackageWindows, TEXT("TRQRemindSvc.dll"), TRQ_KIT_OPEN_WITHOUT_SHARING},  // the service host's
    {kPackageWindows, TEXT("TRQNewMenu.dll"), TRQ_KIT_OPEN_WITHOUT_SHARING},    // the shell's
    {kPackageInstallDir, TEXT("DevTRQSync.dll"), TRQ_KIT_OPEN_WITHOUT_SHARING},  // synchronisation's
};

// The kit's own files for probing where the package is really installed:
// a copy of the kit that holds the other open.
const PackageFile kScratchFiles[kScratchFileCount] = {
    {kPackageWindows, TEXT("TRQUtil.exe"), kPackageText, TEXT("")},
    {kPackageWindows, TEXT("Held.dll"), kPackageText, TEXT("TRQ Uninstall Kit scratch file\r\n")},
};

namespace {

// The folders in the order the log names them.
const PackageBase kLoggedFolders[] = {kPackageStartup, kPackagePrograms, kPackageTemp, kPackageInstallDir,
                                      kPackageWindows};

bool Copy(LPWSTR buffer, LPCWSTR text)
{
    int length = 0;
    const bool fits = device_text::AppendText(buffer, MAX_PATH, &length, text);
    buffer[fits ? length : 0] = 0;
    return fits;
}

bool SpecialFolder(int csidl, LPWSTR folder)
{
    folder[0] = 0;
    return SHGetSpecialFolderPath(0, folder, csidl, FALSE) != 0 && folder[0];
}

}  // namespace

bool ReadSelf(Kit& kit)
{
    const DWORD length = GetModuleFileNameW(0, kit.self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        kit.self[0] = 0;
        return false;
    }
    kit.self[length] = 0;
    return true;
}

void ReadFolders(Kit& kit)
{
    // The install directory a fresh install makes: TRQ in the device's own
    // Program Files folder (localised on some devices), or where an English
    // device has it when the device does not say.
    WCHAR programFiles[MAX_PATH];
    kit.known[kPackageInstallDir] =
        SpecialFolder(CSIDL_PROGRAM_FILES, programFiles)
            ? JoinPackagePath(kit.folder[kPackageInstallDir], programFiles, TRQ_INSTALL_DIR_NAME)
            : Copy(kit.folder[kPackageInstallDir], TRQ_DEFAULT_INSTALL_DIR);
    kit.known[kPackageWindows] = Copy(kit.folder[kPackageWindows], TEXT("\\Windows"));
    kit.known[kPackageStartup] = SpecialFolder(CSIDL_STARTUP, kit.folder[kPackageStartup]);
    kit.known[kPackagePrograms] = SpecialFolder(CSIDL_PROGRAMS, kit.folder[kPackagePrograms]);
    const DWORD length = GetTempPathW(MAX_PATH, kit.folder[kPackageTemp]);
    kit.known[kPackageTemp] = length != 0 && length < MAX_PATH;
    if (!kit.known[kPackageTemp]) kit.folder[kPackageTemp][0] = 0;
}

void LogFolders(Kit& kit)
{
    for (PackageBase base : kLoggedFolders) LogFolder(kit, FolderName(base), kit.known[base] ? kit.folder[base] : 0);
}

const char* FolderName(int base)
{
    return base == kPackageStartup      ? "Startup"
           : base == kPackagePrograms   ? "Programs"
           : base == kPackageTemp       ? "Temp"
           : base == kPackageInstallDir ? "InstallDir"
                                        : "Windows";
}

bool SameText(LPCWSTR a, LPCWSTR b)
{
    while (*a && FoldCase(*a) == FoldCase(*b)) {
        ++a;
        ++b;
    }
    return FoldCase(*a) == FoldCase(*b);
}

bool PackagePath(const Kit& kit, PackageBase base, LPCWSTR name, LPWSTR path)
{
    if (!kit.known[base]) {
        path[0] = 0;
        return false;
    }
    return JoinPackagePath(path, kit.folder[base], name);
}

bool ScratchPath(LPCWSTR name, LPWSTR path)
{
    return JoinPackagePath(path, TRQ_KIT_SCRATCH, name);
}

bool IsUtility(const PackageFile& file)
{
    return file.base == kHeldFiles[0].base && SameText(file.name, kHeldFiles[0].name);
}

const PackageFile* FindPackageFile(PackageBase base, LPCWSTR name)
{
    for (int i = 0; i < kPackageFileCount; ++i)
        if (kPackageFiles[i].base == base && SameText(kPackageFiles[i].name, name)) return &kPackageFiles[i];
    return 0;
}

bool SamePath(LPCWSTR path, LPCWSTR want)
{
    if (path[0] && path[1] == TEXT(':')) path += 2;
    return SameText(path, want);
}

namespace {

// The kit's mark, the last line of each placeholder: a line no file of the
// package ends with, so that none of them, whatever the device, is taken
// for the kit's. A shortcut is read up to its first line's end.
const char kPlaceholderMark[] = "TRQ Uninstall Kit placeholder\r\n";
const char kMadeFolderMark[] = "TRQ Uninstall Kit placeholder, in a folder the kit made\r\n";

}  // namespace

int SignBytes(LPCWSTR folder, char* bytes, int size)
{
    static const char kSign[] = "TRQ Uninstall Kit made this folder, and its undo removes it: ";
    int count = 0;
    for (; kSign[count]; ++count) {
        if (count == size) return -1;
        bytes[count] = kSign[count];
    }
    // The folder's path as UTF-8, as the package writes a text.
    const PackageFile path = {kPackageInstallDir, TRQ_KIT_SIGN, kPackageText, folder};
    const int more = PackageFileBytes(path, TEXT(""), bytes + count, size - count);
    if (more < 0 || count + more + 2 > size) return -1;
    count += more;
    bytes[count++] = '\r';
    bytes[count++] = '\n';
    return count;
}

int PlaceholderBytes(const Kit& kit, const PackageFile& file, char* bytes, int size, bool inMadeFolder)
{
    int count = PackageFileBytes(file, kit.folder[kPackageInstallDir], bytes, size);
    const char* mark = inMadeFolder ? kMadeFolderMark : kPlaceholderMark;
    for (int i = 0; count >= 0 && mark[i]; ++i) {
        if (count == size) return -1;
        bytes[count++] = mark[i];
    }
    return count;
}
