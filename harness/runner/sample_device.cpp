#include "harness/runner/sample_device.h"

#include <cstring>
#include <initializer_list>
#include <vector>

#include "device/device.h"
#include "formats/text.h"
#include "platform/sim/device_lock.h"
#include "platform/sim/device_startup.h"

namespace runner {

using formats::RegFile;
using formats::RegKey;
using formats::RegValue;
using formats::Registry;
using formats::Root;
using formats::StringData;
using formats::TextEncoding;
using formats::Utf8ToUtf16;
using sim::DeviceFiles;
using sim::DeviceImage;
using sim::SaveConfig;
using sim::SaveRegistry;
using sim::StartDevice;
using sim::kDeviceLockFile;
namespace {

const char16_t* const kNewMenuClsid = u"{5A0C3E71-9B4D-4E28-A6F1-07D3C8B2E95F}";
const char16_t* const kSyncStoreClsid = u"{8E4F2B91-3C6A-4D7E-B5A2-91F0C4D3E6B8}";

RegValue Sz(std::u16string name, std::u16string_view text)
{
    return RegValue{std::move(name), REG_SZ, StringData(text)};
}

RegValue Dword(std::u16string name, uint32_t value)
{
    RegValue v{std::move(name), REG_DWORD, {}};
    for (int i = 0; i < 4; ++i) v.data.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return v;
}

void Key(Registry& r, Root root, const std::u16string& path, std::initializer_list<RegValue> values)
{
    RegKey* key = r.Create(root, path);
    for (const RegValue& v : values) key->SetValue(v);
}

// A Windows CE shortcut: the length of the target, "#", the quoted target.
std::string Shortcut(const std::string& target)
{
    std::string quoted = "\"" + target + "\"";
    return std::to_string(quoted.size()) + "#" + quoted + "\r\n";
}

// A folder with nothing in it but the device's lock file, which the command
// making the device may hold already.
bool EmptyButForTheLock(const std::filesystem::path& dir)
{
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) return false;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename() != kDeviceLockFile) return false;
    return !ec;
}

// The package manager's records of the installation, and the .trp document type.
void AddPackageRecords(Registry& r, const std::u16string& dir)
{
    const Root CR = Root::ClassesRoot, LM = Root::LocalMachine;
    Key(r, LM, u"SOFTWARE\\Apps\\Vantrelle PocketPC Edition",
        {Sz(u"InstallDir", dir), Sz(u"InstDir", dir), Dword(u"Instl", 1),
         Sz(u"CmdFile", u"\\Windows\\AppMgr\\Vantrelle PocketPC Edition.DAT")});
    Key(r, LM, u"Security\\AppInstall\\Vantrelle PocketPC Edition", {Dword(u"Role", 0x100)});

    Key(r, CR, u".trp", {Sz(u"", u"trpfile")});
    Key(r, CR, u"trpfile", {Sz(u"", u"TRQ Task List")});
    Key(r, CR, u"trpfile\\DefaultIcon", {Sz(u"", dir + u"\\TRQ.exe,-101")});
    Key(r, CR, u"trpfile\\shell\\open\\command", {Sz(u"", u"\"" + dir + u"\\TRQ.exe\" %1")});
}

// The reminder service, loaded by the service host at start-up; the shell
// New-menu extension and the quick task-entry classes.
void AddComponents(Registry& r)
{
    const Root CR = Root::ClassesRoot, LM = Root::LocalMachine;
    Key(r, LM, u"Services\\TRQRem",
        {Sz(u"Dll", u"TRQRemindSvc.dll"), Sz(u"Prefix", u"TRQ"), Dword(u"Index", 0),
         Dword(u"Order", 9), Dword(u"Keep", 1), Sz(u"DisplayName", u"TRQ Reminders")});

    Key(r, LM, u"Software\\Microsoft\\Shell\\Extensions\\NewMenu\\" + std::u16string(kNewMenuClsid),
        {Sz(u"", u"Task")});
    Key(r, CR, u"CLSID\\" + std::u16string(kNewMenuClsid) + u"\\InprocServer32",
        {Sz(u"", u"\\Windows\\TRQNewMenu.dll")});
    for (const char16_t* name : {u"TRQNewMenu.Jotlet", u"TRQNewMenu.Jotlet.1"}) {
        Key(r, CR, name, {Sz(u"", u"TRQ Jotlet")});
        Key(r, CR, std::u16string(name) + u"\\CLSID", {Sz(u"", kNewMenuClsid)});
        Key(r, CR, std::u16string(name) + u"\\CurVer", {Sz(u"", u"TRQNewMenu.Jotlet.1")});
    }
}

