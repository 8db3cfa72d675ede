#include "platform/sim/memory_files.h"

#include <algorithm>

#include "device/device.h"
#include "formats/device_path.h"
#include "formats/text.h"

namespace sim {

using formats::EqualsIgnoreCase;
using formats::IsValidName;
using formats::DevicePathNames;
using formats::SplitDevicePath;
using formats::Utf16ToUtf8;

namespace {

using Node = MemoryFiles::Node;

// The entry of folder that name matches case-insensitively: the one spelled
// exactly as asked, otherwise the first in byte order; null if none.
Node* MatchEntry(Node& folder, std::u16string_view name)
{
    Node* first = nullptr;
    for (Node& entry : folder.entries) {
        if (!entry.name || !EqualsIgnoreCase(*entry.name, name)) continue;
        if (*entry.name == name) return &entry;
        if (!first) first = &entry;
    }
    return first;
}

// Adds an entry to folder, keeping the entries in byte order.
Node& AddEntry(Node& folder, Node entry)
{
    auto at = std::lower_bound(folder.entries.begin(), folder.entries.end(), entry.hostName,
                               [](const Node& a, const std::string& name) { return a.hostName < name; });
    return *folder.entries.insert(at, std::move(entry));
}

void RemoveEntry(Node& folder, const Node& entry)
{
    folder.entries.erase(folder.entries.begin() + (&entry - folder.entries.data()));
}

void ListFolder(const Node& folder, std::vector<std::u16string>& prefix, std::vector<ListedEntry>& out)
{
    for (const Node& entry : folder.entries) {
        if (!entry.name || !IsValidName(*entry.name)) continue;  // no device path can name it
        const bool isFolder = entry.type == Node::Type::Folder;
        prefix.push_back(*entry.name);
        out.push_back({prefix, isFolder});
        if (isFolder) ListFolder(entry, prefix, out);
        prefix.pop_back();
    }
}

}  // namespace

uint32_t MemoryFiles::Find(std::u16string_view devicePath, Found& found, bool spellAsStored) const
{
    if (devicePath.empty()) return ERROR_PATH_NOT_FOUND;
    DevicePathNames names(devicePath);
    if (!names.Valid()) return ERROR_FILE_NOT_FOUND;

    // Find hands out the tree for the operations that change it.
    found = Found{nullptr, const_cast<Node*>(&root_), {}};
    std::u16string_view name;
    bool more = names.Next(name);
    while (more) {
        Node* entry = MatchEntry(*found.node, name);
        more = names.Next(name);
        if (!entry || entry->type == Node::Type::Unreachable) return more ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
        if (more && entry->type != Node::Type::Folder) return ERROR_PATH_NOT_FOUND;
        found.parent = found.node;
        found.node = entry;
        if (spellAsStored) found.device.append(u"\\").append(*entry->name);
    }
    if (spellAsStored && !found.parent) found.device.assign(1, u'\\');
    // "\Windows\TRQ.exe\" names a folder that is not there.
    if (names.TrailingSeparator() && found.node->type != Node::Type::Folder) return ERROR_FILE_NOT_FOUND;
    return 0;
}

uint32_t MemoryFiles::DeleteFile(std::u16string_view devicePath)
{
    Found found;
    if (uint32_t error = Find(devicePath, found)) return error;
    if (found.node->type == Node::Type::Folder || found.node->readOnly) return ERROR_ACCESS_DENIED;
    RemoveEntry(*found.parent, *found.node);
    return 0;
}

uint32_t MemoryFiles::RemoveDirectory(std::u16string_view devicePath)
{
    Found found;
    if (uint32_t error = Find(devicePath, found)) return error;
    if (!found.parent) return ERROR_ACCESS_DENIED;
    if (found.node->type != Node::Type::Folder) return ERROR_DIRECTORY;
    // As on Windows, a read-only folder is not removed.
    if (found.node->readOnly) return ERROR_ACCESS_DENIED;
    if (!found.node->entries.empty()) return ERROR_DIR_NOT_EMPTY;
    RemoveEntry(*found.parent, *found.node);
    return 0;
}

uint32_t MemoryFiles::SetAttributes(std::u16string_view devicePath, uint32_t attributes)
{
    Found found;
    if (uint32_t error = Find(devicePath, found)) return error;
    if (!found.parent) return ERROR_ACCESS_DENIED;
    found.node->readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    return 0;
}

FileKind MemoryFiles::KindOf(std::u16string_view devicePath, std::u16string* canonical) const
{
    Found found;
    if (Find(devicePath, found, canonical != nullptr) != 0) return FileKind::None;
    if (canonical) *canonical = found.device;
    switch (found.node->type) {
    case Node::Type::Folder: return FileKind::Folder;
    case Node::Type::File: return FileKind::File;
    default: return FileKind::Other;
    }
}

std::vector<std::u16string> MemoryFiles::Names(std::u16string_view folderPath) const
{
    std::vector<std::u16string> names;
    Found found;
    if (Find(folderPath, found) != 0 || found.node->type != Node::Type::Folder) return names;
    for (const Node& entry : found.node->entries)
        if (entry.name) names.push_back(*entry.name);
    return names;
}

bool MemoryFiles::ReadHead(std::u16string_view devicePath, size_t limit, std::string& bytes) const
{
    Found found;
    if (Find(devicePath, found) != 0 || found.node->type != Node::Type::File) return false;
    bytes.assign(found.node->contents, 0, limit);
    return true;
}

std::vector<std::u16string> MemoryFiles::List() const
{
    std::vector<ListedEntry> entries;
    std::vector<std::u16string> prefix;
    ListFolder(root_, prefix, entries);
    return SortedDevicePaths(std::move(entries));
}

bool MemoryFiles::WriteFile(std::u16string_view devicePath, std::string_view contents, bool readOnly)
{
    std::vector<std::u16string> parts;
    bool trailing = false;
    if (!SplitDevicePath(devicePath, parts, &trailing) || parts.empty() || trailing) return false;

    // Down the folders, making those not there.
    Node* dir = &root_;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        Node* entry = MatchEntry(*dir, parts[i]);
        if (!entry) {
            std::optional<std::string> hostName = Utf16ToUtf8(parts[i]);
            if (!hostName) return false;
            entry = &AddEntry(*dir, Node{Node::Type::Folder, *hostName, parts[i], false, {}, {}});
        }
        if (entry->type != Node::Type::Folder) return false;
        dir = entry;
    }
    Node* file = MatchEntry(*dir, parts.back());
    if (!file) {
        std::optional<std::string> hostName = Utf16ToUtf8(parts.back());
        if (!hostName) return false;
        file = &AddEntry(*dir, Node{Node::Type::File, *hostName, parts.back(), false, {}, {}});
    }
    if (file->type != Node::Type::File) return false;
    file->contents.assign(contents);
    file->readOnly = readOnly;
    return true;
}

