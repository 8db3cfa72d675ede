#include "tests/expected/expected_plan.h"

#include "formats/text.h"

namespace expected {

std::u16string FolderOf(Base base, const formats::DeviceConfig& folders)
{
    return base == Base::Startup ? folders.startup : base == Base::Programs ? folders.programs : folders.temp;
}

const char* RootName(Root root)
{
    switch (root) {
    case Root::ClassesRoot: return "HKEY_CLASSES_ROOT";
    case Root::CurrentUser: return "HKEY_CURRENT_USER";
    case Root::LocalMachine: break;
    }
    return "HKEY_LOCAL_MACHINE";
}

std::vector<PlanItem> PlanItems(const std::u16string& installDir, const formats::DeviceConfig& folders,
                                const sim::DeviceImage* device)
{
    std::vector<PlanItem> items;
    for (const FileWords& row : kFileRows) {
        const std::u16string base = row.base == Base::Fixed        ? u""
                                    : row.base == Base::InstallDir ? installDir
                                                                   : FolderOf(row.base, folders);
        if (row.base != Base::Fixed && base.empty()) continue;
        const std::u16string path = base + row.suffix;
        std::u16string name;
        for (char16_t c : path)
            if (!(c == u'\\' && !name.empty() && name.back() == u'\\')) name.push_back(c);
        items.push_back({row.kind == Kind::Directory ? PlanItem::Folder : PlanItem::File,
                         formats::Utf16ToUtf8Lossy(name), device && device->Files().Exists(path)});
    }
    for (const KeyWords& row : kKeyRows) {
        const formats::Root root = row.root == Root::ClassesRoot   ? formats::Root::ClassesRoot
                               : row.root == Root::CurrentUser ? formats::Root::CurrentUser
                                                               : formats::Root::LocalMachine;
        items.push_back({PlanItem::Key, std::string(RootName(row.root)) + "\\" + formats::Utf16ToUtf8Lossy(row.path),
                         device && device->registry.keys.Find(root, row.path)});
    }
    return items;
}

std::vector<std::u16string> CountedFiles(const std::u16string& installDir)
{
    std::vector<std::u16string> files;
    for (const FileWords& row : kFileRows)
        if (row.kind == Kind::Counted) files.push_back((row.base == Base::InstallDir ? installDir : u"") + row.suffix);
    return files;
}

}  // namespace expected
