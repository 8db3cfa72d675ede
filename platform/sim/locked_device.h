// A device folder open and locked for one command, and the image loaded
// from it. A command takes the lock before it looks at anything in the
// folder, and one that changes the device then makes sure it can write it
// and tidies what a killed command left before the image is loaded. A
// command with more to refuse before the device changes (a run's trace)
// takes the two steps one by one and refuses in between.
#ifndef TRQ_SIM_LOCKED_DEVICE_H
#define TRQ_SIM_LOCKED_DEVICE_H

#include <filesystem>
#include <string>

#include "platform/sim/device_image.h"
#include "platform/sim/device_lock.h"

namespace sim {

struct LockedDevice {
    host::Folder folder;
    DeviceLock lock;
    DeviceLock::Mode mode = DeviceLock::Mode::Shared;
    DeviceImage image;
};

// Opens the folder dir and takes its lock in mode. False with the refusal:
// nothing has been changed.
bool LockDeviceFolder(const std::filesystem::path& dir, DeviceLock::Mode mode, LockedDevice& device,
                      std::string& error);

// Loads the image of a device LockDeviceFolder locked. Under an exclusive
// lock the device is first checked to be writable and then tidied
// (TidyDevice). False with the refusal.
bool LoadLockedDevice(const std::filesystem::path& dir, LockedDevice& device, std::string& error);

// Both steps, for a command with nothing to refuse in between.
bool OpenLockedDevice(const std::filesystem::path& dir, DeviceLock::Mode mode, LockedDevice& device,
                      std::string& error);

}  // namespace sim

#endif
