#include "platform/sim/device_startup.h"

#include <algorithm>

#include "device/device.h"
#include "device/device_text.h"
#include "formats/device_path.h"
#include "formats/text.h"

namespace sim {

using formats::BelowDrive;
using formats::EqualsIgnoreCase;
using formats::FoldCase;
using formats::HoldRule;
using formats::RegKey;
using formats::RegValue;
using formats::Registry;
using formats::Root;
using formats::RootName;
using formats::SplitDevicePath;
using formats::StringOfData;
using formats::Utf8ToUtf16;
namespace {

// Where the registrations sit.
const char16_t kServices[] = u"Services";
const char16_t kNewMenu[] = u"Software\\Microsoft\\Shell\\Extensions\\NewMenu";
const char16_t kSyncObjects[] = u"Windows CE Services\\Synchronization\\Objects";

// A shortcut is one short line; more than this is not read.
const size_t kMaxShortcutBytes = 4096;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool EndsWithIgnoreCase(std::u16string_view text, std::u16string_view suffix)
{
    return text.size() >= suffix.size() &&
           EqualsIgnoreCase(text.substr(text.size() - suffix.size()), suffix);
}

// A REG_SZ value up to its first NUL (or the whole of it, unterminated).
std::optional<std::u16string> StringValue(const RegKey* key, std::u16string_view name)
{
    if (!key) return std::nullopt;
    const RegValue* value = key->FindValue(name);
    if (!value || value->type != REG_SZ) return std::nullopt;
    return StringOfData(value->data);
}

std::u16string KeyName(Root root, std::u16string_view parent, const RegKey& key)
{
    return *Utf8ToUtf16(RootName(root)) + u"\\" + std::u16string(parent) + u"\\" + key.name;
}

// Holds the file `path` names, if it is a file on the device.
void Hold(const DeviceFiles& files, HoldRule rule, std::u16string_view path,
          std::u16string source, std::vector<StartupHold>& holds)
{
    std::u16string file;
    if (files.KindOf(path, &file) != DeviceFiles::Kind::File) return;
    for (const StartupHold& hold : holds)
        if (hold.rule == rule && hold.file == file) return;
    holds.push_back({rule, std::move(file), std::move(source)});
}

// The in-process server of a class: HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32.
std::optional<std::u16string> InprocServer(const Registry& registry, std::u16string_view clsid,
                                           std::u16string_view drive)
{
    // A class id is one key name; anything with a separator would wander
    // elsewhere in the registry.
    if (clsid.empty() || clsid.find(u'\\') != std::u16string_view::npos) return std::nullopt;
    const RegKey* server = registry.Find(
        Root::ClassesRoot, u"CLSID\\" + std::u16string(clsid) + u"\\InprocServer32");
    std::optional<std::u16string> name = StringValue(server, u"");
    return name ? LibraryPath(*name, drive) : std::nullopt;
}

void StartupFolder(const DeviceImage& image, const DeviceFiles& files,
                   std::vector<StartupHold>& holds)
{
    const std::u16string_view folder = BelowDrive(image.config.startup, image.config.drive);
    if (folder.empty()) return;
    std::u16string prefix;
    if (files.KindOf(folder, &prefix) != DeviceFiles::Kind::Folder) return;
    if (prefix == u"\\") prefix.clear();

    std::vector<std::u16string> names;
    for (std::u16string& name : files.Names(folder))
        if (EndsWithIgnoreCase(name, u".lnk")) names.push_back(std::move(name));
    // Folder order does not depend on the host: names as the device sorts them.
    std::sort(names.begin(), names.end(), [](const std::u16string& a, const std::u16string& b) {
        size_t n = std::min(a.size(), b.size());
        for (size_t i = 0; i < n; ++i)
            if (FoldCase(a[i]) != FoldCase(b[i])) return FoldCase(a[i]) < FoldCase(b[i]);
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });

    for (const std::u16string& name : names) {
        std::u16string shortcut;
        std::string text;
        if (files.KindOf(prefix + u"\\" + name, &shortcut) != DeviceFiles::Kind::File ||
            !files.ReadHead(shortcut, kMaxShortcutBytes, text))
            continue;
        if (std::optional<std::u16string> target = ShortcutTarget(text))
            Hold(files, HoldRule::Startup, *target, shortcut, holds);
    }
}

void Services(const Registry& registry, const DeviceFiles& files, std::u16string_view drive,
              std::vector<StartupHold>& holds)
{
    const RegKey* services = registry.Find(Root::LocalMachine, kServices);
    if (!services) return;
    for (const auto& service : services->keys) {
        std::optional<std::u16string> dll = StringValue(service.get(), u"Dll");
        std::optional<std::u16string> path = dll ? LibraryPath(*dll, drive) : std::nullopt;
        if (path)
            Hold(files, HoldRule::Service, *path, KeyName(Root::LocalMachine, kServices, *service),
                 holds);
    }
}

void NewMenuExtensions(const Registry& registry, const DeviceFiles& files, std::u16string_view drive,
                       std::vector<StartupHold>& holds)
{
    const RegKey* extensions = registry.Find(Root::LocalMachine, kNewMenu);
    if (!extensions) return;
    for (const auto& extension : extensions->keys) {
        if (std::optional<std::u16string> path = InprocServer(registry, extension->name, drive))
            Hold(files, HoldRule::NewMenu, *path,
                 KeyName(Root::LocalMachine, kNewMenu, *extension), holds);
    }
}

void SyncProviders(const Registry& registry, const DeviceFiles& files, std::u16string_view drive,
                   std::vector<StartupHold>& holds)
{
    const RegKey* objects = registry.Find(Root::LocalMachine, kSyncObjects);
    if (!objects) return;
    for (const auto& provider : objects->keys) {
        std::optional<std::u16string> store = StringValue(provider.get(), u"Store");
        std::optional<std::u16string> path = store ? InprocServer(registry, *store, drive) : std::nullopt;
        if (path)
            Hold(files, HoldRule::Sync, *path, KeyName(Root::LocalMachine, kSyncObjects, *provider),
                 holds);
    }
}

}  // namespace

std::optional<std::u16string> LibraryPath(std::u16string_view name, std::u16string_view drive)
{
    name = BelowDrive(name, drive);
    std::vector<std::u16string> parts;
    bool trailing = false;
    if (!SplitDevicePath(name, parts, &trailing) || parts.empty() || trailing) return std::nullopt;
    if (device_text::IsPathSeparator(name.front())) return std::u16string(name);
    if (parts.size() == 1) return u"\\Windows\\" + parts[0];
    return std::nullopt;
}

std::optional<std::u16string> ShortcutTarget(std::string_view text)
{
    std::string_view line = text.substr(0, text.find_first_of("\r\n"));
    size_t digits = 0;
    while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') ++digits;
    if (digits == 0 || digits > 4 || digits == line.size() || line[digits] != '#')
        return std::nullopt;
    std::string_view rest = line.substr(digits + 1);
    while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);

