// device.ini of a device image: where the device's special folders are and
// which files other programs hold open.
//
//   [Folders]
//   Startup=\Windows\StartUp
//   Programs=\Windows\Start Menu\Programs
//   Temp=\Temp\          (the temporary folder keeps its trailing separator)
//   [HeldOpen]
//   File=\Windows\TRQUtil.exe
#ifndef TRQ_SIM_DEVICE_INI_H
#define TRQ_SIM_DEVICE_INI_H

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct DeviceConfig {
    // An empty folder makes the platform's query for it fail.
    std::u16string startup = u"\\Windows\\StartUp";
    std::u16string programs = u"\\Windows\\Start Menu\\Programs";
    std::u16string temp = u"\\Temp\\";
    std::vector<std::u16string> heldOpen;  // device paths, as written

    // Case-insensitive, with separators read as SplitDevicePath reads them.
    bool IsHeldOpen(std::u16string_view devicePath) const;
};

// Parses device.ini text (UTF-8, optional BOM, LF or CRLF). Unknown sections
// or keys, and lines that are not "key=value", are refused with
// "device.ini:LINE: reason" in error.
// Lines whose first non-blank character is ';' or '#' are comments; nothing
// after a value is, so paths keep any ';' and '#'. Blanks around names and
// values are dropped, and an indented line stands on its own (it does not
// continue the value above). A [Folders] key given twice, an empty File=, and
// lines over 2048 bytes are refused too. out is changed only on success.
bool ParseDeviceIni(std::string_view text, DeviceConfig& out, std::string& error);
std::string FormatDeviceIni(const DeviceConfig& config);

// A missing file reads as the defaults.
bool ReadDeviceIni(const std::filesystem::path& path, DeviceConfig& out, std::string& error);
// Atomic: a temporary file beside path, then renamed over it. Refuses a
// config that would read back differently (a path with a line break, blanks
// at either end or a lone surrogate, or an empty held-open path).
bool WriteDeviceIni(const std::filesystem::path& path, const DeviceConfig& config,
                    std::string& error);

}  // namespace sim

#endif
