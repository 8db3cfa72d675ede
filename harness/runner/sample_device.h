// A sample device with the package fully installed, beside things that are
// not the package's and must survive its removal.
#ifndef TRQ_HARNESS_RUNNER_SAMPLE_DEVICE_H
#define TRQ_HARNESS_RUNNER_SAMPLE_DEVICE_H

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/device_image.h"

namespace runner {

using formats::RegFile;
using sim::DeviceImage;

// The install directory the sample device records.
constexpr const char16_t* kSampleInstallDir = u"\\Program Files\\TRQ";

// How the sample device is left. Started: the device has started once since
// the package was installed, so the program and libraries the package
// registered are held open, as on a handheld that has been restarted.
// Installed: as the package manager left it, before any restart; nothing is
// held open. Tests that play the same scenarios as a device with no start-up
// of its own (TRQUninstall.exe under Wine) start from there.
enum class SampleState { Installed, Started };

// The kinds of Pocket PC a sample device can be: what it says of itself,
// how it keeps its registry and which file system keeps the package.
struct SampleModel {
    const char* name;  // as --model names it: "wm5", "ppc2003"
    const char* description;
    formats::DeviceSection device;
};
// Windows Mobile 5 (Windows CE 5.1, hive registry, FAT; device.ini's
// defaults), then Pocket PC 2003 (Windows CE 4.20, registry in RAM, the
// object store).
const std::vector<SampleModel>& SampleModels();
const SampleModel* SampleModelNamed(std::string_view name);

// Whether dir is free to make a device in: not there, or an empty folder
// (but for the device's lock file, which the command making it may hold).
bool CanHoldSampleDevice(const std::filesystem::path& dir);

// Makes the sample device in dir, which CanHoldSampleDevice.
// trq-uninstall-sim --init-device makes it Started.
bool InitSampleDevice(const std::filesystem::path& dir, std::string& error,
                      SampleState state = SampleState::Installed, const formats::DeviceSection& device = {});

// The same device as an image in memory, for runs that need no disk.
DeviceImage SampleDeviceInMemory(SampleState state = SampleState::Installed);

// The sample device's registry, for tests that start from it.
RegFile SampleRegistry();

}  // namespace runner

#endif
