#include "platform/sim/fault_rules.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "device/device_call_table.h"
#include "formats/text.h"

namespace sim {

using formats::EqualsIgnoreCase;
using formats::Utf16LeBytes;
using formats::Utf16ToUtf8Lossy;
using formats::Utf8ToUtf16;

namespace {

struct Named {
    const char* name;
    int64_t value;
};

// Error codes, value types and buttons a rule may give by name.
const Named kNames[] = {
    {"ERROR_SUCCESS", 0},
    {"ERROR_FILE_NOT_FOUND", 2},
    {"ERROR_PATH_NOT_FOUND", 3},
    {"ERROR_TOO_MANY_OPEN_FILES", 4},
    {"ERROR_ACCESS_DENIED", 5},
    {"ERROR_INVALID_HANDLE", 6},
    {"ERROR_NOT_ENOUGH_MEMORY", 8},
    {"ERROR_SHARING_VIOLATION", 32},
    {"ERROR_FILE_EXISTS", 80},
    {"ERROR_INVALID_PARAMETER", 87},
    {"ERROR_DISK_FULL", 112},
    {"ERROR_INSUFFICIENT_BUFFER", 122},
    {"ERROR_INVALID_NAME", 123},
    {"ERROR_MOD_NOT_FOUND", 126},
    {"ERROR_NEGATIVE_SEEK", 131},
    {"ERROR_DIR_NOT_EMPTY", 145},
    {"ERROR_ALREADY_EXISTS", 183},
    {"ERROR_BAD_EXE_FORMAT", 193},
    {"ERROR_MORE_DATA", 234},
    {"ERROR_DIRECTORY", 267},
    {"ERROR_KEY_DELETED", 1018},
    {"REG_NONE", 0},
    {"REG_SZ", 1},
    {"REG_EXPAND_SZ", 2},
    {"REG_BINARY", 3},
    {"REG_DWORD", 4},
    {"REG_MULTI_SZ", 7},
    {"REG_QWORD", 11},
    {"IDOK", 1},
    {"IDCANCEL", 2},
    {"IDYES", 6},
    {"IDNO", 7},
    {"WAIT_OBJECT_0", 0},
    {"WAIT_TIMEOUT", 258},
    {"WAIT_FAILED", 0xFFFFFFFF},
};

bool EqualsAscii(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// A number: decimal, 0x hexadecimal, optionally negative, or a name above.
bool ParseNumber(const std::string& text, int64_t min, int64_t max, int64_t& out)
{
    for (const Named& n : kNames)
        if (EqualsAscii(text, n.name)) {
            out = n.value;
            return out >= min && out <= max;
        }
    if (text.empty()) return false;
    size_t start = text[0] == '-' ? 1 : 0;
    int base = 10;
    if (text.size() > start + 2 && text[start] == '0' && (text[start + 1] == 'x' || text[start + 1] == 'X')) {
        base = 16;
        start += 2;
    }
    if (start >= text.size()) return false;
    for (size_t i = start; i < text.size(); ++i)
        if (base == 10 ? !std::isdigit(static_cast<unsigned char>(text[i]))
                       : !std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(text.c_str() + start, &end, base);
    if (errno == ERANGE) return false;
    out = text[0] == '-' ? -value : value;
    return out >= min && out <= max;
}

bool ParseData(const std::string& text, std::string& out, std::string& error)
{
    out.clear();
    if (text.rfind("hex:", 0) == 0) {
        std::string rest = text.substr(4);
        if (rest.empty()) return true;
        size_t i = 0;
        for (;;) {
            size_t comma = rest.find(',', i);
            std::string byte = rest.substr(i, comma == std::string::npos ? std::string::npos : comma - i);
            const int hi = byte.empty() ? -1 : formats::HexDigit(static_cast<unsigned char>(byte[0]));
            const int lo = byte.size() == 2 ? formats::HexDigit(static_cast<unsigned char>(byte[1])) : 0;
            if (byte.empty() || byte.size() > 2 || hi < 0 || lo < 0) {
                error = "data=hex: wants bytes as two hex digits separated by commas, not \"" + byte + "\"";
                return false;
            }
            out.push_back(static_cast<char>(byte.size() == 2 ? hi << 4 | lo : hi));
            if (comma == std::string::npos) return true;
            i = comma + 1;
        }
    }
    if (text.rfind("text:", 0) == 0) {
        std::optional<std::u16string> wide = Utf8ToUtf16(text.substr(5));
        if (!wide) {
            error = "data=text: is not UTF-8";
            return false;
        }
        out += Utf16LeBytes(*wide + u'\0');
        return true;
    }
    error = "data= wants hex:BYTES or text:STRING";
    return false;
}

// Applies one "key=value" effect.
bool ParseEffect(const std::string& effect, FaultRule& rule, std::string& error)
{
    size_t eq = effect.find('=');
    std::string key = effect.substr(0, eq);
    if (eq == std::string::npos || key.empty()) {
        error = "\"" + effect + "\" is not fail, error=, result=, type= or data=";
        return false;
    }
    std::string value = effect.substr(eq + 1);
    Fault& f = rule.fault;
    int64_t n = 0;
    if (key == "error") {
        if (f.error) return error = "error= given twice", false;
        if (!ParseNumber(value, 0, 0xFFFFFFFFLL, n))
            return error = "error=" + value + ": not an error code", false;
        f.error = static_cast<uint32_t>(n);
    } else if (key == "result") {
        if (f.result) return error = "result= given twice", false;
        if (!ParseNumber(value, INT64_MIN + 1, INT64_MAX, n))
            return error = "result=" + value + ": not a number", false;
        f.result = n;
    } else if (key == "type") {
        if (f.type) return error = "type= given twice", false;
        if (!ParseNumber(value, 0, 0xFFFFFFFFLL, n))
            return error = "type=" + value + ": not a value type", false;
        f.type = static_cast<uint32_t>(n);
    } else if (key == "data") {
        std::string bytes;
        if (!ParseData(value, bytes, error)) return false;
        f.data = std::move(bytes);
    } else {
        error = "unknown effect \"" + key + "=\" (error=, result=, type=, data=)";
        return false;
    }
    return true;
}

}  // namespace

namespace {

// A rule read from its start: `at` is where the next part begins.
struct RuleReader {
    const std::string& text;
    size_t at = 0;
    FaultRule rule;

    bool AtChar(char c) const { return at < text.size() && text[at] == c; }
    void SkipDigits()
    {
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
    }
};

// CALL: a faultable call's name, any case, or "call" for any call.
bool ReadCall(RuleReader& r, std::string& call, std::string& error)
{
    while (r.at < r.text.size() && std::isalpha(static_cast<unsigned char>(r.text[r.at]))) ++r.at;
    call = r.text.substr(0, r.at);
    if (call.empty()) {
        error = "a rule starts with a call's name or \"call\", as in DeleteFileW#3:error=32";
        return false;
    }
    if (EqualsAscii(call, "call")) return true;
    // The calls of every tier: the trace build's and the device kit's too.
    for (const device_calls::Row* row : device_calls::kCalls)
        if (row->faults == device_calls::Faultable && EqualsAscii(call, row->name)) r.rule.op = row->name;
    if (!r.rule.op.empty()) return true;
    error = "unknown call \"" + call + "\" (";
    for (const device_calls::Row* row : device_calls::kCalls)
        if (row->faults == device_calls::Faultable) error += std::string(row->name) + ", ";
    error += "or call)";
    return false;
}

// "(" ARGUMENT ")": the argument ends at the first ")" that the rest of a
// selector follows ("#N:" or ":"), so it may hold parentheses itself.
bool ReadArgument(RuleReader& r, const std::string& call, std::string& error)
{
    if (!r.AtChar('(')) return true;
    const std::string& text = r.text;
    for (size_t close = text.find(')', r.at + 1); close != std::string::npos; close = text.find(')', close + 1)) {
        RuleReader rest{text, close + 1, {}};
        if (rest.AtChar('#')) {
            ++rest.at;
            rest.SkipDigits();
        }
        if (rest.AtChar(':')) {
            r.rule.argument = text.substr(r.at + 1, close - r.at - 1);
            r.at = close + 1;
            return true;
        }
    }
    error = "the argument after \"" + call + "(\" has no closing \")\" before the \":\"";
    return false;
}

// "#" N: which of the matching calls, from 1.
bool ReadNth(RuleReader& r, std::string& error)
{
    if (!r.AtChar('#')) return true;
    const size_t start = ++r.at;
    r.SkipDigits();
    int64_t n = 0;
    if (!ParseNumber(r.text.substr(start, r.at - start), 1, 1000000000, n)) {
        error = "\"#\" wants a call number from 1";
        return false;
    }
    r.rule.nth = static_cast<int>(n);
    return true;
}

// EFFECTS after the ":": "fail" alone, or effects separated by ","; data=
// runs to the end of the rule, commas and all.
bool ReadEffects(RuleReader& r, const std::string& call, std::string& error)
{
    if (!r.AtChar(':')) {
        error = "expected \":\" and what the call does, as in " + call + ":fail";
        return false;
    }
    const std::string effects = r.text.substr(r.at + 1);
    if (effects == "fail") return true;
    if (effects.empty()) {
        error = "nothing after \":\" (fail, error=, result=, type=, data=)";
        return false;
    }
    for (size_t pos = 0;;) {
        if (effects.compare(pos, 5, "data=") == 0) return ParseEffect(effects.substr(pos), r.rule, error);
        const size_t comma = effects.find(',', pos);
        const std::string effect = effects.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        if (effect == "fail") {
            error = "fail stands alone; use error= or result= with other effects";
            return false;
        }
        if (!ParseEffect(effect, r.rule, error)) return false;
        if (comma == std::string::npos) return true;
        pos = comma + 1;
    }
}

// The effects that only one call has.
bool CheckEffectsFitCall(const FaultRule& rule, std::string& error)
{
    if ((rule.fault.data || rule.fault.type) && rule.op != "RegQueryValueExW") {
        error = "data= and type= apply to RegQueryValueExW only";
        return false;
    }
    if (rule.fault.type && !rule.fault.data) {
        error = "type= needs data= (the bytes the value holds)";
        return false;
    }
    return true;
}

}  // namespace

bool ParseFaultRule(const std::string& text, FaultRule& out, std::string& error)
{
    RuleReader reader{text, 0, {}};
    reader.rule.text = text;
    std::string call;
    if (!ReadCall(reader, call, error) || !ReadArgument(reader, call, error) || !ReadNth(reader, error) ||
        !ReadEffects(reader, call, error) || !CheckEffectsFitCall(reader.rule, error))
        return false;
    out = std::move(reader.rule);
    return true;
}

FaultPlan MakeFaultPlan(std::vector<FaultRule> rules, FaultObserver observer)
{
    auto matched = std::make_shared<std::vector<int>>(rules.size(), 0);
    // Each rule's argument as the calls have theirs; none for one that is
    // not UTF-8, which no call's argument can match.
    std::vector<std::optional<std::u16string>> arguments;
    arguments.reserve(rules.size());
    for (const FaultRule& rule : rules)
        arguments.push_back(rule.argument ? Utf8ToUtf16(*rule.argument) : std::nullopt);
    return [rules = std::move(rules), arguments = std::move(arguments), observer = std::move(observer), matched](
               const std::string& op, int index, int, std::u16string_view argument) -> std::optional<Fault> {
        if (index == 1) std::fill(matched->begin(), matched->end(), 0);  // a new run
        const FaultRule* firing = nullptr;
        for (size_t i = 0; i < rules.size(); ++i) {
            const FaultRule& rule = rules[i];
            if (!rule.op.empty() && rule.op != op) continue;
            if (rule.argument && !(arguments[i] && EqualsIgnoreCase(*arguments[i], argument))) continue;
            int n = ++(*matched)[i];
            if (!firing && (rule.nth == 0 || rule.nth == n)) firing = &rule;
        }
        if (!firing) return std::nullopt;
        if (observer) observer(*firing, op, index, Utf16ToUtf8Lossy(argument));
        Fault fault = firing->fault;
        fault.rule = firing->text;
        return fault;
    };
}

}  // namespace sim
