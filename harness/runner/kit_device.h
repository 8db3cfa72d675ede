// The simulated device as a device kit's log says the Pocket PC was
// prepared, playing the runs of the Pocket PC's trace: the sample package
// as a fresh install leaves it (runner::SampleDeviceInMemory), in the folders
// the kit read on the device (on desktop Windows, on a drive that names the
// simulated device's root), with what the kit held open held open (a
// running program, or a file open without sharing, both as a program the
// user started holds a file: until the device restarts). Each run is played
// by the device code built for this host, given the buttons the device's
// user pressed, and the simulated device's answers are compared with the
// device's, call by call (same_device.h).
#ifndef TRQ_HARNESS_RUNNER_KIT_DEVICE_H
#define TRQ_HARNESS_RUNNER_KIT_DEVICE_H

#include <string>
#include <vector>

#include "harness/runner/kit_log_reader.h"
#include "harness/runner/same_device.h"
#include "platform/sim/device_image.h"

namespace runner {

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
