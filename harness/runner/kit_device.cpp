#include "harness/runner/kit_device.h"

#include <charconv>
#include <optional>

#include "device/device_text.h"
#include "formats/device_ini.h"
#include "formats/device_path.h"
#include "formats/text.h"
#include "harness/runner/run_device.h"
#include "harness/runner/sample_device.h"
#include "platform/sim/device_startup.h"

namespace runner {

using formats::EqualsIgnoreCase;
using sim::CallValue;
using Is = CallValue::Is;

namespace {

std::u16string WithoutTrailingSeparators(std::u16string path)
{
    while (!path.empty() && device_text::IsPathSeparator(path.back())) path.pop_back();
    return path;
}

// The drive a folder read on desktop Windows starts with ("C:"); "" for a
// Pocket PC's folder.
std::u16string DriveOf(const std::u16string& folder)
{
    const char16_t letter = device_text::FoldCase(folder.empty() ? u'\0' : folder[0]);
    const bool drive = folder.size() > 2 && letter >= u'a' && letter <= u'z' && folder[1] == u':' &&
                       device_text::IsPathSeparator(folder[2]);
    return drive ? folder.substr(0, 2) : std::u16string();
}

// Moves the sample's files below folder from to folder to, where the
// device keeps them; a file that cannot be written there stays where it was.
void MoveFolder(sim::DeviceImage& image, const std::u16string& fromPath, std::u16string_view toPath)
{
    const std::u16string from = WithoutTrailingSeparators(fromPath),
                         to = WithoutTrailingSeparators(std::u16string(toPath));
    if (formats::SameDevicePath(from, to)) return;
    sim::DeviceFiles files = image.Files();
    for (const std::u16string& path : files.List()) {
        if (path.empty() || path.back() == u'\\' || path.size() <= from.size() || path[from.size()] != u'\\' ||
            !EqualsIgnoreCase(path.substr(0, from.size()), from))
            continue;
        std::string bytes;
        if (files.ReadHead(path, size_t(1) << 20, bytes) && files.WriteFile(to + path.substr(from.size()), bytes))
            files.DeleteFile(path);
    }
}

// Every string value of the registry that names the sample's install
// directory names the device's instead.
void RenameInstallDir(formats::RegKey& key, const std::u16string& from, const std::u16string& to)
{
    for (formats::RegValue& value : key.values) {
        if (value.type != REG_SZ) continue;
        std::optional<std::u16string> text = formats::StringOfData(value.data);
        if (!text) continue;
        bool changed = false;
        for (size_t at = text->find(from); at != std::u16string::npos; at = text->find(from, at + to.size())) {
            text->replace(at, from.size(), to);
            changed = true;
        }
        if (changed) value.data = formats::StringData(*text);
    }
    for (auto& sub : key.keys) RenameInstallDir(*sub, from, to);
}

// The file system the device's facts name, and why.
HeldFileAnswers FromFacts(const DeviceFacts& facts)
{
    using formats::FileSystem;
    if (!facts.osKnown) return {FileSystem::Fat, "the device did not say its version: taken as Windows Mobile 5 or later"};
    const std::string version = std::to_string(facts.os.dwMajorVersion) + "." + std::to_string(facts.os.dwMinorVersion);
    if (facts.os.dwPlatformId != VER_PLATFORM_WIN32_CE)
        return {FileSystem::Desktop, "the device is desktop Windows " + version};
    if (facts.os.dwMajorVersion < 5)
        return {FileSystem::ObjectStore, "Windows CE " + version + " keeps the package in the object store"};
    return {FileSystem::Fat, "Windows CE " + version + " keeps the package behind the FAT driver"};
}

// How a kit's probe held its file ("running program", "open without sharing").
std::optional<formats::HoldKind> HoldKindOf(const std::string& how)
{
    if (how == "running program") return formats::HoldKind::RunningProgram;
    if (how == "open without sharing") return formats::HoldKind::OpenFile;
    return std::nullopt;
}

}  // namespace

HeldFileAnswers ChooseHeldFileAnswers(const KitLog* kit, const DeviceFacts& facts)
{
    HeldFileAnswers named = FromFacts(facts);
    if (!kit) return named;
    // The probes the device refused: each kind of hold with its error.
    std::vector<std::pair<formats::HoldKind, uint32_t>> refused;
    for (const KitProbe& probe : kit->probes) {
        const std::optional<formats::HoldKind> kind = HoldKindOf(probe.how);
        uint32_t error = 0;
        const char* end = probe.error.data() + probe.error.size();
        if (!kind || probe.result != "0" || std::from_chars(probe.error.data(), end, error).ptr != end) continue;
        refused.emplace_back(*kind, error);
    }
    if (refused.empty()) return named;
    const auto fits = [&](const formats::FileSystemRow& row) {
        for (const auto& [kind, error] : refused)
            if (row.HeldError(kind) != error) return false;
        return true;
    };
    if (fits(formats::FileSystemOf(named.system))) return {named.system, "as the kit's probes answered"};
    for (const formats::FileSystemRow& row : formats::kFileSystems)
        if (fits(row)) return {row.system, "as the kit's probes answered"};
    return {named.system, "the kit's probes answered as no file system known here; " + named.why};
}

sim::DeviceImage KitDeviceImage(const KitLog* kit, formats::FileSystem system)
{
    sim::DeviceImage image = SampleDeviceInMemory(SampleState::Installed);
    image.config.device.fileSystem = system;
    if (!kit) return image;
    formats::DeviceConfig& config = image.config;
    // On desktop Windows the kit reads folders on a drive: the device
    // answers them so, and its files lie below the drive's root.
    for (const auto& [name, folder] : kit->folders)
        if (config.drive.empty()) config.drive = DriveOf(folder);
    const auto onDevice = [&](const std::u16string& path) { return formats::BelowDrive(path, config.drive); };
    for (auto [name, folder] : {std::pair{"Startup", &config.startup}, std::pair{"Programs", &config.programs},
                                std::pair{"Temp", &config.temp}}) {
        const std::u16string* read = kit->Folder(name);
        if (!read || read->empty()) continue;
        MoveFolder(image, *folder, onDevice(*read));
        *folder = *read;
    }
    if (const std::u16string* dir = kit->Folder("InstallDir"); dir && !dir->empty()) {
        const std::u16string to = WithoutTrailingSeparators(*dir);
        MoveFolder(image, kSampleInstallDir, onDevice(to));
        if (to != kSampleInstallDir)
            for (formats::Root root : {formats::Root::ClassesRoot, formats::Root::CurrentUser, formats::Root::LocalMachine})
                RenameInstallDir(image.registry.keys.RootKey(root), kSampleInstallDir, to);
    }
    // A program the kit keeps running holds its image until the device
    // restarts; a file it opens without sharing is held as one the user's
    // program holds.
    for (const KitHold& hold : kit->holds) {
        if (HoldKindOf(hold.how) == formats::HoldKind::RunningProgram)
            config.running.push_back({std::u16string(onDevice(hold.file)), {}, u"", false});
        else
            config.heldOpen.emplace_back(onDevice(hold.file));
    }
    return image;
}

SameDeviceRun KitDevice::Play(const TraceRun& run, bool cutShort)
{
    if (runs_++ && !restarted_) sim::StartDevice(image_);

    // The buttons the device's user pressed, box by box.
    std::vector<int> buttons;
    for (const TraceRecord& call : run.calls)
        if (call.record.call == &device_calls::call::MessageBoxW) {
            const CallValue& ret = call.record.result;
            buttons.push_back(ret.is == Is::Number ? static_cast<int>(ret.number) : 0);
        }
    size_t pressed = 0;
    RunOptions options;
    options.writeBack = false;
    options.keepRecords = true;
    options.answerer = [&](const sim::BoxRecord&) -> std::optional<int> {
        if (pressed == buttons.size()) return std::nullopt;
        return buttons[pressed++];
    };
    RunOutcome outcome;
    std::string error;
    RunUninstallOn(image_, options, outcome, error);  // in memory: nothing to write back
    restarted_ = outcome.stop == sim::Stop::Reset;

    return CompareRuns(run, AsTraceRun(outcome.trace), runs_ == 1 ? kit_ : nullptr, cutShort);
}

}  // namespace runner
