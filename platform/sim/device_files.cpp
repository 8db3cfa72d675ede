#include "platform/sim/device_files.h"

#include <algorithm>

#include "formats/text.h"
#include "platform/sim/disk_files.h"
#include "platform/sim/memory_files.h"

namespace sim {

using formats::FoldCase;

namespace {

// Orders names as the device would list them: case-insensitively, with the
// exact spelling only as a tie-break.
int CompareNames(std::u16string_view a, std::u16string_view b)
{
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        char16_t fa = FoldCase(a[i]);
        char16_t fb = FoldCase(b[i]);
        if (fa != fb) return fa < fb ? -1 : 1;
    }
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}

}  // namespace

std::vector<std::u16string> SortedDevicePaths(std::vector<ListedEntry> entries)
{
    std::sort(entries.begin(), entries.end(), [](const ListedEntry& a, const ListedEntry& b) {
        size_t n = std::min(a.names.size(), b.names.size());
        for (size_t i = 0; i < n; ++i) {
            if (int c = CompareNames(a.names[i], b.names[i])) return c < 0;
        }
        return a.names.size() < b.names.size();
    });

    std::vector<std::u16string> paths;
    paths.reserve(entries.size());
    for (const ListedEntry& entry : entries) {
        std::u16string path;
        for (const std::u16string& name : entry.names) {
            path += u'\\';
            path += name;
        }
        if (entry.folder) path += u'\\';
        paths.push_back(std::move(path));
    }
    return paths;
}

DeviceFiles::DeviceFiles(std::shared_ptr<FileStore> store, std::filesystem::path root)
    : store_(std::move(store)), root_(std::move(root))
{
}

DeviceFiles::DeviceFiles(const std::filesystem::path& root)
    : DeviceFiles(std::make_shared<DiskFiles>(root), root)
{
}

DeviceFiles::DeviceFiles(host::Folder device, const std::filesystem::path& root)
    : DeviceFiles(std::make_shared<DiskFiles>(std::move(device), root), root)
{
}

DeviceFiles DeviceFiles::InMemory()
{
    return DeviceFiles(std::make_shared<MemoryFiles>(), {});
}

std::optional<DeviceFiles> DeviceFiles::CopyInMemory(std::string& error) const
{
    std::shared_ptr<FileStore> copy = store_->CopyInMemory(error);
    if (!copy) return std::nullopt;
    return DeviceFiles(std::move(copy), {});
}

std::u16string DeviceFiles::Canonical(std::u16string_view devicePath) const
{
    std::u16string canonical;
    KindOf(devicePath, &canonical);
    return canonical;
}

}  // namespace sim
