#include "platform/sim/host_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace host {

namespace {

std::string KindOf(mode_t mode)
{
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "not a regular file";
}

// Reads to the end, or until more than limit bytes have come: a file in
// /proc says it is empty and yields more, and one may grow as it is read.
bool ReadBounded(int fd, size_t limit, std::string& bytes, std::string& error)
{
    std::string content;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = std::string("cannot read: ") + std::strerror(errno);
            return false;
        }
        if (n == 0) break;
        if (content.size() + static_cast<size_t>(n) > limit) {
            error = "larger than " + SizeText(limit);
            return false;
        }
        content.append(chunk, static_cast<size_t>(n));
    }
    bytes = std::move(content);
    return true;
}

}  // namespace

bool ReadRegularFile(int dirFd, const std::string& name, size_t limit, Links links,
                     std::string& bytes, std::string& error)
{
    // Non-blocking, so that opening a FIFO cannot wait for a writer.
    int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    if (links == Links::Refuse) flags |= O_NOFOLLOW;
    const int fd = ::openat(dirFd, name.c_str(), flags);
    if (fd < 0) {
        error = errno == ELOOP && links == Links::Refuse ? "a symbolic link (not followed)"
                                                         : std::string("cannot open: ") + std::strerror(errno);
        return false;
    }
    struct stat st;
    bool ok = false;
    if (::fstat(fd, &st) != 0) {
        error = std::string("cannot examine: ") + std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        error = KindOf(st.st_mode) + ", not a regular file";
    } else if (static_cast<unsigned long long>(st.st_size) > limit) {
        error = "larger than " + SizeText(limit) + " (" + std::to_string(st.st_size) + " bytes)";
    } else {
        // A regular file never blocks; reading on in blocking mode is the same.
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        ok = ReadBounded(fd, limit, bytes, error);
    }
    ::close(fd);
    return ok;
}

bool WriteAll(int fd, std::string_view bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string Printable(std::string_view text)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte == '\\') out += "\\\\";
        else if (byte >= 0x20 && byte < 0x7F) out += c;
        else out += {'\\', 'x', kDigits[byte >> 4], kDigits[byte & 15]};
    }
    return out;
}

std::string SizeText(size_t bytes)
{
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    if (bytes >= (1u << 10) && bytes % (1u << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

}  // namespace host
