// A file a Pocket PC appends JSON lines to, each ended by "\r\n": the trace
// build's trace and the kit's log. A file cut short (a reset or a flat
// battery in the middle of a line) is read to its last whole line. Each
// writer writes a line whole in a buffer of its own (the trace build's 4,096
// bytes, the kit's 2,048, the "\r\n" included): a longer line, the last one
// cut short too, is none of theirs and is refused.
#ifndef TRQ_HARNESS_RUNNER_DEVICE_LINES_H
#define TRQ_HARNESS_RUNNER_DEVICE_LINES_H

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "harness/runner/json_line.h"

namespace runner {

// Each whole line of text as a JSON object, with its number, to take, which
// says in why what is wrong with it; a last line without its end is left to
// partialBytes. Every line, the last one too, must fit lineSize bytes with
// its "\r\n". False with "line N: why" in error.
bool ForEachLine(std::string_view text, size_t lineSize, size_t& lines, size_t& partialBytes, std::string& error,
                 const std::function<bool(size_t line, JsonValue& value, std::string& why)>& take);

// The member key of v where it is a string, else null.
const JsonValue* StringMember(const JsonValue& v, std::string_view key);

}  // namespace runner

#endif
