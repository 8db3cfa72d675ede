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
#ifndef TRQ_FORMATS_DEVICE_INI_H
#define TRQ_FORMATS_DEVICE_INI_H

#include <cstddef>
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

// Whether two device paths name the same file: case-insensitive, with
// separators read as SplitDevicePath reads them. A path it refuses names
// nothing.
bool SameDevicePath(std::u16string_view a, std::u16string_view b);

struct DeviceConfig {
    // An empty folder makes the platform's query for it fail.
    std::u16string startup = u"\\Windows\\StartUp";
    std::u16string programs = u"\\Windows\\Start Menu\\Programs";
    std::u16string temp = u"\\Temp\\";
    // Held by programs the user started: device paths, as written. A
    // restart releases them.
    std::vector<std::u16string> heldOpen;
    // Held by the device itself since it last started, in the order its
    // start-up rules found them.
    std::vector<DeviceHold> heldByDevice;

    // Held by either: deleting the file fails with a sharing violation.
    bool IsHeldOpen(std::u16string_view devicePath) const;
    bool IsHeldByUser(std::u16string_view devicePath) const;
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
// out is changed only on success.
bool ParseDeviceIni(std::string_view text, DeviceConfig& out, std::string& error);
std::string FormatDeviceIni(const DeviceConfig& config);
// FormatDeviceIni, refusing a config that would read back differently (a
// path with a line break, blanks at either end or a lone surrogate, or an
// empty held path).
bool FormatDeviceIniChecked(const DeviceConfig& config, std::string& text, std::string& error);

// The largest device.ini read.
constexpr size_t kMaxDeviceIniBytes = size_t(1) << 20;

}  // namespace formats

#endif
