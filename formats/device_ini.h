// device.ini of a device image: where the device's special folders are and
// which files are held open, by programs the user started and by the device
// itself.
//
//   [Folders]
//   Startup=\Windows\StartUp
//   Programs=\Windows\Start Menu\Programs
//   Temp=\Temp\          (the temporary folder keeps its trailing separator)
//   [HeldOpen]
//   File=\Program Files\TRQ\TRQ.exe
//   [HeldByDevice]       (rewritten each time the device starts)
//   Startup=\Windows\TRQUtil.exe
//   Service=\Windows\TRQRemindSvc.dll
//   NewMenu=\Windows\TRQNewMenu.dll
//   Sync=\Program Files\TRQ\DevTRQSync.dll
//   [Running]            (programs that programs started and that still run)
//   Program=\Windows\TRQUtil.exe
//   File=\Program Files\TRQ\TRQ.exe
//   ManualEvent=TRQ Uninstall Kit stop
//   [Device]             (what the device says of itself; defaults below)
//   MajorVersion=5
//   MinorVersion=1
//   BuildNumber=1700
//   PlatformId=3
//   ServicePack=
//   PlatformType=PocketPC
//   OemInfo=QX-500 Pocket PC
//   Registry=Hive
//   FileSystem=FAT
#ifndef TRQ_FORMATS_DEVICE_INI_H
#define TRQ_FORMATS_DEVICE_INI_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace formats {

// Why the device itself holds a file open: the start-up rule that holds it
// (platform/sim/device_startup.h). Each is the key of its line under
// [HeldByDevice].
enum class HoldRule {
    Startup,  // a program started by a shortcut in the Startup folder
    Service,  // a library the service host loads
    NewMenu,  // a shell New-menu extension
    Sync,     // a synchronisation provider
};
const char* HoldRuleKey(HoldRule rule);  // "Startup", "Service", "NewMenu", "Sync"

struct DeviceHold {
    HoldRule rule;
    std::u16string path;  // device path, as written
    friend bool operator==(const DeviceHold& a, const DeviceHold& b)
    {
        return a.rule == b.rule && a.path == b.path;
    }
    friend bool operator!=(const DeviceHold& a, const DeviceHold& b) { return !(a == b); }
};

// A program another program started (CreateProcessW) that is still running
// after the command that started it: it waits on an event (until a later
// program sets it) or, with no event, runs until the device restarts. While
// it runs, its image and the files its handles have open are held.
struct RunningProgram {
    std::u16string program;             // its image, a device path
    std::vector<std::u16string> files;  // held open by its handles
    std::u16string event;               // the named event it waits on; empty: none
    bool manualReset = false;           // the event is a manual-reset one (ManualEvent=)
    friend bool operator==(const RunningProgram& a, const RunningProgram& b)
    {
        return a.program == b.program && a.files == b.files && a.event == b.event &&
               a.manualReset == b.manualReset;
    }
    friend bool operator!=(const RunningProgram& a, const RunningProgram& b) { return !(a == b); }
};

// How the device keeps its registry, which decides what a run's registry
// writes become when the device loses power in the middle of it (a killed
// command): Windows Mobile 5 and later keep it in hive files, written when a
// program flushes it (RegFlushKey), so what was written since is lost;
// Pocket PC 2003 keeps it in RAM, where every write stays at once (and
// RegFlushKey fails: there is no persistent store to flush to).
enum class RegistryStore { Hive, Ram };
const char* RegistryStoreName(RegistryStore store);  // "Hive", "RAM"

// How another program holds a file the uninstaller would delete: as the
// image of a program that runs, as a library a program loaded, or open by a
// handle that shares nothing.
enum class HoldKind { RunningProgram, LoadedModule, OpenFile };

// The file system that keeps the package's files, which decides what
// DeleteFileW answers for a file another program holds: Windows Mobile 5 and
// later keep them on flash through the FAT driver, Pocket PC 2003 in the RAM
// object store, and desktop Windows tells a running image from an open file.
enum class FileSystem { Fat, ObjectStore, Desktop };

// What each file system answers, one row each, in FileSystem's order.
struct FileSystemRow {
    FileSystem system;
    const char* name;         // as device.ini writes it: "FAT", "ObjectStore", "Desktop"
    const char* description;  // for a person: "the FAT driver", ...
    // DeleteFileW's error for a held file, by HoldKind.
    uint32_t runningProgram, loadedModule, openFile;
    uint32_t HeldError(HoldKind kind) const
    {
        return kind == HoldKind::RunningProgram ? runningProgram : kind == HoldKind::LoadedModule ? loadedModule : openFile;
    }
};
extern const FileSystemRow kFileSystems[3];
const FileSystemRow& FileSystemOf(FileSystem system);

