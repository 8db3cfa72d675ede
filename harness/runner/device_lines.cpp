#include "harness/runner/device_lines.h"

namespace runner {

using Type = JsonValue::Type;

namespace {

// Whether a line's text, without the "\r\n" that ends it, fits the buffer
// its writer writes whole lines in. A last line cut short is a beginning
// of such a line, and must fit too.
bool FitsItsWriter(std::string_view line, size_t lineSize, size_t number, std::string& error)
{
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() + 2 <= lineSize) return true;
    error = "line " + std::to_string(number) + ": longer than the " + std::to_string(lineSize) +
            " bytes its writer writes a line in";
    return false;
}

}  // namespace

bool ForEachLine(std::string_view text, size_t lineSize, size_t& lines, size_t& partialBytes, std::string& error,
                 const std::function<bool(size_t line, JsonValue& value, std::string& why)>& take)
{
    lines = partialBytes = 0;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        if (end == std::string_view::npos) {
            partialBytes = text.size() - at;
            return FitsItsWriter(text.substr(at), lineSize, lines + 1, error);
        }
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        ++lines;
        if (!FitsItsWriter(line, lineSize, lines, error)) return false;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        JsonValue value;
        std::string why;
        if (!ParseJsonLine(line, value, why)) {
            error = "line " + std::to_string(lines) + ": not JSON: " + why;
            return false;
        }
        if (!value.Is(Type::Object)) why = "not a JSON object";
        else take(lines, value, why);
        if (!why.empty()) {
            error = "line " + std::to_string(lines) + ": " + why;
            return false;
        }
    }
    return true;
}

const JsonValue* StringMember(const JsonValue& v, std::string_view key)
{
    const JsonValue* m = v.Find(key);
    return m && m->Is(Type::String) ? m : nullptr;
}

}  // namespace runner
