// What a person is told about a device without running the uninstaller:
// what of the package is there, what is held open and why (trq-uninstall-sim
// --status and --restart).
#ifndef TRQ_HARNESS_RUNNER_DEVICE_STATUS_H
#define TRQ_HARNESS_RUNNER_DEVICE_STATUS_H

#include <ostream>
#include <string>
#include <vector>

#include "platform/sim/device_image.h"
#include "platform/sim/device_startup.h"

namespace runner {

using sim::DeviceImage;
using sim::StartupHold;

// The plan items present (marked when held open), then the files the device
// holds, each with its rule and the registration behind it (or that it is no
// longer registered and goes at the next start), then the files programs
// the user started hold, and the programs they started that still run.
// Reads the image only.
void WriteDeviceStatus(std::ostream& out, const DeviceImage& image);

// What a start releases: the files programs the user had started held,
// those that programs the user started and that still run hold, and
// their images.
std::vector<std::u16string> ReleasedAtStart(const formats::DeviceConfig& config);

// What a start did: the files it released (ReleasedAtStart before it) and
// what the device holds now.
void WriteDeviceStart(std::ostream& out, const std::vector<std::u16string>& released,
                      const std::vector<StartupHold>& holds);

}  // namespace runner

#endif