uint32_t MemoryFiles::Look(std::u16string_view devicePath, FileFacts& facts) const
{
    Found found;
    if (uint32_t error = Find(devicePath, found, true)) return error;
    const Node& node = *found.node;
    facts.kind = node.type == Node::Type::Folder ? FileKind::Folder
                 : node.type == Node::Type::File ? FileKind::File
                                                 : FileKind::Other;
    facts.readOnly = found.parent && node.readOnly;
    facts.size = facts.kind == FileKind::File ? node.contents.size() : 0;
    facts.canonical = found.device;
    return 0;
}

uint32_t MemoryFiles::FindParent(const std::vector<std::u16string>& parts, Found& found) const
{
    std::u16string parent;
    for (size_t i = 0; i + 1 < parts.size(); ++i) parent += u"\\" + parts[i];
    if (Find(parent.empty() ? u"\\" : parent, found, true) != 0 || found.node->type != Node::Type::Folder)
        return ERROR_PATH_NOT_FOUND;
    if (!found.parent) found.device.clear();
    return 0;
}

uint32_t MemoryFiles::CreateFile(std::u16string_view devicePath, bool truncate, std::u16string& canonical)
{
    std::vector<std::u16string> parts;
    bool trailing = false;
    if (!SplitDevicePath(devicePath, parts, &trailing) || parts.empty() || trailing) return ERROR_INVALID_NAME;
    Found folder;
    if (uint32_t error = FindParent(parts, folder)) return error;
    // Any entry of the name, a link's stand-in too, is taken: never replaced.
    if (Node* file = MatchEntry(*folder.node, parts.back())) {
        if (file->type != Node::Type::File) return ERROR_ACCESS_DENIED;
        canonical = folder.device + u"\\" + *file->name;
        if (!truncate) return 0;
        if (file->readOnly) return ERROR_ACCESS_DENIED;
        file->contents.clear();
        return 0;
    }
    std::optional<std::string> hostName = Utf16ToUtf8(parts.back());
    if (!hostName) return ERROR_INVALID_NAME;
    AddEntry(*folder.node, Node{Node::Type::File, *hostName, parts.back(), false, {}, {}});
    canonical = folder.device + u"\\" + parts.back();
    return 0;
}

