// One back end of the simulated device's file system (device_files.h): the
// operations DeviceFiles offers, each with the meaning and the Win32 error
// codes written there. Two back ends exist: DiskFiles, files/ of a device
// folder on the host, and MemoryFiles, a tree held in memory.
#ifndef TRQ_SIM_FILE_STORE_H
#define TRQ_SIM_FILE_STORE_H

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

enum class FileKind { None, File, Folder, Other };

// What a path names, as FileStore::Look finds it.
struct FileFacts {
    FileKind kind = FileKind::None;
    bool readOnly = false;
    uint64_t size = 0;       // a file's bytes
    std::u16string canonical;  // the device path as stored
};

class FileStore {
public:
    virtual ~FileStore() = default;

    virtual uint32_t DeleteFile(std::u16string_view devicePath) = 0;
    virtual uint32_t RemoveDirectory(std::u16string_view devicePath) = 0;
    virtual uint32_t SetAttributes(std::u16string_view devicePath, uint32_t attributes) = 0;
    virtual FileKind KindOf(std::u16string_view devicePath, std::u16string* canonical) const = 0;
    virtual std::filesystem::path Resolve(std::u16string_view devicePath) const = 0;
    virtual std::vector<std::u16string> Names(std::u16string_view folderPath) const = 0;
    virtual bool ReadHead(std::u16string_view devicePath, size_t limit, std::string& bytes) const = 0;
    virtual std::vector<std::u16string> List() const = 0;
    virtual bool WriteFile(std::u16string_view devicePath, std::string_view contents, bool readOnly) = 0;
    virtual bool TakeBackLentWrite(std::string& error) const = 0;
    virtual uint32_t Look(std::u16string_view devicePath, FileFacts& facts) const = 0;
    virtual uint32_t CreateFile(std::u16string_view devicePath, bool truncate, std::u16string& canonical) = 0;
    virtual uint32_t WriteAt(std::u16string_view devicePath, uint64_t offset, std::string_view bytes) = 0;
    virtual uint32_t ReadAt(std::u16string_view devicePath, uint64_t offset, size_t limit,
                            std::string& bytes) const = 0;
    virtual uint32_t CreateFolder(std::u16string_view devicePath) = 0;
    virtual uint32_t Move(std::u16string_view from, std::u16string_view to) = 0;
    // A MemoryFiles holding what these files hold; null with error when
    // they cannot be read.
    virtual std::shared_ptr<FileStore> CopyInMemory(std::string& error) const = 0;
};

// An entry found while listing a back end: its names from the root down.
struct ListedEntry {
    std::vector<std::u16string> names;
    bool folder;
};

// List()'s answer: the entries as device paths, sorted as the device lists
// them (each name case-insensitively, the exact spelling a tie-break),
// folders ending with "\".
std::vector<std::u16string> SortedDevicePaths(std::vector<ListedEntry> entries);

}  // namespace sim

#endif
