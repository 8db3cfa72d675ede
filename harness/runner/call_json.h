// What a trace's lines hold, read from their JSON at the file's edge into
// the models the replay and the checker compare: a call's record
// (sim::RecordedCall, each member decoded by its parameter's kind) and a
// run's first record (DeviceFacts).
#ifndef TRQ_HARNESS_RUNNER_CALL_JSON_H
#define TRQ_HARNESS_RUNNER_CALL_JSON_H

#include <string>

#include "harness/runner/json_line.h"
#include "platform/sim/recorded_call.h"
#include "platform/trace/device_facts.h"

namespace runner {

// The record {"call":NAME,"args":{...},"ret":...,"error":N} of the call of
// row. A member the record leaves out reads as missing; one that is not
// what the trace build writes for its kind (a number for a string, a
// handle not "0x" and at most 8 hexadecimal digits, bytes not pairs of
// them) is refused with why, unless the record says it was cut, when it
// reads as missing too. What the simulated device adds ("sim") is not read.
bool ReadCallRecord(const JsonValue& record, const device_calls::Row& row, sim::RecordedCall& out, std::string& why);

// A run's first record's facts: "os", "platformType" and "oem", each
// unknown where it is null or missing, and the texts unknown where they are
// not strings; texts longer than the trace build reads are cut to what it
// reads. An "os" that is neither null nor an object, or whose major, minor,
// build or platform is not a whole number of 32 bits (0 to 4294967295), is
// refused with why: no device wrote it.
bool FactsOfRecord(const JsonValue& record, DeviceFacts& out, std::string& why);

}  // namespace runner

#endif
