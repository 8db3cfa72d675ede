#include "tools/elf-to-wince/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/sim/host_file.h"

namespace wince {

namespace {

std::string FolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Cause(const char* step)
{
    return std::string(step) + ": " + std::strerror(errno);
}

// The permissions a file created in the ordinary way gets: 0666 less the umask.
mode_t OrdinaryMode()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

bool SyncFolder(const std::string& folder, std::string& error)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::fsync(fd) == 0;
    if (!ok) error = Cause("cannot sync its folder");
    if (fd >= 0) ::close(fd);
    return ok;
}

// Writes, syncs and closes fd; the file's mode becomes the ordinary one.
bool Fill(int fd, const std::vector<uint8_t>& bytes, std::string& error)
{
    const std::string_view data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (!host::WriteAll(fd, data)) error = Cause("cannot write");
    else if (::fchmod(fd, OrdinaryMode()) != 0) error = Cause("cannot set its permissions");
    else if (::fsync(fd) != 0) error = Cause("cannot sync");
    const bool written = error.empty();
    if (::close(fd) != 0 && written) error = Cause("cannot close");
    return error.empty();
}

}  // namespace

bool ReplaceFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error)
{
    error.clear();
    const size_t slash = path.rfind('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    // mkstemp: a fresh name, created with O_CREAT | O_EXCL, so that nothing
    // planted beside the output (a link, a file) is ever opened.
    std::string temporary = FolderOf(path) + "/." + base + ".tmp.XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        error = Cause("cannot create a temporary file beside it");
        return false;
    }
    bool ok = Fill(fd, bytes, error);
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = Cause("cannot rename the temporary file into place");
        ok = false;
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    return SyncFolder(FolderOf(path), error);
}

}  // namespace wince
