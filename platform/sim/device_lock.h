// One command at a time on a device: a flock on the lock file in the device
// folder, exclusive for a command that changes the device, shared for one
// that only reads it. Taken at once or not at all: a command that finds it
// taken is refused. The holder's process id is written into the file so
// that the refusal can name it.
#ifndef TRQ_SIM_DEVICE_LOCK_H
#define TRQ_SIM_DEVICE_LOCK_H

#include <string>

#include "platform/sim/device_folder.h"

namespace sim {

// The lock file, in the device folder. It stays there between commands.
extern const char kDeviceLockFile[];

class DeviceLock {
public:
    enum class Mode { Shared, Exclusive };

    DeviceLock() = default;
    ~DeviceLock();
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;

    // False with error ("the device is in use by process 1234", or why the
    // lock file could not be opened). A shared lock on a device whose folder
    // cannot be written and has no lock file yet is taken as held: no other
    // command can change such a device either.
    bool Take(const host::Folder& device, Mode mode, std::string& error);

private:
    int fd_ = -1;
    Mode mode_ = Mode::Shared;
};

}  // namespace sim

#endif
