// The simulated device's file system: the host folder files/ of a device
// image. A device path such as "\Windows\TRQ.exe" names files/Windows/TRQ.exe,
// each component matched case-insensitively. Nothing outside files/ is ever
// touched: "." and ".." components, links and names the host cannot hold all
// count as not found.
#ifndef TRQ_SIM_DEVICE_FILES_H
#define TRQ_SIM_DEVICE_FILES_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

class DeviceFiles {
public:
    explicit DeviceFiles(std::filesystem::path root) : root_(std::move(root)) {}
    const std::filesystem::path& Root() const { return root_; }

    // Each returns 0 on success or the Win32 error the device would set:
    // ERROR_FILE_NOT_FOUND (2) for a missing last component,
    // ERROR_PATH_NOT_FOUND (3) for a missing folder on the way,
    // ERROR_ACCESS_DENIED (5) for a read-only file or a folder given to
    // DeleteFile, ERROR_DIR_NOT_EMPTY (145), ERROR_DIRECTORY (267) for a file
    // given to RemoveDirectory.
    uint32_t DeleteFile(std::u16string_view devicePath);
    uint32_t RemoveDirectory(std::u16string_view devicePath);
    // FILE_ATTRIBUTE_READONLY clears the owner-write bit; anything else sets it.
    uint32_t SetAttributes(std::u16string_view devicePath, uint32_t attributes);

    // The host path of an existing file or folder, or empty.
    std::filesystem::path Resolve(std::u16string_view devicePath) const;
    bool Exists(std::u16string_view devicePath) const { return !Resolve(devicePath).empty(); }
    // The device path spelled as stored, for an existing file ("\Windows\TRQ.exe").
    std::u16string Canonical(std::u16string_view devicePath) const;

    // Every file and folder below files/, as device paths, sorted; folders end
    // with "\".
    std::vector<std::u16string> List() const;

    // Creates a file (and its folders), for building device images.
    bool WriteFile(std::u16string_view devicePath, std::string_view contents,
                   bool readOnly = false);

private:
    std::filesystem::path root_;
};

}  // namespace sim

#endif
