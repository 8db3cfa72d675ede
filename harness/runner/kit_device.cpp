#include "harness/runner/kit_device.h"

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

}  // namespace

sim::DeviceImage KitDeviceImage(const KitLog* kit)
{
    sim::DeviceImage image = SampleDeviceInMemory(SampleState::Installed);
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
    for (const KitHold& hold : kit->holds) config.heldOpen.emplace_back(onDevice(hold.file));
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
