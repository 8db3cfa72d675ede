#include "formats/device_ini.h"

#include <ini.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <sstream>
#include <system_error>

#include "formats/device_path.h"
#include "formats/host_file.h"
#include "formats/host_folder.h"
#include "formats/text.h"

namespace sim {

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

enum class Section { kNone, kFolders, kHeldOpen, kHeldByDevice, kUnknown };

const HoldRule kHoldRules[] = {HoldRule::Startup, HoldRule::Service, HoldRule::NewMenu,
                               HoldRule::Sync};

Section SectionNamed(std::string_view name)
{
    name = Trim(name);
    if (NameIs(name, u"Folders")) return Section::kFolders;
    if (NameIs(name, u"HeldOpen")) return Section::kHeldOpen;
    if (NameIs(name, u"HeldByDevice")) return Section::kHeldByDevice;
    return Section::kUnknown;
}

// Checks one line (without its line end) for what the ini parser would pass
// over or read differently from what the file says: bytes that are not
// UTF-8 text, section headers it would cut short, unknown sections (it
// reports no section without keys), and "name:value" lines. Empty when the
// line is fine.
std::string CheckLine(std::string_view line)
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
        return {};
    }
    size_t separator = text.find_first_of("=:");
    if (separator == std::string_view::npos || text[separator] != '=') return "expected key=value";
    return {};
}

struct ParseState {
    DeviceConfig config;
    bool startup = false;
    bool programs = false;
    bool temp = false;
    std::string reason;  // why the handler refused a line
};

bool SetFolder(ParseState& state, bool& seen, std::u16string& folder, const char* key,
               std::u16string value)
{
    if (seen) {
        state.reason = std::string(key) + " given twice";
        return false;
    }
    seen = true;
    folder = std::move(value);
    return true;
}

int OnValue(void* user, const char* sectionName, const char* name, const char* rawValue)
{
    ParseState& state = *static_cast<ParseState*>(user);
    Section section = *sectionName ? SectionNamed(sectionName) : Section::kNone;
    std::optional<std::u16string> value = Utf8ToUtf16(rawValue);
    if (!value) {
        state.reason = "invalid UTF-8";
        return 0;
    }
    switch (section) {
    case Section::kFolders:
        if (NameIs(name, u"Startup"))
            return SetFolder(state, state.startup, state.config.startup, "Startup",
                             std::move(*value));
        if (NameIs(name, u"Programs"))
            return SetFolder(state, state.programs, state.config.programs, "Programs",
                             std::move(*value));
        if (NameIs(name, u"Temp"))
            return SetFolder(state, state.temp, state.config.temp, "Temp", std::move(*value));
        state.reason = "unknown key '" + std::string(name) + "' in [Folders]";
        return 0;
    case Section::kHeldOpen:
        if (!NameIs(name, u"File")) {
            state.reason = "unknown key '" + std::string(name) + "' in [HeldOpen]";
            return 0;
        }
        if (value->empty()) {
            state.reason = "File= without a path";
            return 0;
        }
        state.config.heldOpen.push_back(std::move(*value));
        return 1;
    case Section::kHeldByDevice:
        for (HoldRule rule : kHoldRules) {
            if (!NameIs(name, Utf8ToUtf16(HoldRuleKey(rule)).value_or(u""))) continue;
            if (value->empty()) {
                state.reason = std::string(HoldRuleKey(rule)) + "= without a path";
                return 0;
            }
            state.config.heldByDevice.push_back({rule, std::move(*value)});
            return 1;
        }
        state.reason = "unknown key '" + std::string(name) + "' in [HeldByDevice]";
        return 0;
    default:
        state.reason =
            "key '" + std::string(name) + "' outside [Folders], [HeldOpen] and [HeldByDevice]";
        return 0;
    }
}

// inih's options are process-wide; they are set for each parse and put back
// afterwards, one parse at a time.
std::mutex g_iniMutex;

