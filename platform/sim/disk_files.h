// The device's file system as files/ of a device image on the host. Every
// name is reached from the folder that holds files/, open as a descriptor,
// by openat without following links. Nothing outside files/ is ever
// touched: "." and ".." components, links, files with a second host name and
// names the host cannot hold all count as not found.
//
// A folder marked read-only on the device (no owner-write bit) still lets
// its entries be deleted or added; on the host its missing bit would not.
// The bit is lent while one such change lasts. So that a killed command
// cannot leave it lent for good, the folder is first named in the device
// folder's .write-lent, and TakeBackLentWrite, at the next start, takes the
// bit back from the folder named there.
#ifndef TRQ_SIM_DISK_FILES_H
#define TRQ_SIM_DISK_FILES_H

#include <sys/stat.h>

#include "platform/sim/device_folder.h"
#include "platform/sim/file_store.h"

namespace sim {

class DiskFiles final : public FileStore {
public:
    // files/ at root; the folder holding it is opened now.
    explicit DiskFiles(const std::filesystem::path& root);
    // files/ of the device image open as device; root names it.
    DiskFiles(host::Folder device, std::filesystem::path root);

    uint32_t DeleteFile(std::u16string_view devicePath) override;
    uint32_t RemoveDirectory(std::u16string_view devicePath) override;
    // FILE_ATTRIBUTE_READONLY clears the owner-write bit; anything else sets it.
    uint32_t SetAttributes(std::u16string_view devicePath, uint32_t attributes) override;
    FileKind KindOf(std::u16string_view devicePath, std::u16string* canonical) const override;
    std::filesystem::path Resolve(std::u16string_view devicePath) const override;
    std::vector<std::u16string> Names(std::u16string_view folderPath) const override;
    bool ReadHead(std::u16string_view devicePath, size_t limit, std::string& bytes) const override;
    std::vector<std::u16string> List() const override;
    bool WriteFile(std::u16string_view devicePath, std::string_view contents, bool readOnly) override;
    bool TakeBackLentWrite(std::string& error) const override;
    uint32_t Look(std::u16string_view devicePath, FileFacts& facts) const override;
    // Files and folders are made exclusively and never through a link: a
    // name the device cannot reach (a link, a file with a second host name)
    // is taken, and refused, rather than followed.
    uint32_t CreateFile(std::u16string_view devicePath, bool truncate, std::u16string& canonical) override;
    uint32_t WriteAt(std::u16string_view devicePath, uint64_t offset, std::string_view bytes) override;
    uint32_t ReadAt(std::u16string_view devicePath, uint64_t offset, size_t limit, std::string& bytes) const override;
    uint32_t CreateFolder(std::u16string_view devicePath) override;
    uint32_t Move(std::u16string_view from, std::u16string_view to) override;
    // Reads every file whole; a link, a file with a second host name and
    // anything neither file nor folder come along as what the device sees
    // of them.
    std::shared_ptr<FileStore> CopyInMemory(std::string& error) const override;

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
    // The folder that would hold the last name of parts: 0, or
    // ERROR_PATH_NOT_FOUND. dir is it, open; names its host names below
    // files/; device its device path ("" for the root).
    uint32_t FindParent(const std::vector<std::u16string>& parts, host::Folder& dir,
                        std::vector<std::string>& names, std::u16string& device) const;
    // Where an entry named devicePath is or would go: its folder, open,
    // with its host names below files/ and its device path; the entry's host
    // and device names, as stored when an entry has the name (taken). 0, or
    // why not (a file's path may not be the root nor end in "\").
    struct Place {
        host::Folder dir;
        std::vector<std::string> names;
        std::u16string parent;
        std::string name;
        std::u16string deviceName;
        bool taken = false;
    };
    uint32_t FindPlace(std::u16string_view devicePath, bool file, Place& place) const;
    // A regular file of one host name, open with flags; -1 with the error.
    int OpenFile(std::u16string_view devicePath, int flags, uint32_t& error) const;
    bool MakeFolders(const std::vector<std::u16string>& parts, host::Folder& dir,
                     std::vector<std::string>& names);

    host::Folder device_;
    std::string rootName_;
    std::filesystem::path root_;
};

}  // namespace sim

#endif