// The synchronisation provider and its folder mappings; the components'
// per-user settings.
void AddSyncAndSettings(Registry& r, const std::u16string& dir)
{
    const Root CR = Root::ClassesRoot, CU = Root::CurrentUser, LM = Root::LocalMachine;
    Key(r, LM, u"Windows CE Services\\Synchronization\\Objects\\TRQSync",
        {Sz(u"Store", kSyncStoreClsid), Sz(u"Display Name", u"TRQ Tasks")});
    Key(r, CR, u"CLSID\\" + std::u16string(kSyncStoreClsid) + u"\\InprocServer32",
        {Sz(u"", dir + u"\\DevTRQSync.dll")});
    Key(r, CU, u"Software\\TRQ", {Sz(u"Version", u"4.2")});
    Key(r, CU, u"Software\\TRQ\\Sync", {Dword(u"Enabled", 1)});
    Key(r, CU, u"Software\\TRQ\\Sync\\Mappings\\1", {Sz(u"Folder", u"Tasks")});
    Key(r, CU, u"Software\\TRQ\\Sync\\Mappings\\2", {Sz(u"Folder", u"Notes")});

    Key(r, CU, u"Software\\TRQ\\TRQRemindSvc", {Dword(u"LeadMinutes", 15)});
    Key(r, CU, u"Software\\TRQ\\TRQNewMenu", {Dword(u"ShowInMenu", 1)});
    Key(r, CU, u"Software\\TRQ\\TRQ", {Sz(u"LastFile", u"\\My Documents\\Tasks.trp")});
    Key(r, CU, u"Software\\TRQ\\TRQ\\MainForm", {Dword(u"Left", 0), Dword(u"Top", 26)});
    Key(r, CU, u"Software\\TRQ\\TRQ\\Appearance", {Sz(u"Theme", u"Classic")});
}

// Another application, which must not be touched.
void AddAnotherApplication(Registry& r)
{
    const Root CR = Root::ClassesRoot, CU = Root::CurrentUser, LM = Root::LocalMachine;
    Key(r, LM, u"SOFTWARE\\Apps\\Pocket Atlas", {Sz(u"InstallDir", u"\\Program Files\\Atlas"),
                                                Dword(u"Instl", 1)});
    Key(r, LM, u"Services\\AtlasGps", {Sz(u"Dll", u"AtlasGps.dll"), Sz(u"Prefix", u"GPS")});
    Key(r, CR, u".txt", {Sz(u"", u"txtfile")});
    Key(r, CU, u"Software\\Atlas", {Dword(u"Zoom", 3)});
}

struct SampleFile {
    std::string path;
    std::string contents;
};

