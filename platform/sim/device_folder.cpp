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

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// No host path has more levels than this; a walk up that takes more is not
// on a host file system.
constexpr int kDeepestHostFolder = 4096;

// A device path has at most MAX_PATH characters, so no device file lies
// deeper below files/ than this.
constexpr int kDeepestDeviceFolder = 260;

// Whether folder or anything below it, never through a link, is file.
bool HoldsFile(const host::Folder& folder, const struct stat& file, int depth)
{
    for (const std::string& name : folder.Names()) {
        struct stat st;
        if (::fstatat(folder.Fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (SameFile(st, file)) return true;
        host::Folder sub;
        if (S_ISDIR(st.st_mode) && depth < kDeepestDeviceFolder && folder.Sub(name, sub) &&
            HoldsFile(sub, file, depth + 1))
            return true;
    }
    return false;
}

}  // namespace

bool ReadDeviceFile(const host::Folder& device, const std::string& name, size_t limit,
                    std::string& bytes, std::string& error, bool* missing)
{
    return host::ReadRegularFile(device.Fd(), name, limit, host::Links::Refuse, bytes, error, missing);
}

bool ReplaceDeviceFile(const host::Folder& device, const std::string& name, std::string_view bytes,
                       std::string& error, bool killSteps)
{
    return host::ReplaceFile(device, name, bytes, host::AtLink::Refuse, error, killSteps ? KillStep : nullptr);
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

bool FolderInDevice(const host::Folder& device, int folderFd, bool& inside, std::string& error)
{
    struct stat deviceSt, st;
    if (::fstat(device.Fd(), &deviceSt) != 0 || ::fstat(folderFd, &st) != 0) {
        error = "cannot examine its folder: " + Reason(errno);
        return false;
    }
    int at = -1;  // the parent looked at last, once there is one
    int cause = ELOOP;
    bool known = false;
    for (int level = 0; level < kDeepestHostFolder && !known; ++level) {
        if (SameFile(st, deviceSt)) {
            inside = known = true;
            break;
        }
        const int parent = ::openat(at >= 0 ? at : folderFd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
        struct stat parentSt;
        const bool looked = parent >= 0 && ::fstat(parent, &parentSt) == 0;
        if (!looked) cause = errno;
        if (at >= 0) ::close(at);
        at = parent;
        if (!looked) break;
        if (SameFile(parentSt, st)) {  // the root is its own parent
            inside = false;
            known = true;
        }
        st = parentSt;
    }
    if (at >= 0) ::close(at);
    if (!known) error = "cannot examine the folders it lies in: " + Reason(cause);
    return known;
}

bool FileOfDevice(const host::Folder& device, const struct stat& file)
{
    return file.st_nlink > 1 && HoldsFile(device, file, 0);
}

}  // namespace sim
