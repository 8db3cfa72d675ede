#include "platform/sim/locked_device.h"

namespace sim {

bool LockDeviceFolder(const std::filesystem::path& dir, DeviceLock::Mode mode, LockedDevice& device,
                      std::string& error)
{
    if (!OpenDeviceFolder(dir, device.folder, error)) return false;
    if (!device.lock.Take(device.folder, mode, error)) {
        error = dir.string() + ": " + error;
        return false;
    }
    device.mode = mode;
    return true;
}

bool LoadLockedDevice(const std::filesystem::path& dir, LockedDevice& device, std::string& error)
{
    if (device.mode == DeviceLock::Mode::Exclusive) {
        std::string reason;
        if (!CheckDeviceWritable(device.folder, reason)) {
            error = dir.string() + ": " + reason + " (nothing was changed)";
            return false;
        }
        if (!TidyDevice(device.folder, dir, error)) return false;
    }
    return LoadDeviceImage(device.folder, dir, device.image, error);
}

bool OpenLockedDevice(const std::filesystem::path& dir, DeviceLock::Mode mode, LockedDevice& device,
                      std::string& error)
{
    return LockDeviceFolder(dir, mode, device, error) && LoadLockedDevice(dir, device, error);
}

}  // namespace sim