// The package's files, the device's own, the user's documents and another
// application's.
std::vector<SampleFile> SampleFiles()
{
    const std::string installDir = "\\Program Files\\TRQ";
    return {
        {installDir + "\\TRQ.exe", "TRQ main program\r\n"},
        {installDir + "\\TRQJotlet.exe", "TRQ quick task entry\r\n"},
        {installDir + "\\DevTRQSync.dll", "TRQ synchronisation provider\r\n"},
        {installDir + "\\TRQNewMenu.dll", "TRQ New-menu extension (private copy)\r\n"},
        {installDir + "\\Setup.dll", "TRQ setup library\r\n"},
        {installDir + "\\Services.loc", "TRQRem=\\Windows\\TRQRemindSvc.dll\r\n"},
        {installDir + "\\TRQ.exe.log", "started\r\n"},
        {installDir + "\\DevTRQSync.dll.log", "synchronised 12 tasks\r\n"},
        {installDir + "\\TRQNewMenu.dll.log", "menu item added\r\n"},
        {"\\Windows\\TRQUtil.exe", "TRQ utility\r\n"},
        {"\\Windows\\TRQRemindSvc.dll", "TRQ reminder service\r\n"},
        {"\\Windows\\TRQNewMenu.dll", "TRQ New-menu extension\r\n"},
        {"\\Windows\\TRQRemindSvc.dll.log", "service started\r\n"},
        {"\\Windows\\TRQNewMenu.dll.log", "extension loaded\r\n"},
        {"\\Windows\\Vantrelle PocketPC Edition.unload", "package manager uninstall script\r\n"},
        {"\\Windows\\AppMgr\\Vantrelle PocketPC Edition.DLL", "package manager setup library\r\n"},
        {"\\Windows\\StartUp\\TRQUtil.lnk", Shortcut("\\Windows\\TRQUtil.exe")},
        {"\\Windows\\Start Menu\\Programs\\TRQ.lnk", Shortcut(installDir + "\\TRQ.exe")},
        {"\\Windows\\Start Menu\\Programs\\TRQ Jotlet.lnk", Shortcut(installDir + "\\TRQJotlet.exe")},
        {"\\Temp\\TRQUtil.log", "utility started\r\n"},
        {"\\Temp\\TRQRemindSvc.dll.log", "reminder due\r\n"},
        {"\\Temp\\TRQSetup.log", "setup complete\r\n"},
        // The user's documents and another application: these stay.
        {"\\My Documents\\Tasks.trp", "TRQ task list: buy milk\r\n"},
        {"\\My Documents\\Garden.trp", "TRQ task list: water the roses\r\n"},
        {"\\Program Files\\Atlas\\Atlas.exe", "Pocket Atlas\r\n"},
        {"\\Program Files\\Atlas\\Atlas.log", "map loaded\r\n"},
        {"\\Windows\\AtlasGps.dll", "Pocket Atlas GPS service\r\n"},
        {"\\Windows\\Start Menu\\Programs\\Atlas.lnk", Shortcut("\\Program Files\\Atlas\\Atlas.exe")},
        {"\\Temp\\Atlas.log", "route computed\r\n"},
    };
}

// The sample's registry, files and start-up on image, whose files are empty.
bool FillSampleDevice(DeviceImage& image, SampleState state, std::string& error)
{
    image.registry = SampleRegistry();
    DeviceFiles files = image.Files();
    for (const SampleFile& f : SampleFiles()) {
        if (!files.WriteFile(*Utf8ToUtf16(f.path), f.contents)) {
            error = "cannot write " + f.path;
            return false;
        }
    }
    if (state == SampleState::Started) StartDevice(image);
    return true;
}

}  // namespace

RegFile SampleRegistry()
{
    RegFile file;
    file.encoding = TextEncoding::Utf8;
    file.crlf = false;
    const std::u16string dir = kSampleInstallDir;
    AddPackageRecords(file.keys, dir);
    AddComponents(file.keys);
    AddSyncAndSettings(file.keys, dir);
    AddAnotherApplication(file.keys);
    return file;
}

bool CanHoldSampleDevice(const std::filesystem::path& dir)
{
    std::error_code ec;
    return !std::filesystem::exists(std::filesystem::symlink_status(dir, ec)) || EmptyButForTheLock(dir);
}

bool InitSampleDevice(const std::filesystem::path& dir, std::string& error, SampleState state)
{
    std::error_code ec;
    if (!CanHoldSampleDevice(dir)) {
        error = dir.string() + ": exists and is not an empty folder";
        return false;
    }
    std::filesystem::create_directories(dir / "files", ec);
    if (ec) {
        error = dir.string() + ": " + ec.message();
        return false;
    }

    DeviceImage image;
    image.dir = dir;
    return FillSampleDevice(image, state, error) && SaveRegistry(image, error) && SaveConfig(image, error);
}

DeviceImage SampleDeviceInMemory(SampleState state)
{
    DeviceImage image = DeviceImage::InMemory();
    std::string error;
    FillSampleDevice(image, state, error);  // cannot fail in memory
    return image;
}

}  // namespace runner
