// Whether a Pocket PC and the simulated device are the same device: a
// device's run, as its trace holds it, and the simulated device's run of the
// same scenario compared call by call, as the checker reports them.
#ifndef TRQ_HARNESS_RUNNER_SAME_DEVICE_H
#define TRQ_HARNESS_RUNNER_SAME_DEVICE_H

#include <string>
#include <vector>

#include "harness/runner/device_trace.h"
#include "harness/runner/kit_log_reader.h"
#include "platform/sim/trace.h"

namespace runner {

// An answer of the simulated device that is not the device's.
struct AnswerFinding {
    int call = 0;  // in the run, from 1
    std::string text;
};

struct SameDeviceRun {
    int compared = 0;  // calls whose answers were compared
    std::vector<AnswerFinding> findings;
    // Where the simulated device's run stopped making the device's calls
    // (its answers led elsewhere), and what each made there; 0 when never.
    int otherWayAt = 0;
    std::string otherWay;
    bool reachedCut = false;  // compared up to where the trace is cut short
};

// Compares a device's run with the simulated device's, call by call, as
// the checker does: what each answered, handles mapped by where they came
// from; holds, what the kit held (for the findings' words), or null;
// cutShort, that the device's trace ends in a partial line after the run.
SameDeviceRun CompareRuns(const TraceRun& device, const TraceRun& simulated, const KitLog* holds, bool cutShort);
// The simulated device's run as a trace of it reads: its records, and the
// call it ended in.
TraceRun AsTraceRun(const sim::Trace& trace);

}  // namespace runner

#endif
