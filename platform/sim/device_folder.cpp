#include "platform/sim/device_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/sim/host_file.h"
#include "platform/sim/kill_step.h"

namespace sim {

namespace {

// Every device file written through a temporary file. The temporary of
// NAME is ".NAME.tmp." and 16 random hex digits.
const char* const kReplacedFiles[] = {kRegistryFile, kConfigFile, kWriteLentFile};

std::string TempPrefix(const std::string& name) { return "." + name + ".tmp."; }

std::string Reason(int number) { return std::strerror(number); }

std::string RandomSuffix()
{
    unsigned long long value = 0;
    if (::getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) {
        // No entropy to be had: the exclusive create still refuses a planted name.
        static unsigned long long counter = 0;
        value = (static_cast<unsigned long long>(::getpid()) << 32) ^ ++counter ^
                static_cast<unsigned long long>(std::time(nullptr));
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", value);
    return text;
}

// Creates a temporary file for `name` in the folder, exclusively and never
// through a link. Its descriptor, or -1 with errno set.
int CreateTemp(const HostFolder& device, const std::string& name, std::string& temp)
{
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temp = TempPrefix(name) + RandomSuffix();
        fd = ::openat(device.Fd(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) break;
    }
    return fd;
}

// The permissions the new file gets: those of the file it replaces, or
// 0644 less the umask. False with error for a name that is not a regular file.
bool ModeToKeep(const HostFolder& device, const std::string& name, mode_t& mode, std::string& error)
{
    struct stat st;
    if (::fstatat(device.Fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode)) {
            error = "a symbolic link (not replaced)";
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            error = "not a regular file (not replaced)";
            return false;
        }
        mode = st.st_mode & 07777;
        return true;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0644 & ~mask;
    return true;
}

// Writes, syncs and gives the temporary file its permissions.
bool FillTemp(int fd, std::string_view bytes, mode_t mode, std::string& error)
{
    if (!host::WriteAll(fd, bytes)) {
        error = "cannot write: " + Reason(errno);
        return false;
    }
    KillStep();
    if (::fchmod(fd, mode) != 0) {
        error = "cannot set its permissions: " + Reason(errno);
        return false;
    }
    if (::fsync(fd) != 0) {
        error = "cannot write: " + Reason(errno);
        return false;
    }
    return true;
}

}  // namespace

HostFolder::HostFolder(int fd)
    : fd_(new int(fd), [](const int* p) {
          ::close(*p);
          delete p;
      })
{
}

bool HostFolder::Open(const std::filesystem::path& path, HostFolder& out)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    out = HostFolder(fd);
    return true;
}

bool HostFolder::Sub(const std::string& name, HostFolder& out) const
{
    const int fd = ::openat(Fd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    out = HostFolder(fd);
    return true;
}

std::vector<std::string> HostFolder::Names() const
{
    std::vector<std::string> names;
    // A descriptor of its own, so that reading the folder moves no offset
    // of this one.
    const int fd = ::openat(Fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return names;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

bool HostFolder::Sync() const { return ::fsync(Fd()) == 0; }

bool ReadDeviceFile(const HostFolder& device, const std::string& name, size_t limit,
                    std::string& bytes, std::string& error, bool* missing)
{
    struct stat st;
    if (missing) *missing = false;
    if (::fstatat(device.Fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
        if (missing) *missing = true;
        error = "cannot open: " + Reason(ENOENT);
        return false;
    }
    return host::ReadRegularFile(device.Fd(), name, limit, host::Links::Refuse, bytes, error);
}

bool ReplaceDeviceFile(const HostFolder& device, const std::string& name, std::string_view bytes,
                       std::string& error)
{
    mode_t mode = 0;
    if (!ModeToKeep(device, name, mode, error)) return false;
    std::string temp;
    const int fd = CreateTemp(device, name, temp);
    if (fd < 0) {
        error = "cannot create a temporary file beside it: " + Reason(errno);
        return false;
    }
    KillStep();
    bool ok = FillTemp(fd, bytes, mode, error);
    if (::close(fd) != 0 && ok) {
        error = "cannot write: " + Reason(errno);
        ok = false;
    }
    if (ok && ::renameat(device.Fd(), temp.c_str(), device.Fd(), name.c_str()) != 0) {
        error = "cannot replace: " + Reason(errno);
        ok = false;
    }
    if (!ok) {
        ::unlinkat(device.Fd(), temp.c_str(), 0);
        return false;
    }
    KillStep();
    if (!device.Sync()) {
        error = "cannot sync the device folder: " + Reason(errno);
        return false;
    }
    return true;
}

bool CheckDeviceWritable(const HostFolder& device, std::string& error)
{
    std::string temp;
    const int fd = CreateTemp(device, kReplacedFiles[0], temp);
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

void RemoveStaleTemporaries(const HostFolder& device)
{
    bool removed = false;
    for (const std::string& entry : device.Names()) {
        for (const char* name : kReplacedFiles) {
            const std::string prefix = TempPrefix(name);
            if (entry.compare(0, prefix.size(), prefix) == 0 && entry.size() > prefix.size())
                removed |= ::unlinkat(device.Fd(), entry.c_str(), 0) == 0;
        }
    }
    if (removed) device.Sync();
}

}  // namespace sim
