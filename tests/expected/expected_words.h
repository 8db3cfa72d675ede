// What the uninstaller must show and do, written down as literal data from
// the package's own account of it: the caption and the six boxes, the file
// plan, the registry plan and the values each platform call passes.
//
// The device code (flow/, removal/) holds the same texts and tables. They
// are written here a second time on purpose, and nothing here is taken from
// there: a test that compares the device with its own constants can only
// repeat a slip, while two independent transcriptions that must agree catch
// a slip in either.
#ifndef TRQ_TESTS_EXPECTED_EXPECTED_WORDS_H
#define TRQ_TESTS_EXPECTED_EXPECTED_WORDS_H

#include <cstdint>

namespace expected {

inline constexpr const char16_t* kCaption = u"TRQ Uninstall";

// The six boxes, in the order of kBoxes.
enum class Box { LookupFailure, NotRemoved, Confirmation, SettingsQuestion, Success, ResetOffer };

struct BoxWords {
    Box box;
    const char* name;
    const char16_t* text;  // character for character, the package's typos included
    std::uint32_t flags;   // MB_SETFOREGROUND + icon + buttons
};

inline constexpr BoxWords kBoxes[] = {
    {Box::LookupFailure, "Lookup failure",
     u"Unable to read the directory where the application is installed.", 0x10010},
    {Box::NotRemoved, "Not removed",
     u"The application has not been completely removed from your PDA.", 0x10010},
    {Box::Confirmation, "Confirmation",
     u"This application will completely remove the Vantrelle Pocket PC Edition from you PDA. "
     u"Would you like to continue?",
     0x10023},
    {Box::SettingsQuestion, "Settings question",
     u"Do you want to remove all the TRQ registry entires (application settings, etc.?)", 0x10024},
    {Box::Success, "Success", u"The application has been successfully removed from your PDA.",
     0x10040},
    {Box::ResetOffer, "Reset offer",
     u"Some of the files could not be deleted because they are being used by other processes. "
     u"Please perform a soft reset of your PDA and launch this application again. "
     u"Would you like to soft-reset the device now?",
     0x10033},
};

inline constexpr const BoxWords& Words(Box box) { return kBoxes[static_cast<int>(box)]; }

// The file plan. A row's path is its base followed by its suffix as
// written: no separator is added or removed.
enum class Base { Fixed, InstallDir, Startup, Programs, Temp };
enum class Kind {
    Gate,       // the Startup shortcut: held open, the next row is left alone
    Counted,    // a program file: held open, it counts
    Plain,      // deleted if it can be, nothing more
    Directory,  // the install directory itself, last
};

struct FileWords {
    Base base;
    const char16_t* suffix;
    Kind kind;
};

inline constexpr FileWords kFileRows[] = {
    {Base::Startup, u"\\TRQUtil.lnk", Kind::Gate},
    {Base::Fixed, u"\\Windows\\TRQUtil.exe", Kind::Counted},
    {Base::Fixed, u"\\Windows\\TRQRemindSvc.dll", Kind::Counted},
    {Base::Fixed, u"\\Windows\\TRQNewMenu.dll", Kind::Counted},
    {Base::InstallDir, u"\\DevTRQSync.dll", Kind::Counted},
    {Base::InstallDir, u"\\TRQNewMenu.dll", Kind::Counted},
    {Base::InstallDir, u"\\Setup.dll", Kind::Counted},
    {Base::InstallDir, u"\\TRQ.exe", Kind::Counted},
    {Base::InstallDir, u"\\TRQJotlet.exe", Kind::Counted},
    {Base::InstallDir, u"\\Services.loc", Kind::Counted},
    {Base::InstallDir, u"\\TRQ.exe.log", Kind::Plain},
    {Base::InstallDir, u"\\DevTRQSync.dll.log", Kind::Plain},
    {Base::InstallDir, u"\\TRQNewMenu.dll.log", Kind::Plain},
    {Base::Temp, u"TRQUtil.log", Kind::Plain},
    {Base::Temp, u"TRQRemindSvc.dll.log", Kind::Plain},
    {Base::Temp, u"\\TRQSetup.log", Kind::Plain},
    {Base::Fixed, u"\\Windows\\TRQRemindSvc.dll.log", Kind::Plain},
    {Base::Fixed, u"\\Windows\\TRQNewMenu.dll.log", Kind::Plain},
    {Base::Fixed, u"\\Windows\\Vantrelle PocketPC Edition.unload", Kind::Plain},
    {Base::Fixed, u"\\Windows\\AppMgr\\Vantrelle PocketPC Edition.DLL", Kind::Plain},
    {Base::Programs, u"\\TRQ.lnk", Kind::Plain},
    {Base::Programs, u"\\TRQ Jotlet.lnk", Kind::Plain},
    {Base::InstallDir, u"", Kind::Directory},
};

// The registry plan, deepest keys first within each group.
enum class Root : std::uint32_t {
    ClassesRoot = 0x80000000,
    CurrentUser = 0x80000001,
    LocalMachine = 0x80000002,
};
enum class When { Always, RemoveSettings, RemoveInstallRecord };

struct KeyWords {
    Root root;
    const char16_t* path;
    When when;
};

inline constexpr KeyWords kKeyRows[] = {
    {Root::ClassesRoot, u"trpfile\\shell\\open\\command", When::Always},
    {Root::ClassesRoot, u"trpfile\\shell\\open", When::Always},
    {Root::ClassesRoot, u"trpfile\\shell", When::Always},
    {Root::ClassesRoot, u"trpfile\\DefaultIcon", When::Always},
    {Root::ClassesRoot, u"trpfile", When::Always},
    {Root::ClassesRoot, u".trp", When::Always},
    {Root::LocalMachine, u"Services\\TRQRem", When::Always},
    {Root::CurrentUser, u"Software\\TRQ\\TRQRemindSvc", When::RemoveSettings},
    {Root::LocalMachine,
     u"Software\\Microsoft\\Shell\\Extensions\\NewMenu\\{5A0C3E71-9B4D-4E28-A6F1-07D3C8B2E95F}",
     When::Always},
    {Root::ClassesRoot, u"TRQNewMenu.Jotlet\\CLSID", When::Always},
    {Root::ClassesRoot, u"TRQNewMenu.Jotlet\\CurVer", When::Always},
    {Root::ClassesRoot, u"TRQNewMenu.Jotlet", When::Always},
    {Root::ClassesRoot, u"TRQNewMenu.Jotlet.1\\CLSID", When::Always},
    {Root::ClassesRoot, u"TRQNewMenu.Jotlet.1\\CurVer", When::Always},
    {Root::ClassesRoot, u"TRQNewMenu.Jotlet.1", When::Always},
    {Root::CurrentUser, u"Software\\TRQ\\TRQNewMenu", When::RemoveSettings},
    {Root::CurrentUser, u"Software\\TRQ\\Sync\\Mappings\\1", When::Always},
    {Root::CurrentUser, u"Software\\TRQ\\Sync\\Mappings\\2", When::Always},
    {Root::CurrentUser, u"Software\\TRQ\\Sync\\Mappings", When::Always},
    {Root::CurrentUser, u"Software\\TRQ\\Sync", When::Always},
    {Root::LocalMachine, u"Windows CE Services\\Synchronization\\Objects\\TRQSync", When::Always},
    {Root::CurrentUser, u"Software\\TRQ\\TRQ\\MainForm", When::RemoveSettings},
    {Root::CurrentUser, u"Software\\TRQ\\TRQ\\Appearance", When::RemoveSettings},
    {Root::CurrentUser, u"Software\\TRQ\\TRQ", When::RemoveSettings},
    {Root::LocalMachine, u"SOFTWARE\\Apps\\Vantrelle PocketPC Edition", When::RemoveInstallRecord},
    {Root::LocalMachine, u"Security\\AppInstall\\Vantrelle PocketPC Edition",
     When::RemoveInstallRecord},
};

// The install record the directory is read from, and its two values.
inline constexpr Root kInstallRecordRoot = Root::LocalMachine;
inline constexpr const char16_t* kInstallRecord = u"SOFTWARE\\Apps\\Vantrelle PocketPC Edition";
inline constexpr const char16_t* kInstallDirValues[] = {u"InstallDir", u"InstDir"};

// The calls a device can see fail, so --fail and the fault sweep may fail
// them: every device call but GetProcessHeap, in the order they are listed.
inline constexpr const char* kFaultableCalls[] = {
    "RegOpenKeyExW", "RegQueryValueExW",  "RegCloseKey",  "RegDeleteKeyW",         "SetFileAttributesW",
    "DeleteFileW",   "RemoveDirectoryW",  "GetTempPathW", "SHGetSpecialFolderPath", "GetLastError",
    "SetLastError",  "GetForegroundWindow", "MessageBoxW", "HeapAlloc",             "HeapFree",
    "KernelIoControl",
};

// The calls the trace build (TRQUninstallTrace.exe) adds to the uninstaller's
// to write its trace: the file's, and the device's facts for its first record.
inline constexpr const char* kTraceBuildCalls[] = {
    "CreateFileW", "WriteFile", "SetFilePointer", "FlushFileBuffers", "CloseHandle", "GetVersionExW",
    "SystemParametersInfoW",
};

// What the platform calls pass.
inline constexpr std::uint32_t kKeyRead = 0x20019;              // RegOpenKeyExW's access
inline constexpr std::uint32_t kFileAttributeNormal = 0x80;     // SetFileAttributesW
inline constexpr std::uint32_t kErrorSharingViolation = 32;     // a file held open, on FAT
inline constexpr std::uint32_t kErrorAccessDenied = 5;          // a file held open, in the object store
inline constexpr int kCsidlStartup = 7;                         // SHGetSpecialFolderPath
inline constexpr int kCsidlPrograms = 2;
inline constexpr int kIdYes = 6;                                // the one result tested
inline constexpr std::uint32_t kPathChars = 260;                // every path buffer
inline constexpr std::uint32_t kPathBytes = 520;                // the same in bytes
struct ResetWords {
    std::uint32_t code;  // KernelIoControl's IOCTL_HAL_REBOOT
    std::uint32_t inSize, outSize;
    bool inNull, outNull, returnedNull;
};
inline constexpr ResetWords kReset = {0x0101003C, 0, 0, true, true, true};

}  // namespace expected

#endif
