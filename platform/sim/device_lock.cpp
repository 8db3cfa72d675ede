#include "platform/sim/device_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sim {

const char kDeviceLockFile[] = ".device.lock";

namespace {

// The process id the holder wrote, or 0 when the file holds none.
long HolderOf(int fd)
{
    char text[24] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    return pid > 0 && end && *end == '\n' ? pid : 0;
}

int OpenLockFile(const host::Folder& device, DeviceLock::Mode mode)
{
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    int fd = ::openat(device.Fd(), kDeviceLockFile, O_RDWR | O_CREAT | flags, 0644);
    // Reading a device needs no write permission on it.
    if (fd < 0 && mode == DeviceLock::Mode::Shared && (errno == EACCES || errno == EROFS))
        fd = ::openat(device.Fd(), kDeviceLockFile, O_RDONLY | flags);
    return fd;
}

}  // namespace

DeviceLock::~DeviceLock()
{
    if (fd_ < 0) return;
    // The last holder leaves the file empty, so that no process id outlives
    // its command. A shared holder is the last when it can take the lock
    // for itself alone.
    if (mode_ == Mode::Exclusive || ::flock(fd_, LOCK_EX | LOCK_NB) == 0) (void)!::ftruncate(fd_, 0);
    ::close(fd_);
}

bool DeviceLock::Take(const host::Folder& device, Mode mode, std::string& error)
{
    const int fd = OpenLockFile(device, mode);
    if (fd < 0) {
        if (mode == Mode::Shared && errno == ENOENT) return true;
        error = std::string(kDeviceLockFile) + ": cannot open the device's lock file: " +
                (errno == ELOOP ? "a symbolic link (not followed)" : std::strerror(errno));
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = std::string(kDeviceLockFile) + ": the device's lock file is not a regular file";
        ::close(fd);
        return false;
    }
    if (::flock(fd, (mode == Mode::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        const long holder = HolderOf(fd);
        error = "the device is in use by " +
                (holder ? "process " + std::to_string(holder) : std::string("another command")) +
                " (try again when it has finished)";
        ::close(fd);
        return false;
    }
    fd_ = fd;
    mode_ = mode;
    // A lock file opened read-only keeps the lock all the same, unnamed.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, pid.data(), pid.size(), 0);
    return true;
}

}  // namespace sim