// Runs inih over text (no NUL inside) and returns 0 or the number of the
// first line it refused.
int ParseWithInih(const std::string& text, ParseState& state)
{
    std::lock_guard<std::mutex> lock(g_iniMutex);
    const bool multiline = ini_allow_multiline;
    const bool bom = ini_allow_bom;
    const bool inlineComments = ini_allow_inline_comments;
    const bool useStack = ini_use_stack;
    const int maxLine = ini_max_line;
    const bool stopOnFirst = ini_stop_on_first_error;
    const bool noValue = ini_allow_no_value;

    // An indented line is a line of its own, never part of the value above.
    ini_allow_multiline = false;
    // The BOM has been taken off already.
    ini_allow_bom = false;
    // Paths may hold ';' and '#': only whole lines are comments.
    ini_allow_inline_comments = false;
    // Room for the longest line with "\r\n\0", so no line is ever split.
    ini_use_stack = true;
    ini_max_line = static_cast<int>(kMaxLineBytes) + 3;
    // The first refusal is the one reported, and the handler's reason for it
    // is the last one it gave.
    ini_stop_on_first_error = true;
    ini_allow_no_value = false;

    int result = ini_parse_string(text.c_str(), OnValue, &state);

    ini_allow_multiline = multiline;
    ini_allow_bom = bom;
    ini_allow_inline_comments = inlineComments;
    ini_use_stack = useStack;
    ini_max_line = maxLine;
    ini_stop_on_first_error = stopOnFirst;
    ini_allow_no_value = noValue;
    return result;
}

}  // namespace

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
        while (!path.empty() && (path.front() == u'\\' || path.front() == u'/')) path.remove_prefix(1);
        size_t end = 0;
        while (end < path.size() && path[end] != u'\\' && path[end] != u'/') ++end;
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

    // Check each line first; inih then reads only the lines before the
    // first bad one, so whichever of the two finds the earlier fault reports.
    int badLine = 0;
    std::string badReason;
    size_t goodBytes = text.size();
    int line = 0;
    for (size_t start = 0; start < text.size();) {
        ++line;
        size_t end = std::min(text.find('\n', start), text.size());
        std::string_view content = text.substr(start, end - start);
        if (!content.empty() && content.back() == '\r') content.remove_suffix(1);
        std::string reason = CheckLine(content);
        if (!reason.empty()) {
            badLine = line;
            badReason = std::move(reason);
            goodBytes = start;
            break;
        }
        start = end + 1;
    }

    ParseState state;
    int refused = ParseWithInih(std::string(text.substr(0, goodBytes)), state);
    if (refused > 0) {
        // inih itself refuses only lines that CheckLine lets through when the
        // handler said no.
        error = LineError(refused, state.reason.empty() ? "expected key=value" : state.reason);
        return false;
    }
    if (refused < 0) {
        error = "device.ini: out of memory";
        return false;
    }
    if (badLine) {
        error = LineError(badLine, badReason);
        return false;
    }
    out = std::move(state.config);
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
    return text;
}

bool ReadDeviceIni(const std::filesystem::path& path, DeviceConfig& out, std::string& error)
{
    std::filesystem::path holder = path.parent_path();
    host::Folder folder;
    std::string bytes, reason;
    bool missing = false;
    if (!host::Folder::Open(holder.empty() ? "." : holder, folder)) {
        reason = std::strerror(errno);
    } else if (host::ReadRegularFile(folder.Fd(), path.filename().string(), kMaxDeviceIniBytes,
                                     host::Links::Refuse, bytes, reason, &missing)) {
        return ParseDeviceIni(bytes, out, error);
    } else if (missing) {
        out = DeviceConfig{};  // none: the defaults
        return true;
    }
    error = path.string() + ": " + reason;
    return false;
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
        check.heldOpen != config.heldOpen || check.heldByDevice != config.heldByDevice) {
        error = "device.ini: these settings cannot be written as they are";
        return false;
    }
    return true;
}

bool WriteDeviceIni(const std::filesystem::path& path, const DeviceConfig& config,
                    std::string& error)
{
    std::string text;
    if (!FormatDeviceIniChecked(config, text, error)) return false;
    std::filesystem::path holder = path.parent_path();
    host::Folder folder;
    std::string reason;
    if (!host::Folder::Open(holder.empty() ? "." : holder, folder))
        reason = std::strerror(errno);
    else if (host::ReplaceFile(folder, path.filename().string(), text, host::AtLink::Refuse, reason))
        return true;
    error = path.string() + ": " + reason;
    return false;
}

}  // namespace sim
