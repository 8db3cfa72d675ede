// A host folder open by descriptor, and files in it replaced whole or not at
// all. Everything in the folder is reached from its descriptor; only the
// folder itself, the one the user named, is looked up by its path.
//
// A replacement goes through a temporary file of an unpredictable name,
// created exclusively beside the file (never through a link), written,
// synced, given its permissions and renamed over the file; then the folder
// is synced, so that the rename survives a crash. On an error the file is
// left as it was and the temporary file is removed.
#ifndef TRQ_FORMATS_HOST_FOLDER_H
#define TRQ_FORMATS_HOST_FOLDER_H

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// Copies share the descriptor; the last one closes it. An empty Folder
// stands for a folder that could not be opened.
class Folder {
public:
    Folder() = default;
    // The folder at path, following links on the way (it is the user's
    // choice of folder); false with errno set.
    static bool Open(const std::filesystem::path& path, Folder& out);
    // The folder `name` inside this one, never through a link; false with
    // errno set (ELOOP or ENOTDIR for a link).
    bool Sub(const std::string& name, Folder& out) const;

    int Fd() const { return fd_ ? *fd_ : -1; }
    explicit operator bool() const { return fd_ != nullptr; }

    // The names of the entries, without "." and "..", in the host's order.
    std::vector<std::string> Names() const;
    bool Sync() const;  // the folder's entries, on disk

private:
    explicit Folder(int fd);
    std::shared_ptr<const int> fd_;
};

// The temporary files of `name` are named TemporaryPrefix(name) and 16
// random hex digits.
std::string TemporaryPrefix(const std::string& name);

// Creates a temporary file for `name` in the folder, exclusively, never
// through a link, mode 0600. Its descriptor, or -1 with errno set.
int CreateTemporary(const Folder& folder, const std::string& name, std::string& temporary);

// What a replacement does when `name` is a symbolic link.
enum class AtLink { Refuse, Replace };

// Replaces `name` in the folder with bytes. The new file keeps the
// permissions of the regular file it replaces; a new one gets 0666 less the
// umask. Something there that is neither a regular file nor (with
// AtLink::Replace) a link is refused, never replaced. step, when given, is
// called between the stages (for tests that stop a process in the middle).
// False with the cause in error.
bool ReplaceFile(const Folder& folder, const std::string& name, std::string_view bytes, AtLink atLink,
                 std::string& error, void (*step)() = nullptr);

}  // namespace host

#endif
