#include "platform/sim/device_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "formats/host_file.h"
#include "formats/host_folder.h"
#include "platform/sim/kill_step.h"

namespace sim {

namespace {

// Every device file written through a temporary file.
const char* const kReplacedFiles[] = {kRegistryFile, kConfigFile, kWriteLentFile};

std::string Reason(int number) { return std::strerror(number); }

}  // namespace

bool ReadDeviceFile(const host::Folder& device, const std::string& name, size_t limit,
                    std::string& bytes, std::string& error, bool* missing)
{
    return host::ReadRegularFile(device.Fd(), name, limit, host::Links::Refuse, bytes, error, missing);
}

bool ReplaceDeviceFile(const host::Folder& device, const std::string& name, std::string_view bytes,
                       std::string& error)
{
    return host::ReplaceFile(device, name, bytes, host::AtLink::Refuse, error, KillStep);
}

bool CheckDeviceWritable(const host::Folder& device, std::string& error)
{
    std::string temp;
    const int fd = host::CreateTemporary(device, kReplacedFiles[0], temp);
    if (fd < 0) {
        error = "the device folder cannot be written: " + Reason(errno);
        return false;
    }
    ::close(fd);
    ::unlinkat(device.Fd(), temp.c_str(), 0);
    // A read-only files/ is lent write permission, which takes its owner.
    struct stat st;
    if (::fstatat(device.Fd(), kFilesFolder, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
        ::faccessat(device.Fd(), kFilesFolder, W_OK, AT_EACCESS) != 0 && st.st_uid != ::geteuid()) {
        error = "files/ cannot be written: " + Reason(EACCES);
        return false;
    }
    return true;
}

void RemoveStaleTemporaries(const host::Folder& device)
{
    bool removed = false;
    for (const std::string& entry : device.Names()) {
        for (const char* name : kReplacedFiles) {
            const std::string prefix = host::TemporaryPrefix(name);
            if (entry.compare(0, prefix.size(), prefix) == 0 && entry.size() > prefix.size())
                removed |= ::unlinkat(device.Fd(), entry.c_str(), 0) == 0;
        }
    }
    if (removed) device.Sync();
}

}  // namespace sim