uint32_t MemoryFiles::WriteAt(std::u16string_view devicePath, uint64_t offset, std::string_view bytes)
{
    Found found;
    if (uint32_t error = Find(devicePath, found)) return error;
    Node& file = *found.node;
    if (file.type != Node::Type::File || file.readOnly) return ERROR_ACCESS_DENIED;
    if (bytes.empty()) return 0;
    if (file.contents.size() < offset + bytes.size()) file.contents.resize(offset + bytes.size(), '\0');
    file.contents.replace(offset, bytes.size(), bytes);
    return 0;
}

uint32_t MemoryFiles::ReadAt(std::u16string_view devicePath, uint64_t offset, size_t limit, std::string& bytes) const
{
    Found found;
    if (uint32_t error = Find(devicePath, found)) return error;
    if (found.node->type != Node::Type::File) return ERROR_ACCESS_DENIED;
    const std::string& contents = found.node->contents;
    bytes = offset < contents.size() ? contents.substr(offset, limit) : std::string();
    return 0;
}

uint32_t MemoryFiles::FindFreeName(std::u16string_view devicePath, Found& folder, std::u16string& name,
                                   std::string& hostName) const
{
    std::vector<std::u16string> parts;
    if (!SplitDevicePath(devicePath, parts)) return ERROR_INVALID_NAME;
    if (parts.empty()) return ERROR_ALREADY_EXISTS;
    if (uint32_t error = FindParent(parts, folder)) return error;
    if (MatchEntry(*folder.node, parts.back())) return ERROR_ALREADY_EXISTS;
    std::optional<std::string> host = Utf16ToUtf8(parts.back());
    if (!host) return ERROR_INVALID_NAME;
    name = parts.back();
    hostName = std::move(*host);
    return 0;
}

uint32_t MemoryFiles::CreateFolder(std::u16string_view devicePath)
{
    Found folder;
    std::u16string name;
    std::string hostName;
    if (uint32_t error = FindFreeName(devicePath, folder, name, hostName)) return error;
    AddEntry(*folder.node, Node{Node::Type::Folder, hostName, name, false, {}, {}});
    return 0;
}

namespace {

bool Holds(const MemoryFiles::Node& tree, const MemoryFiles::Node* node)
{
    if (&tree == node) return true;
    for (const MemoryFiles::Node& entry : tree.entries)
        if (Holds(entry, node)) return true;
    return false;
}

}  // namespace

uint32_t MemoryFiles::Move(std::u16string_view from, std::u16string_view to)
{
    Found found;
    if (uint32_t error = Find(from, found)) return error;
    if (!found.parent) return ERROR_ACCESS_DENIED;
    Found folder;
    std::u16string name;
    std::string hostName;
    if (uint32_t error = FindFreeName(to, folder, name, hostName)) return error;
    if (Holds(*found.node, folder.node)) return ERROR_ACCESS_DENIED;
    Node moved = std::move(*found.node);
    moved.hostName = hostName;
    moved.name = name;
    RemoveEntry(*found.parent, *found.node);
    // Taking the entry out may have moved its siblings: the folder is found again.
    if (uint32_t error = FindFreeName(to, folder, name, hostName)) return error;
    AddEntry(*folder.node, std::move(moved));
    return 0;
}

std::shared_ptr<FileStore> MemoryFiles::CopyInMemory(std::string&) const
{
    return std::make_shared<MemoryFiles>(*this);
}

}  // namespace sim
