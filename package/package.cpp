#include "package/package.h"

#define TRQ_COUNT(array) static_cast<int>(sizeof(array) / sizeof((array)[0]))
#define TRQ_NEW_MENU_CLSID TEXT("{5A0C3E71-9B4D-4E28-A6F1-07D3C8B2E95F}")
#define TRQ_SYNC_STORE_CLSID TEXT("{8E4F2B91-3C6A-4D7E-B5A2-91F0C4D3E6B8}")

namespace {

constexpr PackageValue Sz(const WCHAR* name, const WCHAR* text) { return {name, REG_SZ, text, 0}; }
constexpr PackageValue Dword(const WCHAR* name, DWORD number) { return {name, REG_DWORD, TEXT(""), number}; }

// The package manager's record: where the package went, and its own files.
const PackageValue kInstallRecordValues[] = {
    Sz(TEXT("InstallDir"), TRQ_INSTALL_DIR_MARK),
    Sz(TEXT("InstDir"), TRQ_INSTALL_DIR_MARK),
    Dword(TEXT("Instl"), 1),
    Sz(TEXT("CmdFile"), TEXT("\\Windows\\AppMgr\\Vantrelle PocketPC Edition.DAT")),
};
const PackageValue kAppInstallValues[] = {Dword(TEXT("Role"), 0x100)};

// The .trp document type, opened by the main program.
const PackageValue kTrpValues[] = {Sz(TEXT(""), TEXT("trpfile"))};
const PackageValue kTrpFileValues[] = {Sz(TEXT(""), TEXT("TRQ Task List"))};
const PackageValue kTrpIconValues[] = {Sz(TEXT(""), TRQ_INSTALL_DIR_MARK TEXT("\\TRQ.exe,-101"))};
const PackageValue kTrpOpenValues[] = {
    Sz(TEXT(""), TEXT("\"") TRQ_INSTALL_DIR_MARK TEXT("\\TRQ.exe\" %1"))};

// The reminder service, which the service host loads at start-up.
const PackageValue kServiceValues[] = {
    Sz(TEXT("Dll"), TEXT("TRQRemindSvc.dll")), Sz(TEXT("Prefix"), TEXT("TRQ")),
    Dword(TEXT("Index"), 0),                   Dword(TEXT("Order"), 9),
    Dword(TEXT("Keep"), 1),                    Sz(TEXT("DisplayName"), TEXT("TRQ Reminders")),
};

// The shell's New-menu extension and the quick task-entry classes.
const PackageValue kNewMenuValues[] = {Sz(TEXT(""), TEXT("Task"))};
const PackageValue kNewMenuServerValues[] = {Sz(TEXT(""), TEXT("\\Windows\\TRQNewMenu.dll"))};
const PackageValue kJotletValues[] = {Sz(TEXT(""), TEXT("TRQ Jotlet"))};
const PackageValue kJotletClsidValues[] = {Sz(TEXT(""), TRQ_NEW_MENU_CLSID)};
const PackageValue kJotletCurVerValues[] = {Sz(TEXT(""), TEXT("TRQNewMenu.Jotlet.1"))};

// The synchronisation provider, its folder mappings, and the components'
// per-user settings.
const PackageValue kSyncObjectValues[] = {Sz(TEXT("Store"), TRQ_SYNC_STORE_CLSID),
                                          Sz(TEXT("Display Name"), TEXT("TRQ Tasks"))};
const PackageValue kSyncServerValues[] = {Sz(TEXT(""), TRQ_INSTALL_DIR_MARK TEXT("\\DevTRQSync.dll"))};
const PackageValue kMakerValues[] = {Sz(TEXT("Version"), TEXT("4.2"))};
const PackageValue kSyncValues[] = {Dword(TEXT("Enabled"), 1)};
const PackageValue kMapping1Values[] = {Sz(TEXT("Folder"), TEXT("Tasks"))};
const PackageValue kMapping2Values[] = {Sz(TEXT("Folder"), TEXT("Notes"))};
const PackageValue kRemindSettingsValues[] = {Dword(TEXT("LeadMinutes"), 15)};
const PackageValue kNewMenuSettingsValues[] = {Dword(TEXT("ShowInMenu"), 1)};
const PackageValue kMainSettingsValues[] = {Sz(TEXT("LastFile"), TEXT("\\My Documents\\Tasks.trp"))};
const PackageValue kMainFormValues[] = {Dword(TEXT("Left"), 0), Dword(TEXT("Top"), 26)};
const PackageValue kAppearanceValues[] = {Sz(TEXT("Theme"), TEXT("Classic"))};

}  // namespace

