// One line of a file a device wrote (its trace, the kit's log): a JSON
// object, read as it was written. Strings keep every UTF-16 unit the device
// wrote, a lone surrogate's \uXXXX escape too, which a stricter reader would
// refuse. What the values mean is read at the file's edge, by whoever
// knows the line's kind (call_json.h, device_trace.cpp).
#ifndef TRQ_HARNESS_RUNNER_JSON_LINE_H
#define TRQ_HARNESS_RUNNER_JSON_LINE_H

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace runner {

struct JsonValue {
    enum class Type { Null, Bool, Number, String, Object, Array };
    Type type = Type::Null;
    bool boolean = false;   // Bool
    bool integral = false;  // Number: a whole number that fits int64_t
    int64_t number = 0;     // Number, when integral
    std::u16string text;    // String: its UTF-16 units, escapes resolved
    std::vector<std::pair<std::string, JsonValue>> members;  // Object, in order
    std::vector<JsonValue> items;                            // Array

    bool Is(Type t) const { return type == t; }
    // The member named key of an object; null when there is none.
    const JsonValue* Find(std::string_view key) const;
    // A string's text as UTF-8 (a lone surrogate as U+FFFD), for messages.
    std::string Utf8() const;
};

// Reads line as one JSON value, nested at most 16 deep, as RFC 8259 has
// it; an object that names a member twice, which RFC 8259 leaves to the
// reader, is refused too. False with the reason in error.
bool ParseJsonLine(std::string_view line, JsonValue& out, std::string& error);

}  // namespace runner

#endif
