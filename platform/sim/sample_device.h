// A sample device with the package fully installed, beside things that are
// not the package's and must survive its removal.
#ifndef TRQ_SIM_SAMPLE_DEVICE_H
#define TRQ_SIM_SAMPLE_DEVICE_H

#include <filesystem>
#include <string>

#include "platform/sim/device_image.h"

namespace sim {

// The install directory the sample device records.
constexpr const char16_t* kSampleInstallDir = u"\\Program Files\\TRQ";

// Makes the sample device in dir, which must not exist or be empty.
bool InitSampleDevice(const std::filesystem::path& dir, std::string& error);

// The sample device's registry, for tests that start from it.
RegFile SampleRegistry();

}  // namespace sim

#endif
