// The device's file system as a tree in memory: no disk is read or written.
// It answers as DiskFiles does (file_store.h), operation for operation and
// code for code: names matched case-insensitively (of several matches the
// one spelled exactly as asked, otherwise the first in byte order), the
// read-only attribute kept on files and folders (a read-only folder's
// entries still come and go), and what a folder on the host could hold but
// the device cannot reach (a link, a file with a second host name, a name
// that is not UTF-8) kept as unreachable.
#ifndef TRQ_SIM_MEMORY_FILES_H
#define TRQ_SIM_MEMORY_FILES_H

#include <optional>

#include "platform/sim/file_store.h"

namespace sim {

class MemoryFiles final : public FileStore {
public:
    struct Node {
        enum class Type {
            File,
            Folder,
            Other,        // neither (a FIFO): found, deleted, never read
            Unreachable,  // a link or a file with a second host name: listed, never found
        };
        Type type = Type::Folder;
        std::string hostName;  // "" for the root
        // The name the device sees; none when hostName is not UTF-8, which
        // hides the entry but for keeping its folder from being empty.
        std::optional<std::u16string> name;
        bool readOnly = false;
        std::string contents;       // a file's bytes
        std::vector<Node> entries;  // a folder's, in byte order of hostName
    };

    MemoryFiles() = default;
    // The tree below root, a Folder whose entries are in byte order.
    explicit MemoryFiles(Node root) : root_(std::move(root)) {}

    uint32_t DeleteFile(std::u16string_view devicePath) override;
    uint32_t RemoveDirectory(std::u16string_view devicePath) override;
    uint32_t SetAttributes(std::u16string_view devicePath, uint32_t attributes) override;
    FileKind KindOf(std::u16string_view devicePath, std::u16string* canonical) const override;
    std::filesystem::path Resolve(std::u16string_view) const override { return {}; }
    std::vector<std::u16string> Names(std::u16string_view folderPath) const override;
    bool ReadHead(std::u16string_view devicePath, size_t limit, std::string& bytes) const override;
    std::vector<std::u16string> List() const override;
    bool WriteFile(std::u16string_view devicePath, std::string_view contents, bool readOnly) override;
    bool TakeBackLentWrite(std::string&) const override { return true; }  // nothing is ever lent
    uint32_t Look(std::u16string_view devicePath, FileFacts& facts) const override;
    uint32_t CreateFile(std::u16string_view devicePath, bool truncate, std::u16string& canonical) override;
    uint32_t WriteAt(std::u16string_view devicePath, uint64_t offset, std::string_view bytes) override;
    uint32_t ReadAt(std::u16string_view devicePath, uint64_t offset, size_t limit, std::string& bytes) const override;
    uint32_t CreateFolder(std::u16string_view devicePath) override;
    uint32_t Move(std::u16string_view from, std::u16string_view to) override;
    std::shared_ptr<FileStore> CopyInMemory(std::string& error) const override;

private:
    struct Found {
        Node* parent = nullptr;  // null for the root
        Node* node = nullptr;
        std::u16string device;   // as stored, "\" for the root; only when asked for
    };
    // As DiskFiles::Find: 0, 2 or 3. The path as stored is spelt out in
    // found.device only when asked for: lookups are the device's most
    // frequent work.
    uint32_t Find(std::u16string_view devicePath, Found& found, bool spellAsStored = false) const;
    // The folder that would hold the last name of parts, or ERROR_PATH_NOT_FOUND.
    uint32_t FindParent(const std::vector<std::u16string>& parts, Found& found) const;
    // Where a new entry named devicePath would go: its folder, and the
    // entry's name and host name. 0, or why not (ERROR_ALREADY_EXISTS when
    // an entry has the name).
    uint32_t FindFreeName(std::u16string_view devicePath, Found& folder, std::u16string& name,
                          std::string& hostName) const;

    Node root_;
};

}  // namespace sim

#endif
