// The folder of a device image, open once. Everything in it is reached from
// that descriptor and never through a symbolic link: registry.reg,
// device.ini, files/ and every name below files/. Only the folder itself,
// the one the user named, is looked up by its path.
//
// The device's own files are replaced atomically: a temporary file of an
// unpredictable name is created exclusively beside them, written, synced,
// renamed over them, and the folder synced. A temporary file a killed
// command left is removed the next time the device is tidied.
#ifndef TRQ_SIM_DEVICE_FOLDER_H
#define TRQ_SIM_DEVICE_FOLDER_H

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// The names in a device folder.
constexpr char kRegistryFile[] = "registry.reg";
constexpr char kConfigFile[] = "device.ini";
constexpr char kFilesFolder[] = "files";
// Names the folder below files/ whose owner-write bit is lent while one
// deletion in it lasts (device_files.h), so that a killed command's loan is
// taken back at the next start.
constexpr char kWriteLentFile[] = ".write-lent";

// A host folder open by descriptor. Copies share the descriptor; the last
// one closes it. An empty HostFolder stands for a folder that could not be
// opened.
class HostFolder {
public:
    HostFolder() = default;
    // The folder at path, following links on the way (it is the user's
    // choice of folder); false with errno set.
    static bool Open(const std::filesystem::path& path, HostFolder& out);
    // The folder `name` inside this one, never through a link; false with
    // errno set (ELOOP or ENOTDIR for a link).
    bool Sub(const std::string& name, HostFolder& out) const;

    int Fd() const { return fd_ ? *fd_ : -1; }
    explicit operator bool() const { return fd_ != nullptr; }

    // The names of the entries, without "." and "..", in the host's order.
    std::vector<std::string> Names() const;
    bool Sync() const;  // the folder's entries, on disk

private:
    explicit HostFolder(int fd);
    std::shared_ptr<const int> fd_;
};

// Limits on the device's own files, beyond which an image is refused.
constexpr size_t kMaxRegistryBytes = size_t(64) << 20;  // registry.reg
constexpr size_t kMaxConfigBytes = size_t(1) << 20;     // device.ini

// Reads the device file `name` (registry.reg, device.ini): a regular file of
// at most limit bytes, not a link. missing, when given, is set for a name
// that is not there at all.
// error holds the reason only; the caller names the file.
bool ReadDeviceFile(const HostFolder& device, const std::string& name, size_t limit,
                    std::string& bytes, std::string& error, bool* missing = nullptr);

// Replaces the device file `name` with bytes, atomically, keeping the
// permissions of the file it replaces (new files get 0644 less the umask).
// A `name` that is a link or not a regular file is refused, never replaced.
bool ReplaceDeviceFile(const HostFolder& device, const std::string& name, std::string_view bytes,
                       std::string& error);

// Whether a command could write the device: a temporary file is created in
// the folder and removed again, and files/ is writable or ours to lend
// write permission to. error holds the reason.
bool CheckDeviceWritable(const HostFolder& device, std::string& error);

// Removes the temporary files a killed command left in the device folder.
void RemoveStaleTemporaries(const HostFolder& device);

}  // namespace sim

#endif
