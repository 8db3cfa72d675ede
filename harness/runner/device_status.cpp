#include "harness/runner/device_status.h"

#include "formats/host_file.h"
#include "formats/text.h"
#include "harness/runner/plan_items.h"

namespace runner {

using formats::DeviceConfig;
using formats::DeviceHold;
using formats::HoldRule;
using formats::HoldRuleKey;
using formats::SameDevicePath;
using formats::Utf16ToUtf8Lossy;
using sim::DeviceImage;
using sim::HoldRuleDescription;
using sim::HoldsAtStartup;
using sim::StartupHold;
namespace {

// Names and paths from the image, as the terminal may show them.
std::string Utf8(std::u16string_view text) { return host::Printable(Utf16ToUtf8Lossy(text)); }

// "Service " and the like: the rule's key, padded so the paths line up.
std::string RuleColumn(HoldRule rule)
{
    std::string key = HoldRuleKey(rule);
    return key + std::string(key.size() < 8 ? 8 - key.size() : 1, ' ');
}

std::string Origin(HoldRule rule, std::u16string_view source)
{
    std::string why = HoldRuleDescription(rule);
    if (rule == HoldRule::Startup) return why + " by the shortcut " + Utf8(source);
    return why + ", registered at " + Utf8(source);
}

void WriteHold(std::ostream& out, HoldRule rule, std::u16string_view file, const std::string& why)
{
    out << "  " << RuleColumn(rule) << " " << Utf8(file) << "\n"
        << "  " << std::string(9, ' ') << why << "\n";
}

const StartupHold* FindHold(const std::vector<StartupHold>& holds, const DeviceHold& held)
{
    for (const StartupHold& hold : holds)
        if (hold.rule == held.rule && SameDevicePath(hold.file, held.path)) return &hold;
    return nullptr;
}

}  // namespace

void WriteDeviceStatus(std::ostream& out, const DeviceImage& image)
{
    const DeviceConfig& config = image.config;
    const std::optional<std::u16string> installDir = RecordedInstallDir(image.registry.keys);
    out << "Install record: "
        << (installDir ? "the package is installed in " + Utf8(*installDir)
                    : std::string("none (the install directory's files cannot be named)"))
        << "\n";

    std::vector<PlanItem> items = PlanItems(image, installDir.value_or(u""));
    std::vector<std::string> present;
    for (const PlanItem& item : items)
        if (item.present) present.push_back(ItemLine(item, config));
    out << "Of what the uninstaller removes, on the device (" << present.size() << " of "
        << items.size() << "):\n";
    for (const std::string& line : present) out << "  " << line << "\n";
    if (present.empty()) out << "  nothing\n";

    // Measured against what the device would hold if it started now.
    const std::vector<StartupHold> next = HoldsAtStartup(image);
    out << "Held open by the device since it started ([HeldByDevice]):\n";
    for (const DeviceHold& held : config.heldByDevice) {
        const StartupHold* hold = FindHold(next, held);
        WriteHold(out, held.rule, held.path,
                  hold ? Origin(hold->rule, hold->source)
                       : std::string(HoldRuleDescription(held.rule)) +
                             "; no longer registered: released at the next start");
    }
    if (config.heldByDevice.empty()) out << "  nothing\n";
    std::vector<const StartupHold*> added;
    for (const StartupHold& hold : next) {
        bool held = false;
        for (const DeviceHold& h : config.heldByDevice)
            held = held || (h.rule == hold.rule && SameDevicePath(h.path, hold.file));
        if (!held) added.push_back(&hold);
    }
    if (!added.empty()) {
        out << "Held open by the device from its next start:\n";
        for (const StartupHold* hold : added)
            WriteHold(out, hold->rule, hold->file, Origin(hold->rule, hold->source));
    }

    out << "Held open by programs the user started ([HeldOpen], released at the next start):\n";
    for (const std::u16string& path : config.heldOpen) out << "  " << Utf8(path) << "\n";
    if (config.heldOpen.empty()) out << "  nothing\n";

    if (config.running.empty()) return;
    out << "Running, started by programs ([Running], ended at the next start):\n";
    for (const formats::RunningProgram& program : config.running) {
        out << "  " << Utf8(program.program) << "\n"
            << "  " << std::string(9, ' ')
            << (program.event.empty() ? std::string("until the device restarts")
                                      : "until the event \"" + Utf8(program.event) + "\" is set")
            << "\n";
        for (const std::u16string& file : program.files)
            out << "  " << std::string(9, ' ') << "holds " << Utf8(file) << "\n";
    }
}

std::vector<std::u16string> ReleasedAtStart(const DeviceConfig& config)
{
    std::vector<std::u16string> released = config.heldOpen;
    for (const formats::RunningProgram& program : config.running) {
        released.push_back(program.program);
        released.insert(released.end(), program.files.begin(), program.files.end());
    }
    return released;
}

void WriteDeviceStart(std::ostream& out, const std::vector<std::u16string>& released,
                      const std::vector<StartupHold>& holds)
{
    out << "Released, held by programs the user had started:\n";
    for (const std::u16string& path : released) out << "  " << Utf8(path) << "\n";
    if (released.empty()) out << "  nothing\n";
    out << "Held open by the device since it started:\n";
    for (const StartupHold& hold : holds)
        WriteHold(out, hold.rule, hold.file, Origin(hold.rule, hold.source));
    if (holds.empty()) out << "  nothing\n";
}

}  // namespace runner