#define TRQ_KEY(root, path, values) {root, path, values, TRQ_COUNT(values)}

const PackageKey kPackageInstallRecord =
    TRQ_KEY(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\Apps\\Vantrelle PocketPC Edition"), kInstallRecordValues);

const PackageKey kPackageKeys[] = {
    TRQ_KEY(HKEY_LOCAL_MACHINE, TEXT("Security\\AppInstall\\Vantrelle PocketPC Edition"), kAppInstallValues),
    TRQ_KEY(HKEY_CLASSES_ROOT, TEXT(".trp"), kTrpValues),
    TRQ_KEY(HKEY_CLASSES_ROOT, TEXT("trpfile"), kTrpFileValues),
    TRQ_KEY(HKEY_CLASSES_ROOT, TEXT("trpfile\\DefaultIcon"), kTrpIconValues),
    TRQ_KEY(HKEY_CLASSES_ROOT, TEXT("trpfile\\shell\\open\\command"), kTrpOpenValues),
    TRQ_KEY(HKEY_LOCAL_MACHINE, TEXT("Services\\TRQRem"), kServiceValues),
    TRQ_KEY(HKEY_LOCAL_MACHINE, TEXT("Software\\Microsoft\\Shell\\Extensions\\NewMenu\\") TRQ_NEW_MENU_CLSID,
            kNewMenuValues),
    TRQ_KEY(HKEY_CLASSES_ROOT, TEXT("CLSID\\") TRQ_NEW_MENU_CLSID TEXT("\\InprocServer32"), kNewMenuServerValues),
    TRQ_KEY(HKEY_CLASSES_ROOT, TEXT("TRQNewMenu.Jotlet"), kJotletValues),
    TRQ_KEY(HKEY_CLASSES_ROOT, TEXT("TRQNewMenu.Jotlet\\CLSID"), kJotletClsidValues),
    TRQ_KEY(HKEY_CLASSES_ROOT, TEXT("TRQNewMenu.Jotlet\\CurVer"), kJotletCurVerValues),
    TRQ_KEY(HKEY_CLASSES_ROOT, TEXT("TRQNewMenu.Jotlet.1"), kJotletValues),
    TRQ_KEY(HKEY_CLASSES_ROOT, TEXT("TRQNewMenu.Jotlet.1\\CLSID"), kJotletClsidValues),
    TRQ_KEY(HKEY_CLASSES_ROOT, TEXT("TRQNewMenu.Jotlet.1\\CurVer"), kJotletCurVerValues),
    TRQ_KEY(HKEY_LOCAL_MACHINE, TEXT("Windows CE Services\\Synchronization\\Objects\\TRQSync"), kSyncObjectValues),
    TRQ_KEY(HKEY_CLASSES_ROOT, TEXT("CLSID\\") TRQ_SYNC_STORE_CLSID TEXT("\\InprocServer32"), kSyncServerValues),
    TRQ_KEY(HKEY_CURRENT_USER, TEXT("Software\\TRQ"), kMakerValues),
    TRQ_KEY(HKEY_CURRENT_USER, TEXT("Software\\TRQ\\Sync"), kSyncValues),
    TRQ_KEY(HKEY_CURRENT_USER, TEXT("Software\\TRQ\\Sync\\Mappings\\1"), kMapping1Values),
    TRQ_KEY(HKEY_CURRENT_USER, TEXT("Software\\TRQ\\Sync\\Mappings\\2"), kMapping2Values),
    TRQ_KEY(HKEY_CURRENT_USER, TEXT("Software\\TRQ\\TRQRemindSvc"), kRemindSettingsValues),
    TRQ_KEY(HKEY_CURRENT_USER, TEXT("Software\\TRQ\\TRQNewMenu"), kNewMenuSettingsValues),
    TRQ_KEY(HKEY_CURRENT_USER, TEXT("Software\\TRQ\\TRQ"), kMainSettingsValues),
    TRQ_KEY(HKEY_CURRENT_USER, TEXT("Software\\TRQ\\TRQ\\MainForm"), kMainFormValues),
    TRQ_KEY(HKEY_CURRENT_USER, TEXT("Software\\TRQ\\TRQ\\Appearance"), kAppearanceValues),
};

const int kPackageKeyCount = TRQ_COUNT(kPackageKeys);

const PackageFile kPackageFiles[] = {
    // The programs, libraries and logs in the install directory.
    {kPackageInstallDir, TEXT("TRQ.exe"), kPackageText, TEXT("TRQ main program\r\n")},
    {kPackageInstallDir, TEXT("TRQJotlet.exe"), kPackageText, TEXT("TRQ quick task entry\r\n")},
    {kPackageInstallDir, TEXT("DevTRQSync.dll"), kPackageText, TEXT("TRQ synchronisation provider\r\n")},
    {kPackageInstallDir, TEXT("TRQNewMenu.dll"), kPackageText, TEXT("TRQ New-menu extension (private copy)\r\n")},
    {kPackageInstallDir, TEXT("Setup.dll"), kPackageText, TEXT("TRQ setup library\r\n")},
    {kPackageInstallDir, TEXT("Services.loc"), kPackageText, TEXT("TRQRem=\\Windows\\TRQRemindSvc.dll\r\n")},
    {kPackageInstallDir, TEXT("TRQ.exe.log"), kPackageText, TEXT("started\r\n")},
    {kPackageInstallDir, TEXT("DevTRQSync.dll.log"), kPackageText, TEXT("synchronised 12 tasks\r\n")},
    {kPackageInstallDir, TEXT("TRQNewMenu.dll.log"), kPackageText, TEXT("menu item added\r\n")},
    // The utility, the service and the shell extension, their logs, and
    // the package manager's files for the package.
    {kPackageWindows, TEXT("TRQUtil.exe"), kPackageText, TEXT("TRQ utility\r\n")},
    {kPackageWindows, TEXT("TRQRemindSvc.dll"), kPackageText, TEXT("TRQ reminder service\r\n")},
    {kPackageWindows, TEXT("TRQNewMenu.dll"), kPackageText, TEXT("TRQ New-menu extension\r\n")},
    {kPackageWindows, TEXT("TRQRemindSvc.dll.log"), kPackageText, TEXT("service started\r\n")},
    {kPackageWindows, TEXT("TRQNewMenu.dll.log"), kPackageText, TEXT("extension loaded\r\n")},
    {kPackageWindows, TEXT("Vantrelle PocketPC Edition.unload"), kPackageText,
     TEXT("package manager uninstall script\r\n")},
    {kPackageWindows, TEXT("AppMgr\\Vantrelle PocketPC Edition.DLL"), kPackageText,
     TEXT("package manager setup library\r\n")},
    // The shortcut that starts the utility whenever the device starts, and
    // the Start menu's.
    {kPackageStartup, TEXT("TRQUtil.lnk"), kPackageShortcut, TEXT("\\Windows\\TRQUtil.exe")},
    {kPackagePrograms, TEXT("TRQ.lnk"), kPackageShortcut, TRQ_INSTALL_DIR_MARK TEXT("\\TRQ.exe")},
    {kPackagePrograms, TEXT("TRQ Jotlet.lnk"), kPackageShortcut, TRQ_INSTALL_DIR_MARK TEXT("\\TRQJotlet.exe")},
    // Logs in the temporary folder.
    {kPackageTemp, TEXT("TRQUtil.log"), kPackageText, TEXT("utility started\r\n")},
    {kPackageTemp, TEXT("TRQRemindSvc.dll.log"), kPackageText, TEXT("reminder due\r\n")},
    {kPackageTemp, TEXT("TRQSetup.log"), kPackageText, TEXT("setup complete\r\n")},
};

const int kPackageFileCount = TRQ_COUNT(kPackageFiles);
