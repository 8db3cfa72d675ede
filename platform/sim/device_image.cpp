#include "platform/sim/device_image.h"

namespace sim {

bool LoadDeviceImage(const std::filesystem::path& dir, DeviceImage& out, std::string& error)
{
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) {
        error = dir.string() + ": not a device image folder";
        return false;
    }
    DeviceImage image;
    image.dir = dir;
    if (!std::filesystem::is_directory(dir / "files", ec)) {
        error = (dir / "files").string() + ": missing (the device's file system)";
        return false;
    }
    RegFileError regError;
    if (!ReadRegFile(image.RegistryPath(), image.registry, regError)) {
        error = regError.Message();
        return false;
    }
    if (!ReadDeviceIni(image.ConfigPath(), image.config, error)) return false;
    out = std::move(image);
    return true;
}

bool SaveRegistry(const DeviceImage& image, std::string& error)
{
    return WriteRegFile(image.RegistryPath(), image.registry, error);
}

bool SaveConfig(const DeviceImage& image, std::string& error)
{
    return WriteDeviceIni(image.ConfigPath(), image.config, error);
}

}  // namespace sim
