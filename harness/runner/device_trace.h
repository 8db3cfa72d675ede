// The trace build's "\TRQ Uninstall trace.txt" as a Pocket PC wrote it, run
// after run, each the device's facts first and then its calls, read as a
// file a device appends lines to (device_lines.h). The simulated device's
// --trace is read the same way; its lines of a program the run's program started (marked
// "sim":{"process":N}) are none of the run's calls and are passed over.
#ifndef TRQ_HARNESS_RUNNER_DEVICE_TRACE_H
#define TRQ_HARNESS_RUNNER_DEVICE_TRACE_H

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "harness/runner/json_line.h"
#include "platform/sim/recorded_call.h"
#include "platform/trace/device_facts.h"

namespace runner {

// One call as the device recorded it once the call had returned:
// {"call":NAME,"args":{...},"ret":...,"error":N}, read as values. A call
// the list does not have (a trace of another build) keeps its name alone:
// record.call is null.
struct TraceRecord {
    size_t line = 0;  // in the file, from 1
    std::string call;
    sim::RecordedCall record;
};

// One run of the uninstaller: from its first record, which holds the
// device's facts, to the next one.
struct TraceRun {
    size_t line = 0;  // of the first record
    DeviceFacts facts{};
    std::string build;
    std::vector<TraceRecord> calls;  // call n of the run is calls[n - 1]
    // A call whose "calling" line has no record after it: it never returned
    // (a soft reset, a box nobody answered), and the run ended in it. Empty
    // when the run's last call returned.
    std::string endedIn;
    size_t endedInLine = 0;
};

struct DeviceTrace {
    size_t lines = 0;         // whole lines read
    size_t partialBytes = 0;  // of a last line cut short, without its end; 0 when the file ends whole
    std::vector<TraceRun> runs;
};

// Reads a trace file's bytes. False with "line N: why" in error for what
// the trace build never writes: a line too long, a line that is no JSON
// object, a record before the first run's first record, a call that did not
// return with the run going on, a record of another call than the one
// called, an argument or result that is not what its kind writes
// (call_json.h).
bool ReadDeviceTrace(std::string_view text, DeviceTrace& out, std::string& error);

}  // namespace runner

#endif
