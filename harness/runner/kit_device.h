// The simulated device as a device kit's log says the Pocket PC was
// prepared, playing the runs of the Pocket PC's trace: the sample package
// as a fresh install leaves it (runner::SampleDeviceInMemory), in the folders
// the kit read on the device (on desktop Windows, on a drive that names the
// simulated device's root), with what the kit held open held open, as it
// held it (a running program, or a file open without sharing), until the
// device restarts. Each run is played
// by the device code built for this host, given the buttons the device's
// user pressed, and the simulated device's answers are compared with the
// device's, call by call (same_device.h).
#ifndef TRQ_HARNESS_RUNNER_KIT_DEVICE_H
#define TRQ_HARNESS_RUNNER_KIT_DEVICE_H

#include <string>
#include <vector>

#include "harness/runner/kit_log_reader.h"
#include "harness/runner/same_device.h"
#include "platform/trace/device_facts.h"
#include "platform/sim/device_image.h"

namespace runner {

// How the checker's simulated device answers the deletion of a file
// another program holds, and why: as the file system whose answers are
// those the kit's probes got, or else as the one the device's facts name
// (Windows CE before 5.0, Pocket PC 2003 among them, keeps the package in
// the object store; Windows Mobile 5 and later behind the FAT driver;
// desktop Windows answers as itself).
struct HeldFileAnswers {
    formats::FileSystem system = formats::FileSystem::Fat;
    std::string why;
};
HeldFileAnswers ChooseHeldFileAnswers(const KitLog* kit, const DeviceFacts& facts);

// The package's image in memory, prepared as kit says; a null kit: the
// sample package freshly installed, nothing held. Held files are refused
// as system refuses them.
sim::DeviceImage KitDeviceImage(const KitLog* kit, formats::FileSystem system);

class KitDevice {
public:
    KitDevice(const KitLog* kit, formats::FileSystem system) : image_(KitDeviceImage(kit, system)), kit_(kit) {}

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
