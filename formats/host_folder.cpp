#include "formats/host_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "formats/host_file.h"

namespace host {

namespace {

std::string WithErrno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

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
    (void)std::snprintf(text, sizeof text, "%016llx", value);
    return text;
}

// The permissions the new file gets; false with error for something there
// that is not to be replaced.
bool ModeToKeep(const Folder& folder, const std::string& name, AtLink atLink, mode_t& mode,
                std::string& error)
{
    struct stat st;
    if (::fstatat(folder.Fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        !(S_ISLNK(st.st_mode) && atLink == AtLink::Replace)) {
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
    mode = 0666 & ~mask;
    return true;
}

void Step(void (*step)())
{
    if (step) step();
}

// Writes, gives the permissions, syncs and closes fd.
bool Fill(int fd, std::string_view bytes, mode_t mode, void (*step)(), std::string& error)
{
    if (!WriteAll(fd, bytes)) {
        error = WithErrno("cannot write");
    } else {
        Step(step);
        if (::fchmod(fd, mode) != 0) error = WithErrno("cannot set its permissions");
        else if (::fsync(fd) != 0) error = WithErrno("cannot write");
    }
    const bool written = error.empty();
    if (::close(fd) != 0 && written) error = WithErrno("cannot write");
    return error.empty();
}

}  // namespace

Folder::Folder(int fd)
    : fd_(new int(fd), [](const int* p) {
          ::close(*p);
          delete p;
      })
{
}

bool Folder::Open(const std::filesystem::path& path, Folder& out)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    out = Folder(fd);
    return true;
}

bool Folder::Sub(const std::string& name, Folder& out) const
{
    const int fd = ::openat(Fd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    out = Folder(fd);
    return true;
}

std::vector<std::string> Folder::Names() const
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

bool Folder::Sync() const { return ::fsync(Fd()) == 0; }

std::string TemporaryPrefix(const std::string& name) { return "." + name + ".tmp."; }

int CreateTemporary(const Folder& folder, const std::string& name, std::string& temporary)
{
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temporary = TemporaryPrefix(name) + RandomSuffix();
        fd = ::openat(folder.Fd(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      0600);
        if (fd < 0 && errno != EEXIST) break;
    }
    return fd;
}

bool ReplaceFile(const Folder& folder, const std::string& name, std::string_view bytes, AtLink atLink,
                 std::string& error, void (*step)())
{
    error.clear();
    mode_t mode = 0;
    if (!ModeToKeep(folder, name, atLink, mode, error)) return false;
    std::string temporary;
    const int fd = CreateTemporary(folder, name, temporary);
    if (fd < 0) {
        error = WithErrno("cannot create a temporary file beside it");
        return false;
    }
    Step(step);
    bool ok = Fill(fd, bytes, mode, step, error);
    if (ok && ::renameat(folder.Fd(), temporary.c_str(), folder.Fd(), name.c_str()) != 0) {
        error = WithErrno("cannot replace");
        ok = false;
    }
    if (!ok) {
        ::unlinkat(folder.Fd(), temporary.c_str(), 0);
        return false;
    }
    Step(step);
    if (!folder.Sync()) {
        error = WithErrno("cannot sync its folder");
        return false;
    }
    return true;
}

}  // namespace host
