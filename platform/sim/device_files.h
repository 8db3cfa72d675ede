// The simulated device's file system. A device path such as
// "\Windows\TRQ.exe" names the file Windows/TRQ.exe below the root, each
// component matched case-insensitively.
//
// Its files live in one of two back ends (file_store.h): files/ of a device
// image on the host (disk_files.h), where nothing outside files/ is ever
// touched ("." and ".." components, links, files with a second host name and
// names the host cannot hold all count as not found); or a tree in memory
// (memory_files.h), for runs that need no disk. Both give the same answers.
#ifndef TRQ_SIM_DEVICE_FILES_H
#define TRQ_SIM_DEVICE_FILES_H

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/device_path.h"
#include "platform/sim/device_folder.h"
#include "platform/sim/file_store.h"

namespace sim {

// A handle on the files of one device: copies reach the same files.
class DeviceFiles {
public:
    // files/ at root on the host; the folder holding it is opened now.
    explicit DeviceFiles(const std::filesystem::path& root);
    // files/ of the device image open as device; root names it in messages.
    DeviceFiles(host::Folder device, const std::filesystem::path& root);
    // An empty file system in memory.
    static DeviceFiles InMemory();
    // A file system in memory holding what this one holds now, apart from
    // it: what one changes the other does not see. nullopt with error when a
    // file cannot be read.
    std::optional<DeviceFiles> CopyInMemory(std::string& error) const;

    // The host folder files/; empty for files in memory.
    const std::filesystem::path& Root() const { return root_; }
    bool OnDisk() const { return !root_.empty(); }

    // Each returns 0 on success or the Win32 error the device would set:
    // ERROR_FILE_NOT_FOUND (2) for a missing last component,
    // ERROR_PATH_NOT_FOUND (3) for a missing folder on the way,
    // ERROR_ACCESS_DENIED (5) for a read-only file or a folder given to
    // DeleteFile, ERROR_DIR_NOT_EMPTY (145), ERROR_DIRECTORY (267) for a file
    // given to RemoveDirectory.
    uint32_t DeleteFile(std::u16string_view devicePath) { return store_->DeleteFile(devicePath); }
    uint32_t RemoveDirectory(std::u16string_view devicePath) { return store_->RemoveDirectory(devicePath); }
    // FILE_ATTRIBUTE_READONLY marks it read-only; anything else clears that.
    uint32_t SetAttributes(std::u16string_view devicePath, uint32_t attributes)
    {
        return store_->SetAttributes(devicePath, attributes);
    }

    using Kind = FileKind;
    // What the path names; canonical, when given, gets the device path as
    // stored ("\Windows\TRQ.exe", folders without a trailing separator, the
    // root as "\").
    Kind KindOf(std::u16string_view devicePath, std::u16string* canonical = nullptr) const
    {
        return store_->KindOf(devicePath, canonical);
    }
    bool Exists(std::u16string_view devicePath) const { return KindOf(devicePath) != Kind::None; }
    std::u16string Canonical(std::u16string_view devicePath) const;
    // The host path of an existing file or folder, or empty (always, for
    // files in memory).
    std::filesystem::path Resolve(std::u16string_view devicePath) const { return store_->Resolve(devicePath); }
    // The names in a folder, as stored, in no particular order.
    std::vector<std::u16string> Names(std::u16string_view folderPath) const { return store_->Names(folderPath); }
    // Up to limit bytes from the start of a regular file; false if it is none.
    bool ReadHead(std::u16string_view devicePath, size_t limit, std::string& bytes) const
    {
        return store_->ReadHead(devicePath, limit, bytes);
    }

    // Every file and folder, as device paths, sorted; folders end with "\".
    std::vector<std::u16string> List() const { return store_->List(); }

    // The device's own file operations, each 0 or the Win32 error code:
    // Look: what the path names (2 or 3 when nothing; FileFacts::kind Other
    // for a host entry that is neither file nor folder).
    uint32_t Look(std::u16string_view devicePath, FileFacts& facts) const { return store_->Look(devicePath, facts); }
    // CreateFile: a new empty file in a folder that exists (3 when it does
    // not), or the file already there, emptied when truncate is set;
    // ERROR_INVALID_NAME (123) for a name the device cannot hold,
    // ERROR_ACCESS_DENIED for a folder or anything but a regular file of
    // that name, and for a read-only file to empty. canonical gets the path
    // as stored.
    uint32_t CreateFile(std::u16string_view devicePath, bool truncate, std::u16string& canonical)
    {
        return store_->CreateFile(devicePath, truncate, canonical);
    }
    // WriteAt: bytes written into an existing regular file at offset, the
    // file grown with zeros up to it when shorter; ERROR_ACCESS_DENIED for a
    // read-only file, ERROR_DISK_FULL (112) when the host's disk is.
    uint32_t WriteAt(std::u16string_view devicePath, uint64_t offset, std::string_view bytes)
    {
        return store_->WriteAt(devicePath, offset, bytes);
    }
    // ReadAt: up to limit bytes of a regular file from offset (none past its end).
    uint32_t ReadAt(std::u16string_view devicePath, uint64_t offset, size_t limit, std::string& bytes) const
    {
        return store_->ReadAt(devicePath, offset, limit, bytes);
    }
    // CreateFolder: a new folder in a folder that exists (3 when it does
    // not); ERROR_ALREADY_EXISTS (183) when the name is taken,
    // ERROR_INVALID_NAME for a name the device cannot hold.
    uint32_t CreateFolder(std::u16string_view devicePath) { return store_->CreateFolder(devicePath); }
    // Move: a file or folder given the name to (183 when something has it,
    // 3 when its folder is not there), with all it holds, in one step; a
    // folder is never moved below itself (5).
    uint32_t Move(std::u16string_view from, std::u16string_view to) { return store_->Move(from, to); }

    // Creates a file (and its folders), for building device images.
    bool WriteFile(std::u16string_view devicePath, std::string_view contents, bool readOnly = false)
    {
        return store_->WriteFile(devicePath, contents, readOnly);
    }

    // On the host: takes the owner-write bit back from a folder a killed
    // command left it lent to (disk_files.h); false with error when that
    // cannot be done.
    bool TakeBackLentWrite(std::string& error) const { return store_->TakeBackLentWrite(error); }

private:
    DeviceFiles(std::shared_ptr<FileStore> store, std::filesystem::path root);

    std::shared_ptr<FileStore> store_;
    std::filesystem::path root_;
};

}  // namespace sim

#endif