// device.ini's [Device]: what the device says of itself (GetVersionExW's
// OSVERSIONINFOW and SystemParametersInfoW's SPI_GETPLATFORMTYPE and
// SPI_GETOEMINFO, as the file keeps them; the trace's model of these facts
// is platform/trace/device_facts.h), how it keeps its registry and which
// file system holds the package. The defaults are those of a Windows Mobile
// 5 Pocket PC (Windows CE 5.1).
struct DeviceSection {
    uint32_t majorVersion = 5;
    uint32_t minorVersion = 1;
    uint32_t buildNumber = 1700;
    uint32_t platformId = 3;  // VER_PLATFORM_WIN32_CE
    std::u16string servicePack;  // at most kMaxServicePackLength
    std::u16string platformType = u"PocketPC";  // at most kMaxDeviceTextLength
    std::u16string oemInfo = u"QX-500 Pocket PC";  // at most kMaxDeviceTextLength
    RegistryStore registry = RegistryStore::Hive;
    FileSystem fileSystem = FileSystem::Fat;
    friend bool operator==(const DeviceSection& a, const DeviceSection& b)
    {
        return a.majorVersion == b.majorVersion && a.minorVersion == b.minorVersion &&
               a.buildNumber == b.buildNumber && a.platformId == b.platformId &&
               a.servicePack == b.servicePack && a.platformType == b.platformType && a.oemInfo == b.oemInfo &&
               a.registry == b.registry && a.fileSystem == b.fileSystem;
    }
    friend bool operator!=(const DeviceSection& a, const DeviceSection& b) { return !(a == b); }
};
// OSVERSIONINFOW holds the service pack's name in 128 characters, its NUL
// included; the other texts fit a buffer of MAX_PATH characters.
constexpr size_t kMaxServicePackLength = 127;
constexpr size_t kMaxDeviceTextLength = 259;

// Whether two device paths name the same file: case-insensitive, with
// separators read as SplitDevicePath reads them. A path it refuses names
// nothing.
bool SameDevicePath(std::u16string_view a, std::u16string_view b);

struct DeviceConfig {
    // An empty folder makes the platform's query for it fail.
    std::u16string startup = u"\\Windows\\StartUp";
    std::u16string programs = u"\\Windows\\Start Menu\\Programs";
    std::u16string temp = u"\\Temp\\";
    // A desktop Windows device's drive ("C:"), by which its programs' paths
    // may name its root (BelowDrive, device_path.h); empty on a Pocket PC.
    // Only the checker's device, made in memory from a kit's log read on
    // desktop Windows, has one: device.ini does not keep it.
    std::u16string drive;
    // Held by programs the user started: device paths, as written. A
    // restart releases them.
    std::vector<std::u16string> heldOpen;
    // Held by the device itself since it last started, in the order its
    // start-up rules found them.
    std::vector<DeviceHold> heldByDevice;
    // Programs that programs started and that still run; a restart ends them.
    std::vector<RunningProgram> running;
    DeviceSection device;

    // Held by either: deleting the file fails with a sharing violation.
    bool IsHeldOpen(std::u16string_view devicePath) const;
    bool IsHeldByUser(std::u16string_view devicePath) const;
    // Held by a running program: its image or a file its handles have open.
    bool IsHeldByRunning(std::u16string_view devicePath) const;
    // The rules under which the device holds the file, in list order.
    std::vector<HoldRule> DeviceRulesHolding(std::u16string_view devicePath) const;
};

// Parses device.ini text (UTF-8, optional BOM, LF or CRLF). Unknown sections
// or keys, and lines that are not "key=value", are refused with
// "device.ini:LINE: reason" in error.
// Lines whose first non-blank character is ';' or '#' are comments; nothing
// after a value is, so paths keep any ';' and '#'. Blanks around names and
// values are dropped, and an indented line stands on its own (it does not
// continue the value above). A [Folders] key given twice, an empty path under
// [HeldOpen] or [HeldByDevice], and lines over 2048 bytes are refused too.
// Under [Running], Program= begins a program's entry and File=, Event= (an
// auto-reset event) or ManualEvent= follow it; one event per program, no
// empty value. Under [Device], each key at most once: the numbers decimal
// DWORDs, the texts within their lengths, Registry= Hive or RAM,
// FileSystem= FAT, ObjectStore or Desktop (any case).
// out is changed only on success.
bool ParseDeviceIni(std::string_view text, DeviceConfig& out, std::string& error);
std::string FormatDeviceIni(const DeviceConfig& config);
// [Device] is written only when it differs from the defaults, [HeldOpen],
// [HeldByDevice] and [Running] only when they hold anything.
// FormatDeviceIni, refusing a config that would read back differently (a
// path with a line break, blanks at either end or a lone surrogate, or an
// empty held path).
bool FormatDeviceIniChecked(const DeviceConfig& config, std::string& text, std::string& error);

// The largest device.ini read.
constexpr size_t kMaxDeviceIniBytes = size_t(1) << 20;

}  // namespace formats

#endif
