// The call trace of the simulated device, in the trace build's format
// (platform/trace/call_record.h): each run's first record the device's
// facts, then for each call a {"calling":NAME} line and, once it returned,
// its record, with what only the simulated device knows of it as the
// extra member "sim". A call that ended the run (a soft reset the device
// takes, a box nobody answers, a wait no program ends) has no record: on a
// device it never returns. A program the run's program starts runs inside
// its CreateProcessW: its lines come between that call's "calling" line and
// its record, each naming the program ("sim":{"process":N}).
//
// The records are kept in memory, as values (recorded_call.h), only when
// asked for: a run that loops on a call must not grow the host's memory
// with its trace.
#ifndef TRQ_SIM_TRACE_H
#define TRQ_SIM_TRACE_H

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/sim/recorded_call.h"
#include "platform/trace/device_facts.h"

namespace sim {

class Trace {
public:
    // With a stream, each line is written as the call happens.
    Trace() = default;
    Trace(std::ostream* out, bool keep) : out_(out), keep_(keep) {}

    bool Keeps() const { return keep_; }
    // Whether a call's record goes anywhere: to the stream, or kept.
    bool Wanted() const { return out_ || keep_; }

    // The run's first record, naming the device code it comes from.
    void Start(const std::string& build, const DeviceFacts& facts);
    // A call about to be made: its "calling" line, naming the program
    // that makes it where another program of the run started it.
    void Calling(const device_calls::Row& call, const SimNotes& notes);
    // The call returned: its record.
    void Returned(const TracedCall& call, const SimNotes& notes);
    // The call ended the run: kept as the simulated device answered it,
    // which no device records; nothing is written.
    void EndedRun(const TracedCall& call, const SimNotes& notes);

    // Empty unless the trace keeps its records.
    const std::vector<RecordedCall>& Records() const { return records_; }
    // Only the kept records of one call, e.g. every DeleteFileW.
    std::vector<RecordedCall> Of(const device_calls::Row& call) const;
    // The call the run ended in, when it did and the trace keeps records.
    const std::optional<RecordedCall>& EndedIn() const { return endedIn_; }

private:
    std::ostream* out_ = nullptr;
    bool keep_ = false;
    std::vector<RecordedCall> records_;
    std::optional<RecordedCall> endedIn_;
};

}  // namespace sim

#endif
