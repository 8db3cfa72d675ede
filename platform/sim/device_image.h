// A simulated device on the host: a folder anyone can make, read and diff.
//
//   DIR/registry.reg   the registry, a regedit export
//   DIR/files/         the device's file system
//   DIR/device.ini     special folders and files held open (optional)
#ifndef TRQ_SIM_DEVICE_IMAGE_H
#define TRQ_SIM_DEVICE_IMAGE_H

#include <filesystem>
#include <string>

#include "platform/sim/device_files.h"
#include "platform/sim/device_ini.h"
#include "platform/sim/reg_file.h"

namespace sim {

struct DeviceImage {
    std::filesystem::path dir;
    RegFile registry;
    DeviceConfig config;

    std::filesystem::path RegistryPath() const { return dir / "registry.reg"; }
    std::filesystem::path ConfigPath() const { return dir / "device.ini"; }
    DeviceFiles Files() const { return DeviceFiles(dir / "files"); }
};

// Reads a device image; on failure error says which file and why, and
// nothing has been changed.
bool LoadDeviceImage(const std::filesystem::path& dir, DeviceImage& out, std::string& error);

// Write back the registry or device.ini, each atomically.
bool SaveRegistry(const DeviceImage& image, std::string& error);
bool SaveConfig(const DeviceImage& image, std::string& error);

}  // namespace sim

#endif
