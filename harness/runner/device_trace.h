// The two files a device kit brings back from a Pocket PC, read as the
// device wrote them: the trace build's "\TRQ Uninstall trace.txt", run after
// run, each the device's facts first and then its calls, and the kit's
// "\TRQ Uninstall Kit log.txt". Both are JSON lines ended by "\r\n" and
// appended to; a file cut short (a reset or a flat battery in the middle of
// a line) is read to its last whole line. Each writer writes a line whole in
// a buffer of its own (the trace build's 4,096 bytes, the kit's 2,048, the
// "\r\n" included): a longer line, the last one cut short too, is none of
// theirs and is refused. The simulated device's --trace is read the same
// way; its lines of a program the run's program started (marked
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
    DeviceFacts facts;
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

// A file the kit holds open on the device, and how: "running program" (a
// copy of the kit running as the package's program) or "open without
// sharing"; by: the program that holds it.
struct KitHold {
    std::u16string file;
    std::string how;
    std::u16string by;
};

// A deletion the kit tried itself on a file it held, and put back.
struct KitProbe {
    std::u16string file;
    std::string how;
    std::string result, error;  // as written
    bool restored = false;
};

// What the kit's log says of the device: the folders it read, what it made,
// what it holds. Lines of kinds it does not know are passed over.
struct KitLog {
    size_t lines = 0;
    size_t partialBytes = 0;
    std::vector<std::string> modes;  // of each "start" line, in order
    // Each folder the kit read ("Startup", "Programs", "Temp", "InstallDir",
    // "Windows"), as the device gave it ("" where it did not say); the last
    // reading of each.
    std::vector<std::pair<std::string, std::u16string>> folders;
    // What is held, since the last "prepare" (the whole log when there is none).
    std::vector<KitHold> holds;
    std::vector<KitProbe> probes;
    int made = 0, existed = 0;
    std::vector<std::u16string> stopped;  // programs the kit stopped

    const std::u16string* Folder(std::string_view name) const;
    // The hold on file (as the device names files: case-insensitive), or null.
    const KitHold* HoldOf(std::u16string_view file) const;
};

// Reads a kit log's bytes. False with "line N: why" in error for a line too
// long, a line that is no JSON object with a "kit" member, a line of a known
// kind without what that kind must say, or a path longer than MAX_PATH
// UTF-16 units (the kit writes no longer one: a device has none).
bool ReadKitLog(std::string_view text, KitLog& out, std::string& error);

}  // namespace runner

#endif
