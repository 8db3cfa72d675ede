// What a Pocket PC holds open once it has started, derived from its own
// state. When the device starts it runs the programs whose shortcuts sit in
// the Startup folder and loads the libraries its registry names; each of
// those files stays open until the next restart, so the uninstaller cannot
// delete it before then.
//
// The rules, each one a HoldRule:
//   Startup  every "*.lnk" file directly in the Startup folder (device.ini
//            [Folders] Startup) starts the program it points to.
//   Service  every key under HKEY_LOCAL_MACHINE\Services with a "Dll" string
//            value: the service host loads that library.
//   NewMenu  every key {clsid} under HKEY_LOCAL_MACHINE
//            "Software\Microsoft\Shell\Extensions\NewMenu": the shell loads
//            the in-process server named by the default value of
//            HKEY_CLASSES_ROOT "CLSID\{clsid}\InprocServer32".
//   Sync     every key under HKEY_LOCAL_MACHINE
//            "Windows CE Services\Synchronization\Objects" with a "Store"
//            string value (a class id): the synchronisation service loads
//            that class's in-process server the same way.
// A library name without a folder is looked up in \Windows; a path starting
// with a separator is taken as it is; anything else names nothing. Only a
// file that exists is held (the loader cannot open a missing one), and only
// string values (REG_SZ) count. Anything malformed holds nothing.
#ifndef TRQ_SIM_DEVICE_STARTUP_H
#define TRQ_SIM_DEVICE_STARTUP_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/device_image.h"

namespace sim {

using formats::HoldRule;

struct StartupHold {
    HoldRule rule;
    std::u16string file;    // the device path held open, spelled as stored
    std::u16string source;  // what made the device hold it: the shortcut's path
                            // or the registration's key ("HKEY_LOCAL_MACHINE\...")
};

// What the device holds open once it has started, rule by rule in the order
// above, each rule in folder or registry order. A file held twice under the
// same rule is listed once.
std::vector<StartupHold> HoldsAtStartup(const DeviceImage& image);

// Starts the device, in memory: programs the user had started are gone
// ([HeldOpen] and [Running] are emptied) and [HeldByDevice] becomes
// HoldsAtStartup. Returns
// the holds. The caller saves device.ini.
std::vector<StartupHold> StartDevice(DeviceImage& image);

// The target of a Windows CE shortcut, read as the shell reads it: on the
// first line a count, "#", then the target, either in double quotes or up
// to the first blank; whatever follows is the program's arguments. The count
// is not compared with the text. nullopt when the text is no such line or
// the target names no device path (see LibraryPath).
std::optional<std::u16string> ShortcutTarget(std::string_view text);

// A program or library name as the device's loader reads it: a name without
// a folder is looked up in \Windows, a path starting with a separator is
// taken as it is, and so is one on the device's drive (a desktop Windows
// device's, BelowDrive), without it. nullopt for anything else (a relative
// path with folders, an empty name, a name no device path can hold).
std::optional<std::u16string> LibraryPath(std::u16string_view name, std::u16string_view drive = {});

// How the rule reads to a person: "started from the Startup folder", ...
const char* HoldRuleDescription(HoldRule rule);

}  // namespace sim

#endif
