#include "formats/device_ini.h"

#include <algorithm>
#include <optional>

#include "device/device_text.h"
#include "formats/device_path.h"
#include "formats/text.h"

namespace formats {

namespace {

// Longest line accepted, in bytes without its line end. Device paths are at
// most MAX_PATH (260) UTF-16 units, which is at most 780 bytes of UTF-8.
const size_t kMaxLineBytes = 2048;

std::string LineError(int line, const std::string& reason)
{
    return "device.ini:" + std::to_string(line) + ": " + reason;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

bool NameIs(std::string_view name, std::u16string_view expected)
{
    std::optional<std::u16string> wide = Utf8ToUtf16(name);
    return wide && EqualsIgnoreCase(*wide, expected);
}

enum class Section { kNone, kFolders, kHeldOpen, kHeldByDevice, kRunning, kDevice, kUnknown };

const HoldRule kHoldRules[] = {HoldRule::Startup, HoldRule::Service, HoldRule::NewMenu,
                               HoldRule::Sync};

Section SectionNamed(std::string_view name)
{
    name = Trim(name);
    if (NameIs(name, u"Folders")) return Section::kFolders;
    if (NameIs(name, u"HeldOpen")) return Section::kHeldOpen;
    if (NameIs(name, u"HeldByDevice")) return Section::kHeldByDevice;
    if (NameIs(name, u"Running")) return Section::kRunning;
    if (NameIs(name, u"Device")) return Section::kDevice;
    return Section::kUnknown;
}

// A section is known by the first 49 bytes of its header's name: blanks
// before the name count, so a name pushed past them by blanks is accepted as
// a header but names no section, and a key under it is refused.
const size_t kMaxSectionNameBytes = 49;

// What the lines read so far have said.
struct IniReading {
    DeviceConfig config;
    Section section = Section::kNone;
    bool startupSeen = false;
    bool programsSeen = false;
    bool tempSeen = false;
    bool eventSeen = false;  // the last [Running] program's event
    uint32_t deviceSeen = 0;  // [Device] keys given, one bit each
};

// The keys of [Device], in the order they are written.
enum DeviceKey {
    kMajor, kMinor, kBuild, kPlatformId, kServicePack, kPlatformType, kOemInfo, kRegistry, kFileSystem, kDeviceKeys
};
const char* const kDeviceKeyNames[kDeviceKeys] = {"MajorVersion", "MinorVersion", "BuildNumber",
                                                  "PlatformId",   "ServicePack",  "PlatformType",
                                                  "OemInfo",      "Registry",     "FileSystem"};

uint32_t* DeviceNumber(DeviceSection& facts, int key)
{
    switch (key) {
    case kMajor: return &facts.majorVersion;
    case kMinor: return &facts.minorVersion;
    case kBuild: return &facts.buildNumber;
    case kPlatformId: return &facts.platformId;
    default: return nullptr;
    }
}

std::u16string* DeviceText(DeviceSection& facts, int key)
{
    switch (key) {
    case kServicePack: return &facts.servicePack;
    case kPlatformType: return &facts.platformType;
    case kOemInfo: return &facts.oemInfo;
    default: return nullptr;
    }
}

// A DWORD in decimal, as [Device] writes it.
bool ParseDword(std::string_view text, uint32_t& out)
{
    if (text.empty() || text.size() > 10) return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > UINT32_MAX) return false;
    out = static_cast<uint32_t>(value);
    return true;
}

std::string ReadDeviceSetting(IniReading& reading, std::string_view name, std::string_view rawValue,
                              std::u16string value)
{
    for (int key = 0; key < kDeviceKeys; ++key) {
        if (!NameIs(name, Utf8ToUtf16(kDeviceKeyNames[key]).value_or(u""))) continue;
        const std::string keyName = kDeviceKeyNames[key];
        if (reading.deviceSeen & (1u << key)) return keyName + " given twice";
        reading.deviceSeen |= 1u << key;
        DeviceSection& facts = reading.config.device;
        if (key == kRegistry) {
            if (EqualsIgnoreCase(value, u"Hive")) facts.registry = RegistryStore::Hive;
            else if (EqualsIgnoreCase(value, u"RAM")) facts.registry = RegistryStore::Ram;
            else return keyName + "= wants Hive or RAM";
            return {};
        }
        if (key == kFileSystem) {
            for (const FileSystemRow& row : kFileSystems)
                if (EqualsIgnoreCase(value, Utf8ToUtf16(row.name).value_or(u""))) {
                    facts.fileSystem = row.system;
                    return {};
                }
            return keyName + "= wants FAT, ObjectStore or Desktop";
        }
        if (uint32_t* number = DeviceNumber(facts, key)) {
            if (!ParseDword(rawValue, *number)) return keyName + "= wants a number from 0 to 4294967295";
            return {};
        }
        const size_t longest = key == kServicePack ? kMaxServicePackLength : kMaxDeviceTextLength;
        if (value.size() > longest)
            return keyName + "= longer than " + std::to_string(longest) + " characters";
        *DeviceText(facts, key) = std::move(value);
        return {};
    }
    return "unknown key '" + std::string(name) + "' in [Device]";
}

std::string ReadRunningSetting(IniReading& reading, std::string_view name, std::u16string value)
{
    std::vector<RunningProgram>& running = reading.config.running;
    const std::string key(name);
    const bool program = NameIs(name, u"Program"), file = NameIs(name, u"File");
    const bool event = NameIs(name, u"Event"), manual = NameIs(name, u"ManualEvent");
    if (!program && !file && !event && !manual) return "unknown key '" + key + "' in [Running]";
    if (value.empty()) return key + "= without a value";
    if (program) {
        running.push_back({std::move(value), {}, {}, false});
        reading.eventSeen = false;
        return {};
    }
    if (running.empty()) return key + "= before the first Program=";
    if (file) {
        running.back().files.push_back(std::move(value));
        return {};
    }
    if (reading.eventSeen) return "a second event for one program";
    reading.eventSeen = true;
    running.back().event = std::move(value);
    running.back().manualReset = manual;
    return {};
}

// The reason a [Folders] key given a second time is refused; empty the first
// time, which sets folder.
std::string SetFolder(bool& seen, std::u16string& folder, const char* key, std::u16string value)
{
    if (seen) return std::string(key) + " given twice";
    seen = true;
    folder = std::move(value);
    return {};
}

// Reads "name=value" (both trimmed) in the current section. Empty when it is
// taken, else the reason it is refused.
std::string ReadSetting(IniReading& reading, std::string_view name, std::string_view rawValue)
{
    // The line is UTF-8 as a whole, and the value is cut from it at blanks
    // and '=', so it converts.
    std::u16string value = Utf8ToUtf16(rawValue).value_or(u"");
    const std::string key(name);
    DeviceConfig& config = reading.config;
    switch (reading.section) {
    case Section::kFolders:
        if (NameIs(name, u"Startup"))
            return SetFolder(reading.startupSeen, config.startup, "Startup", std::move(value));
        if (NameIs(name, u"Programs"))
            return SetFolder(reading.programsSeen, config.programs, "Programs", std::move(value));
        if (NameIs(name, u"Temp"))
            return SetFolder(reading.tempSeen, config.temp, "Temp", std::move(value));
        return "unknown key '" + key + "' in [Folders]";
    case Section::kHeldOpen:
        if (!NameIs(name, u"File")) return "unknown key '" + key + "' in [HeldOpen]";
        if (value.empty()) return "File= without a path";
        config.heldOpen.push_back(std::move(value));
        return {};
    case Section::kHeldByDevice:
        for (HoldRule rule : kHoldRules) {
            if (!NameIs(name, Utf8ToUtf16(HoldRuleKey(rule)).value_or(u""))) continue;
            if (value.empty()) return std::string(HoldRuleKey(rule)) + "= without a path";
            config.heldByDevice.push_back({rule, std::move(value)});
            return {};
        }
        return "unknown key '" + key + "' in [HeldByDevice]";
    case Section::kRunning:
        return ReadRunningSetting(reading, name, std::move(value));
    case Section::kDevice:
        return ReadDeviceSetting(reading, name, rawValue, std::move(value));
    case Section::kNone:
    case Section::kUnknown:
        break;
    }
    return "key '" + key + "' outside [Folders], [HeldOpen], [HeldByDevice], [Running] and [Device]";
}

// Reads one line (without its line end) into reading. Empty when the line
// is taken, else the reason it is refused.
std::string ReadLine(std::string_view line, IniReading& reading)
{
    if (line.size() > kMaxLineBytes)
        return "line longer than " + std::to_string(kMaxLineBytes) + " bytes";
    if (line.find('\0') != std::string_view::npos) return "NUL character";
    if (!Utf8ToUtf16(line)) return "invalid UTF-8";
    for (char c : line) {
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t') return "control character";
    }
    std::string_view text = Trim(line);
    if (text.empty() || text.front() == ';' || text.front() == '#') return {};
    if (text.front() == '[') {
        if (text.back() != ']') return "section header without closing ']'";
        std::string_view name = text.substr(1, text.size() - 2);
        if (name.find_first_of("[]") != std::string_view::npos) return "malformed section header";
        if (SectionNamed(name) == Section::kUnknown)
            return "unknown section [" + std::string(name) + "]";
        reading.section = SectionNamed(name.substr(0, kMaxSectionNameBytes));
        return {};
    }
    // "name:value" is refused rather than read as a name holding ':', since
    // other ini readers take it for a setting.
    size_t separator = text.find_first_of("=:");
    if (separator == std::string_view::npos || text[separator] != '=') return "expected key=value";
    return ReadSetting(reading, Trim(text.substr(0, separator)), Trim(text.substr(separator + 1)));
}

}  // namespace

const char* RegistryStoreName(RegistryStore store) { return store == RegistryStore::Ram ? "RAM" : "Hive"; }

// The FAT driver answers a sharing violation for a file with any handle
// open; the object store refuses access to a file in use, whatever holds
// it; desktop Windows refuses access to a running image or a loaded library
// and answers a sharing violation for a file open without sharing.
constexpr uint32_t kSharingViolation = 32;  // ERROR_SHARING_VIOLATION
constexpr uint32_t kAccessDenied = 5;       // ERROR_ACCESS_DENIED
const FileSystemRow kFileSystems[3] = {
    {FileSystem::Fat, "FAT", "the FAT driver", kSharingViolation, kSharingViolation, kSharingViolation},
    {FileSystem::ObjectStore, "ObjectStore", "the object store", kAccessDenied, kAccessDenied, kAccessDenied},
    {FileSystem::Desktop, "Desktop", "desktop Windows", kAccessDenied, kAccessDenied, kSharingViolation},
};

const FileSystemRow& FileSystemOf(FileSystem system) { return kFileSystems[static_cast<int>(system)]; }

const char* HoldRuleKey(HoldRule rule)
{
    switch (rule) {
    case HoldRule::Startup: return "Startup";
    case HoldRule::Service: return "Service";
    case HoldRule::NewMenu: return "NewMenu";
    case HoldRule::Sync: return "Sync";
    }
    return "?";
}

bool SameDevicePath(std::u16string_view a, std::u16string_view b)
{
    // Name by name without copying first, as most paths asked about differ;
    // only a match is checked for names no device path can hold.
    auto next = [](std::u16string_view& path) {
        while (!path.empty() && device_text::IsPathSeparator(path.front())) path.remove_prefix(1);
        size_t end = 0;
        while (end < path.size() && !device_text::IsPathSeparator(path[end])) ++end;
        std::u16string_view name = path.substr(0, end);
        path.remove_prefix(end);
        return name;
    };
    for (std::u16string_view x = a, y = b;;) {
        std::u16string_view left = next(x), right = next(y);
        if (!EqualsIgnoreCase(left, right)) return false;
        if (left.empty()) break;
    }
    std::vector<std::u16string> parts;
    return SplitDevicePath(a, parts) && !parts.empty() && SplitDevicePath(b, parts);
}

bool DeviceConfig::IsHeldByUser(std::u16string_view devicePath) const
{
    for (const std::u16string& entry : heldOpen)
        if (SameDevicePath(entry, devicePath)) return true;
    return false;
}

std::vector<HoldRule> DeviceConfig::DeviceRulesHolding(std::u16string_view devicePath) const
{
    std::vector<HoldRule> rules;
    for (const DeviceHold& hold : heldByDevice)
        if (SameDevicePath(hold.path, devicePath)) rules.push_back(hold.rule);
    return rules;
}

bool DeviceConfig::IsHeldByRunning(std::u16string_view devicePath) const
{
    for (const RunningProgram& program : running) {
        if (SameDevicePath(program.program, devicePath)) return true;
        for (const std::u16string& file : program.files)
            if (SameDevicePath(file, devicePath)) return true;
    }
    return false;
}

bool DeviceConfig::IsHeldOpen(std::u16string_view devicePath) const
{
    if (IsHeldByUser(devicePath)) return true;
    for (const DeviceHold& hold : heldByDevice)
        if (SameDevicePath(hold.path, devicePath)) return true;
    return false;
}

bool ParseDeviceIni(std::string_view text, DeviceConfig& out, std::string& error)
{
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    IniReading reading;
    int line = 0;
    for (size_t start = 0; start < text.size();) {
        ++line;
        size_t end = std::min(text.find('\n', start), text.size());
        std::string_view content = text.substr(start, end - start);
        if (!content.empty() && content.back() == '\r') content.remove_suffix(1);
        std::string reason = ReadLine(content, reading);
        if (!reason.empty()) {
            error = LineError(line, reason);
            return false;
        }
        start = end + 1;
    }
    out = std::move(reading.config);
    return true;
}

std::string FormatDeviceIni(const DeviceConfig& config)
{
    std::string text = "[Folders]\n";
    text += "Startup=" + Utf16ToUtf8Lossy(config.startup) + "\n";
    text += "Programs=" + Utf16ToUtf8Lossy(config.programs) + "\n";
    text += "Temp=" + Utf16ToUtf8Lossy(config.temp) + "\n";
    if (!config.heldOpen.empty()) {
        text += "[HeldOpen]\n";
        for (const std::u16string& file : config.heldOpen)
            text += "File=" + Utf16ToUtf8Lossy(file) + "\n";
    }
    if (!config.heldByDevice.empty()) {
        text += "[HeldByDevice]\n";
        for (const DeviceHold& hold : config.heldByDevice)
            text += std::string(HoldRuleKey(hold.rule)) + "=" + Utf16ToUtf8Lossy(hold.path) + "\n";
    }
    if (!config.running.empty()) {
        text += "[Running]\n";
        for (const RunningProgram& program : config.running) {
            text += "Program=" + Utf16ToUtf8Lossy(program.program) + "\n";
            for (const std::u16string& file : program.files) text += "File=" + Utf16ToUtf8Lossy(file) + "\n";
            if (!program.event.empty())
                text += (program.manualReset ? "ManualEvent=" : "Event=") + Utf16ToUtf8Lossy(program.event) + "\n";
        }
    }
    if (config.device != DeviceSection{}) {
        DeviceSection facts = config.device;
        text += "[Device]\n";
        for (int key = 0; key < kDeviceKeys; ++key) {
            text += std::string(kDeviceKeyNames[key]) + "=";
            if (key == kRegistry) text += RegistryStoreName(facts.registry);
            else if (key == kFileSystem) text += FileSystemOf(facts.fileSystem).name;
            else if (const uint32_t* number = DeviceNumber(facts, key)) text += std::to_string(*number);
            else text += Utf16ToUtf8Lossy(*DeviceText(facts, key));
            text += "\n";
        }
    }
    return text;
}

bool FormatDeviceIniChecked(const DeviceConfig& config, std::string& text, std::string& error)
{
    // Refuse what would read back differently: lone surrogates, line breaks
    // or surrounding spaces in a path, an empty File=.
    text = FormatDeviceIni(config);
    DeviceConfig check;
    std::string checkError;
    if (!ParseDeviceIni(text, check, checkError) || check.startup != config.startup ||
        check.programs != config.programs || check.temp != config.temp ||
        check.heldOpen != config.heldOpen || check.heldByDevice != config.heldByDevice ||
        check.running != config.running || check.device != config.device) {
        error = "device.ini: these settings cannot be written as they are";
        return false;
    }
    return true;
}

}  // namespace formats
