// The simulated device as a device kit's log says the Pocket PC was
// prepared, playing the runs of the Pocket PC's trace: the sample package
// as a fresh install leaves it (runner::SampleDeviceInMemory), in the folders
// the kit read on the device, with what the kit held open held open (a
// running program, or a file open without sharing, both as a program the
// user started holds a file: until the device restarts). Each run is played
// by the device code built for this host, given the buttons the device's
// user pressed, and the simulated device's answers are compared with the
// device's, call by call.
#ifndef TRQ_HARNESS_RUNNER_KIT_DEVICE_H
#define TRQ_HARNESS_RUNNER_KIT_DEVICE_H

#include <string>
#include <vector>

#include "harness/runner/device_trace.h"
#include "platform/sim/device_image.h"
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

// The package's image in memory, prepared as kit says; a null kit: the
// sample package freshly installed, nothing held.
sim::DeviceImage KitDeviceImage(const KitLog* kit);

class KitDevice {
public:
    explicit KitDevice(const KitLog* kit) : image_(KitDeviceImage(kit)), kit_(kit) {}

    // Plays the device's next run on the simulated device; between two runs
    // the device restarts, as the Pocket PC did. cutShort: the trace ends in
    // a partial line right after this run.
    SameDeviceRun Play(const TraceRun& run, bool cutShort);

private:
    sim::DeviceImage image_;
    const KitLog* kit_;
    int runs_ = 0;
    bool restarted_ = false;  // the last run ended in the device's restart
};

}  // namespace runner

#endif
