#include "tools/trq-uninstall-sim/change_report.h"

#include <algorithm>
#include <iterator>

#include "formats/text.h"

namespace tool {

namespace {

// The order of DeviceContents: by kind, then by name.
bool BeforeInContents(const runner::PlanItem& a, const runner::PlanItem& b)
{
    return a.kind != b.kind ? a.kind < b.kind : a.name < b.name;
}

}  // namespace

std::vector<runner::PlanItem> DeviceContents(const sim::DeviceImage& image)
{
    std::vector<runner::PlanItem> all;
    for (std::u16string path : image.Files().List()) {
        const bool folder = path.size() > 1 && path.back() == u'\\';
        if (folder) path.pop_back();
        all.push_back({folder ? runner::PlanItem::Folder : runner::PlanItem::File, formats::Utf16ToUtf8Lossy(path), true});
    }
    for (const std::string& key : image.registry.keys.KeyList())
        all.push_back({runner::PlanItem::Key, key, true});
    std::sort(all.begin(), all.end(), BeforeInContents);
    return all;
}

void WriteChangeReport(std::ostream& out, const sim::DeviceImage& image, const std::vector<runner::PlanItem>& before,
                       const std::u16string& installDir)
{
    const std::vector<runner::PlanItem> after = DeviceContents(image);
    std::vector<runner::PlanItem> removed;
    std::set_difference(before.begin(), before.end(), after.begin(), after.end(),
                        std::back_inserter(removed), BeforeInContents);
    out << "\nRemoved from the device (" << removed.size() << "):\n";
    for (const runner::PlanItem& item : removed) out << "  " << runner::ItemLine(item, image.config) << "\n";
    if (removed.empty()) out << "  nothing\n";

    std::vector<std::string> left;
    for (const runner::PlanItem& item : runner::PlanItems(image, installDir))
        if (item.present) left.push_back(runner::ItemLine(item, image.config));
    out << "Still on the device of what the uninstaller removes (" << left.size() << "):\n";
    for (const std::string& line : left) out << "  " << line << "\n";
    if (left.empty()) out << "  nothing\n";
}

}  // namespace tool
