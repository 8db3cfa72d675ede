#include "harness/runner/plan_items.h"

#include "formats/host_file.h"
#include "formats/text.h"
#include "platform/sim/services.h"
#include "removal/file_plan.h"
#include "removal/registry_plan.h"

namespace runner {

using formats::DeviceConfig;
using formats::HoldRule;
using formats::HoldRuleKey;
using formats::RegKey;
using formats::RegValue;
using formats::Registry;
using formats::Root;
using formats::StringOfData;
using formats::Utf16ToUtf8Lossy;
using formats::Utf8ToUtf16;
using sim::DeviceFiles;
using sim::DeviceImage;
using sim::HandleName;
using sim::RootOfHandle;

std::optional<std::u16string> RecordedInstallDir(const Registry& registry)
{
    const RegKey* record =
        registry.Find(Root::LocalMachine, u"SOFTWARE\\Apps\\Vantrelle PocketPC Edition");
    if (!record) return std::nullopt;
    for (const char16_t* name : {u"InstallDir", u"InstDir"}) {
        const RegValue* v = record->FindValue(name);
        // The device reads the directory into a buffer of MAX_PATH
        // characters: a longer value is one it never gets.
        if (!v || v->data.size() > MAX_PATH * sizeof(WCHAR)) continue;
        std::optional<std::u16string> text = StringOfData(v->data);
        if (text && !text->empty()) return text;
    }
    return std::nullopt;
}

std::string ItemLine(const PlanItem& item, const DeviceConfig& config)
{
    std::string line = item.kind == PlanItem::Key      ? "key    "
                       : item.kind == PlanItem::Folder ? "folder "
                                                       : "file   ";
    line += host::Printable(item.name);
    if (item.kind != PlanItem::File) return line;
    const std::u16string path = Utf8ToUtf16(item.name).value_or(u"");
    std::string held;
    for (HoldRule rule : config.DeviceRulesHolding(path))
        held += std::string(held.empty() ? "" : ", ") + HoldRuleKey(rule);
    if (config.IsHeldByUser(path)) held += std::string(held.empty() ? "" : ", ") + "user";
    if (config.IsHeldByRunning(path)) held += std::string(held.empty() ? "" : ", ") + "running";
    if (!held.empty()) line += "  (held open: " + held + ")";
    return line;
}

std::vector<PlanItem> PlanItems(const DeviceImage& image, const std::u16string& installDir,
                                const DeviceConfig* folders)
{
    const DeviceConfig& config = folders ? *folders : image.config;
    std::vector<PlanItem> items;
    const DeviceFiles files = image.Files();
    for (int i = 0; i < kFilePlanRows; ++i) {
        const FileRow& row = kFilePlan[i];
        std::u16string base;
        switch (row.base) {
        case kFixedPath: break;
        case kInstallDir: base = installDir; break;
        case kStartupFolder: base = config.startup; break;
        case kTempFolder: base = config.temp; break;
        case kProgramsFolder: base = config.programs; break;
        }
        if (row.base != kFixedPath && base.empty()) continue;
        std::u16string path = base + row.suffix;
        // Named as the device reads it: doubled separators fold.
        std::u16string name;
        for (char16_t c : path)
            if (!(c == u'\\' && !name.empty() && name.back() == u'\\')) name.push_back(c);
        PlanItem item{row.action == kDirectory ? PlanItem::Folder : PlanItem::File,
                      Utf16ToUtf8Lossy(name), files.Exists(path)};
        items.push_back(item);
    }
    for (int i = 0; i < kRegistryPlanRows; ++i) {
        const KeyRow& row = kRegistryPlan[i];
        // A row under a handle that is no root names no key of the device.
        std::optional<Root> root = RootOfHandle(row.root);
        items.push_back({PlanItem::Key, HandleName(row.root) + "\\" + Utf16ToUtf8Lossy(row.path),
                         root && image.registry.keys.Find(*root, row.path) != nullptr});
    }
    return items;
}

}  // namespace runner
