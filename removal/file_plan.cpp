#include "removal/file_plan.h"

#include "device/device_text.h"

const FileRow kFilePlan[] = {
    // The utility is started from the Startup folder: its shortcut goes first,
    // and while the shortcut is held open the utility is not touched at all.
    {kStartupFolder, TEXT("\\TRQUtil.lnk"), kGate},
    {kFixedPath, TEXT("\\Windows\\TRQUtil.exe"), kCounted},
    // Libraries loaded by the service host and by the shell.
    {kFixedPath, TEXT("\\Windows\\TRQRemindSvc.dll"), kCounted},
    {kFixedPath, TEXT("\\Windows\\TRQNewMenu.dll"), kCounted},
    // Program files in the install directory.
    {kInstallDir, TEXT("\\DevTRQSync.dll"), kCounted},
    {kInstallDir, TEXT("\\TRQNewMenu.dll"), kCounted},
    {kInstallDir, TEXT("\\Setup.dll"), kCounted},
    {kInstallDir, TEXT("\\TRQ.exe"), kCounted},
    {kInstallDir, TEXT("\\TRQJotlet.exe"), kCounted},
    {kInstallDir, TEXT("\\Services.loc"), kCounted},
    // Logs.
    {kInstallDir, TEXT("\\TRQ.exe.log"), kPlain},
    {kInstallDir, TEXT("\\DevTRQSync.dll.log"), kPlain},
    {kInstallDir, TEXT("\\TRQNewMenu.dll.log"), kPlain},
    {kTempFolder, TEXT("TRQUtil.log"), kPlain},
    {kTempFolder, TEXT("TRQRemindSvc.dll.log"), kPlain},
    {kTempFolder, TEXT("\\TRQSetup.log"), kPlain},
    {kFixedPath, TEXT("\\Windows\\TRQRemindSvc.dll.log"), kPlain},
    {kFixedPath, TEXT("\\Windows\\TRQNewMenu.dll.log"), kPlain},
    // The package manager's own files for the package.
    {kFixedPath, TEXT("\\Windows\\Vantrelle PocketPC Edition.unload"), kPlain},
    {kFixedPath, TEXT("\\Windows\\AppMgr\\Vantrelle PocketPC Edition.DLL"), kPlain},
    // Start menu shortcuts.
    {kProgramsFolder, TEXT("\\TRQ.lnk"), kPlain},
    {kProgramsFolder, TEXT("\\TRQ Jotlet.lnk"), kPlain},
    // Last, the install directory, which goes only if nothing is left in it.
    {kInstallDir, TEXT(""), kDirectory},
};

const int kFilePlanRows = sizeof kFilePlan / sizeof kFilePlan[0];

bool ComposePath(LPWSTR buffer, LPCWSTR base, LPCWSTR suffix)
{
    int length = 0;
    bool fits = device_text::AppendText(buffer, MAX_PATH, &length, base) &&
                device_text::AppendText(buffer, MAX_PATH, &length, suffix);
    buffer[fits ? length : 0] = 0;
    return fits;
}

// With its attributes reset, a file that still cannot be deleted is held
// by another program: the FAT driver answers a sharing violation, the
// object store of a Pocket PC 2003 access denied (as desktop Windows does
// for a running program). Either way it is still on the device.
int DeleteCounted(LPCWSTR path)
{
    SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    if (DeleteFileW(path)) return 0;
    DWORD error = GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ? 1 : 0;
}

// Deletes the Startup shortcut. Returns false when another process holds it
// open, which means the utility it starts is running.
static bool DeleteGate(LPCWSTR path)
{
    SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    SetLastError(0);
    if (DeleteFileW(path)) return true;
    return GetLastError() != ERROR_SHARING_VIOLATION;
}

// Fills folder with the base of the rows that follow. False when the
// platform cannot say where that folder is; those rows are then skipped.
static bool FetchFolder(FileBase base, LPWSTR folder)
{
    switch (base) {
    case kStartupFolder:
        return SHGetSpecialFolderPath(GetForegroundWindow(), folder, CSIDL_STARTUP, FALSE) != 0;
    case kProgramsFolder:
        return SHGetSpecialFolderPath(GetForegroundWindow(), folder, CSIDL_PROGRAMS, FALSE) != 0;
    case kTempFolder: {
        DWORD length = GetTempPathW(MAX_PATH, folder);
        return length != 0 && length < MAX_PATH;
    }
    default:
        return true;
    }
}

static LPWSTR AllocPathBuffer(HANDLE heap)
{
    return static_cast<LPWSTR>(HeapAlloc(heap, 0, MAX_PATH * sizeof(WCHAR)));
}

int RemoveProgramFiles(LPCWSTR installDir)
{
    HANDLE heap = GetProcessHeap();
    LPWSTR folder = AllocPathBuffer(heap);
    LPWSTR path = folder ? AllocPathBuffer(heap) : 0;
    if (!path) {
        if (folder) HeapFree(heap, 0, folder);
        return kFileRemovalNotRun;
    }

    int count = 0;
    FileBase fetched = kFixedPath;  // which folder the folder buffer holds
    bool folderKnown = false;
    bool skipNext = false;
    for (int row = 0; kFilePlan[row].action != kDirectory; ++row) {
        const FileRow& r = kFilePlan[row];
        if (skipNext) {
            skipNext = false;
            continue;
        }
        LPCWSTR base = TEXT("");
        if (r.base == kInstallDir) {
            base = installDir;
        } else if (r.base != kFixedPath) {
            if (r.base != fetched) {
                fetched = r.base;
                folderKnown = FetchFolder(r.base, folder);
            }
            if (!folderKnown) {
                // Without the Startup folder the shortcut cannot be checked,
                // so the utility it starts is left alone too.
                skipNext = r.action == kGate;
                continue;
            }
            base = folder;
        }
        if (!ComposePath(path, base, r.suffix)) continue;
        switch (r.action) {
        case kGate:
            skipNext = !DeleteGate(path);
            break;
        case kCounted:
            count += DeleteCounted(path);
            break;
        default:
            DeleteFileW(path);
            break;
        }
    }

    HeapFree(heap, 0, path);
    HeapFree(heap, 0, folder);
    RemoveDirectoryW(installDir);
    return count;
}