    std::string_view target;
    if (!rest.empty() && rest.front() == '"') {
        size_t close = rest.find('"', 1);
        if (close == std::string_view::npos) return std::nullopt;
        target = rest.substr(1, close - 1);
    } else {
        size_t blank = 0;
        while (blank < rest.size() && !IsBlank(rest[blank])) ++blank;
        target = rest.substr(0, blank);
    }
    std::optional<std::u16string> wide = Utf8ToUtf16(target);
    return wide ? LibraryPath(*wide) : std::nullopt;
}

std::vector<StartupHold> HoldsAtStartup(const DeviceImage& image)
{
    std::vector<StartupHold> holds;
    const DeviceFiles files = image.Files();
    const Registry& registry = image.registry.keys;
    StartupFolder(image, files, holds);
    const std::u16string_view drive = image.config.drive;
    Services(registry, files, drive, holds);
    NewMenuExtensions(registry, files, drive, holds);
    SyncProviders(registry, files, drive, holds);
    return holds;
}

std::vector<StartupHold> StartDevice(DeviceImage& image)
{
    std::vector<StartupHold> holds = HoldsAtStartup(image);
    image.config.heldOpen.clear();
    image.config.heldByDevice.clear();
    image.config.running.clear();
    for (const StartupHold& hold : holds) image.config.heldByDevice.push_back({hold.rule, hold.file});
    return holds;
}

const char* HoldRuleDescription(HoldRule rule)
{
    switch (rule) {
    case HoldRule::Startup: return "started from the Startup folder";
    case HoldRule::Service: return "loaded by the service host";
    case HoldRule::NewMenu: return "loaded by the shell as a New-menu extension";
    case HoldRule::Sync: return "loaded by the synchronisation service as a provider";
    }
    return "?";
}

}  // namespace sim
