#include "tools/trq-uninstall-sim/trace_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/sim/device_folder.h"

namespace tool {

namespace {

constexpr int kOpenFlags = O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;

std::string CannotWrite(int number) { return std::string("cannot write: ") + std::strerror(number); }

// Why a file of this mode is no trace; "" for a regular file.
std::string Unfit(mode_t mode)
{
    if (S_ISREG(mode)) return "";
    if (S_ISLNK(mode)) return "a symbolic link (not followed)";
    if (S_ISDIR(mode)) return CannotWrite(EISDIR);
    if (S_ISFIFO(mode)) return "a FIFO, not a regular file";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device, not a regular file";
    if (S_ISSOCK(mode)) return "a socket, not a regular file";
    return "not a regular file";
}

// A path with its links and "." and ".." taken out, as far as it exists.
std::filesystem::path Resolved(const std::filesystem::path& path)
{
    std::error_code ec;
    std::filesystem::path resolved = std::filesystem::weakly_canonical(path, ec);
    return ec ? std::filesystem::absolute(path, ec).lexically_normal() : resolved;
}

// The file of others the trace is, if any: the same identity when the trace
// exists (st), else the same path.
const RunFile* OneOf(const std::vector<RunFile>& others, const struct stat* st, const std::filesystem::path& path)
{
    for (const RunFile& other : others) {
        if (st ? other.exists && other.device == st->st_dev && other.inode == st->st_ino
               : !other.path.empty() && Resolved(other.path) == Resolved(path))
            return &other;
    }
    return nullptr;
}

std::string IsOneOf(const RunFile& other) { return "the same file as " + other.what + " (a trace is never written over it)"; }

}  // namespace

RunFile RunFileAt(const std::string& what, const std::string& path)
{
    RunFile file{what, false, 0, 0, path};
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) file.exists = true, file.device = st.st_dev, file.inode = st.st_ino;
    return file;
}

RunFile RunFileOn(const std::string& what, int fd)
{
    RunFile file{what, false, 0, 0, ""};
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) file.exists = true, file.device = st.st_dev, file.inode = st.st_ino;
    return file;
}

TraceFile::~TraceFile()
{
    if (file_ >= 0) ::close(file_);
    if (folder_ >= 0) ::close(folder_);
}

bool TraceFile::Check(const std::string& path, const host::Folder& device, const std::vector<RunFile>& others,
                      std::string& error)
{
    const std::filesystem::path whole(path);
    name_ = whole.filename().string();
    // The folders on the way are the user's: links among them are followed.
    folder_ = ::open(whole.has_parent_path() ? whole.parent_path().c_str() : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder_ < 0) {
        error = CannotWrite(errno);
        return false;
    }
    if (name_.empty()) {
        error = CannotWrite(EISDIR);
        return false;
    }
    bool inside = false;
    if (!sim::FolderInDevice(device, folder_, inside, error)) return false;
    if (inside) {
        error = "inside the device folder (a trace is never written into the device)";
        return false;
    }
    // What is there is looked at before it is opened: opening a device may
    // act on it, and opening a FIFO could wait for a reader.
    struct stat st;
    if (::fstatat(folder_, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
            error = CannotWrite(errno);
            return false;
        }
        // A new file, made by Open.
        if (const RunFile* other = OneOf(others, nullptr, whole)) {
            error = IsOneOf(*other);
            return false;
        }
        return true;
    }
    if (!(error = Unfit(st.st_mode)).empty()) return false;
    file_ = ::openat(folder_, name_.c_str(), kOpenFlags);
    if (file_ < 0) {
        error = errno == ELOOP ? Unfit(S_IFLNK) : errno == ENXIO ? Unfit(S_IFIFO) : CannotWrite(errno);
        return false;
    }
    // Whatever took the name's place since is what was opened.
    if (::fstat(file_, &st) != 0) {
        error = CannotWrite(errno);
        return false;
    }
    if (!(error = Unfit(st.st_mode)).empty()) return false;
    if (sim::FileOfDevice(device, st)) {
        error = "one of the device's own files under another name (a trace is never written into the device)";
        return false;
    }
    if (const RunFile* other = OneOf(others, &st, whole)) {
        error = IsOneOf(*other);
        return false;
    }
    return true;
}

int TraceFile::Open(std::string& error)
{
    int fd = file_;
    if (fd < 0) {
        // Exclusively: whatever took the name since Check is not written.
        fd = ::openat(folder_, name_.c_str(), kOpenFlags | O_CREAT | O_EXCL, 0666);
        if (fd < 0) {
            error = CannotWrite(errno);
            return -1;
        }
    }
    file_ = -1;
    ::fcntl(fd, F_SETFL, (::fcntl(fd, F_GETFL) & ~O_NONBLOCK) | O_APPEND);
    return fd;
}

}  // namespace tool
