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

// Splits a device path into its names. "\" and "/" both separate, doubled
// separators fold and a leading separator is optional (the device has no
// current folder): "Temp//a.log" and "\Temp\a.log" both give {"Temp", "a.log"};
// "\" and "" give no names. Returns false for a path that can name no file
// on the device: a "." or ".." name, a NUL or other control character, one of
// <>:"|?*, or a lone surrogate. trailingSeparator, when given, tells whether
// the path ended with a separator.
bool SplitDevicePath(std::u16string_view path, std::vector<std::u16string>& parts,
                     bool* trailingSeparator = nullptr);

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
    // Folders come without a trailing separator, the root as "\"; empty when
    // nothing is there.
    std::u16string Canonical(std::u16string_view devicePath) const;

    // Every file and folder below files/, as device paths, sorted; folders end
    // with "\".
    std::vector<std::u16string> List() const;

    // Creates a file (and its folders), for building device images.
    bool WriteFile(std::u16string_view devicePath, std::string_view contents,
                   bool readOnly = false);

private:
    struct Found {
        std::filesystem::path host;    // below root_, or root_ itself
        std::u16string device;         // as stored, "\" for the root
        bool folder = false;
        bool root = false;
    };
    // Follows devicePath down from root_, matching each name case-
    // insensitively and never through a link. 0, or 2 (last name missing, a
    // link, or a path SplitDevicePath refuses), or 3 (an empty path, or a
    // folder on the way missing, a link or a file).
    uint32_t Find(std::u16string_view devicePath, Found& found) const;

    std::filesystem::path root_;
};

}  // namespace sim

#endif
