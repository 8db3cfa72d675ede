// The simulated device's file system: the host folder files/ of a device
// image. A device path such as "\Windows\TRQ.exe" names files/Windows/TRQ.exe,
// each component matched case-insensitively. Nothing outside files/ is ever
// touched: "." and ".." components, links, files with a second host name and
// names the host cannot hold all count as not found.
#ifndef TRQ_SIM_DEVICE_FILES_H
#define TRQ_SIM_DEVICE_FILES_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>

#include "formats/device_path.h"
#include "platform/sim/device_folder.h"

namespace sim {

// files/ of a device image. Every name is reached from the folder that holds
// files/, open as a descriptor, by openat without following links.
//
// A folder marked read-only on the device (no owner-write bit) still lets
// its entries be deleted or added; on the host its missing bit would not.
// The bit is lent while one such change lasts. So that a killed command
// cannot leave it lent for good, the folder is first named in the device
// folder's .write-lent, and TakeBackLentWrite, at the next start, takes the
// bit back from the folder named there.
class DeviceFiles {
public:
    // files/ at root; the folder holding it is opened now.
    explicit DeviceFiles(std::filesystem::path root);
    // files/ of the device image open as device; root names it in messages.
    DeviceFiles(host::Folder device, std::filesystem::path root);
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

    enum class Kind { None, File, Folder, Other };
    // What the path names; canonical, when given, gets the device path as
    // stored ("\Windows\TRQ.exe", folders without a trailing separator, the
    // root as "\").
    Kind KindOf(std::u16string_view devicePath, std::u16string* canonical = nullptr) const;
    bool Exists(std::u16string_view devicePath) const { return KindOf(devicePath) != Kind::None; }
    std::u16string Canonical(std::u16string_view devicePath) const;
    // The host path of an existing file or folder, or empty.
    std::filesystem::path Resolve(std::u16string_view devicePath) const;
    // The names in a folder, as stored, in no particular order.
    std::vector<std::u16string> Names(std::u16string_view folderPath) const;
    // Up to limit bytes from the start of a regular file; false if it is none.
    bool ReadHead(std::u16string_view devicePath, size_t limit, std::string& bytes) const;

    // Every file and folder below files/, as device paths, sorted; folders end
    // with "\".
    std::vector<std::u16string> List() const;

    // Creates a file (and its folders), for building device images.
    bool WriteFile(std::u16string_view devicePath, std::string_view contents,
                   bool readOnly = false);

    // Takes the owner-write bit back from a folder a killed command left it
    // lent to; false with error when that cannot be done.
    bool TakeBackLentWrite(std::string& error) const;

private:
    struct Found {
        host::Folder parent;               // the folder holding it
        std::string name;                // its host name there ("" for the root)
        std::vector<std::string> names;  // host names from files/ down
        std::u16string device;           // as stored, "\" for the root
        struct stat st = {};
        bool folder = false;
        bool root = false;
    };
    bool OpenRoot(host::Folder& root) const;
    // Follows devicePath down from files/, matching each name case-
    // insensitively and never through a link. 0, or 2 (last name missing, a
    // link, or a path SplitDevicePath refuses), or 3 (an empty path, or a
    // folder on the way missing, a link or a file).
    uint32_t Find(std::u16string_view devicePath, Found& found) const;
    bool MakeFolders(const std::vector<std::u16string>& parts, host::Folder& dir,
                     std::vector<std::string>& names);

    host::Folder device_;
    std::string rootName_;
    std::filesystem::path root_;
};

}  // namespace sim

#endif
