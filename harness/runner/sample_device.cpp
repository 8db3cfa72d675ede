#include "harness/runner/sample_device.h"

#include <cstring>
#include <initializer_list>
#include <vector>

#include "device/device.h"
#include "formats/text.h"
#include "package/package.h"
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
using formats::Utf16ToUtf8Lossy;
using sim::DeviceFiles;
using sim::DeviceImage;
using sim::SaveConfig;
using sim::SaveRegistry;
using sim::StartDevice;
using sim::kDeviceLockFile;
namespace {

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

// A text of the package's description with the sample's install directory
// in it. The description's texts are short, far inside the buffer.
std::u16string Expand(const WCHAR* text)
{
    WCHAR buffer[4 * MAX_PATH];
    ExpandPackageText(text, kSampleInstallDir, buffer, 4 * MAX_PATH);
    return buffer;
}

Root RootOf(HKEY root)
{
    return root == HKEY_CLASSES_ROOT ? Root::ClassesRoot
           : root == HKEY_CURRENT_USER ? Root::CurrentUser
                                       : Root::LocalMachine;
}

// One key of the package's description, with its values.
void AddPackageKey(Registry& r, const PackageKey& key)
{
    RegKey* made = r.Create(RootOf(key.root), key.path);
    for (int i = 0; i < key.valueCount; ++i) {
        const PackageValue& v = key.values[i];
        made->SetValue(v.type == REG_DWORD ? Dword(v.name, v.number) : Sz(v.name, Expand(v.text)));
    }
}

// The package as its description has it: the install record, then the
// package's other keys.
void AddPackage(Registry& r)
{
    AddPackageKey(r, kPackageInstallRecord);
    for (int i = 0; i < kPackageKeyCount; ++i) AddPackageKey(r, kPackageKeys[i]);
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
    std::u16string path;
    std::string contents;
};

// Where the sample device keeps each base of the package's files: the
// folders device.ini names by default.
const char16_t* SampleFolder(PackageBase base)
{
    switch (base) {
    case kPackageInstallDir: return kSampleInstallDir;
    case kPackageWindows: return u"\\Windows";
    case kPackageStartup: return u"\\Windows\\StartUp";
    case kPackagePrograms: return u"\\Windows\\Start Menu\\Programs";
    case kPackageTemp: return u"\\Temp\\";
    }
    return u"";
}

// The package's files, the device's own, the user's documents and another
// application's.
std::vector<SampleFile> SampleFiles()
{
    std::vector<SampleFile> files;
    for (int i = 0; i < kPackageFileCount; ++i) {
        const PackageFile& file = kPackageFiles[i];
        WCHAR path[MAX_PATH];
        char bytes[4 * MAX_PATH];
        JoinPackagePath(path, SampleFolder(file.base), file.name);
        const int count = PackageFileBytes(file, kSampleInstallDir, bytes, sizeof bytes);
        files.push_back({path, std::string(bytes, count < 0 ? 0 : count)});
    }
    const std::vector<SampleFile> others = {
        // The user's documents and another application: these stay.
        {u"\\My Documents\\Tasks.trp", "TRQ task list: buy milk\r\n"},
        {u"\\My Documents\\Garden.trp", "TRQ task list: water the roses\r\n"},
        {u"\\Program Files\\Atlas\\Atlas.exe", "Pocket Atlas\r\n"},
        {u"\\Program Files\\Atlas\\Atlas.log", "map loaded\r\n"},
        {u"\\Windows\\AtlasGps.dll", "Pocket Atlas GPS service\r\n"},
        {u"\\Windows\\Start Menu\\Programs\\Atlas.lnk", Shortcut("\\Program Files\\Atlas\\Atlas.exe")},
        {u"\\Temp\\Atlas.log", "route computed\r\n"},
    };
    files.insert(files.end(), others.begin(), others.end());
    return files;
}

// The sample's registry, files and start-up on image, whose files are empty.
bool FillSampleDevice(DeviceImage& image, SampleState state, const formats::DeviceSection& device,
                      std::string& error)
{
    image.registry = SampleRegistry();
    image.config.device = device;
    DeviceFiles files = image.Files();
    for (const SampleFile& f : SampleFiles()) {
        if (!files.WriteFile(f.path, f.contents)) {
            error = "cannot write " + Utf16ToUtf8Lossy(f.path);
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
    AddPackage(file.keys);
    AddAnotherApplication(file.keys);
    return file;
}

const std::vector<SampleModel>& SampleModels()
{
    static const std::vector<SampleModel> models = [] {
        formats::DeviceSection pocketPc2003;
        pocketPc2003.majorVersion = 4;
        pocketPc2003.minorVersion = 20;
        pocketPc2003.buildNumber = 1081;
        pocketPc2003.oemInfo = u"QX-300 Pocket PC";
        pocketPc2003.registry = formats::RegistryStore::Ram;
        pocketPc2003.fileSystem = formats::FileSystem::ObjectStore;
        return std::vector<SampleModel>{
            {"wm5", "Windows Mobile 5 (Windows CE 5.1): registry in hive files, the package behind the FAT driver", {}},
            {"ppc2003", "Pocket PC 2003 (Windows CE 4.20): registry in RAM, the package in the object store",
             pocketPc2003},
        };
    }();
    return models;
}

const SampleModel* SampleModelNamed(std::string_view name)
{
    for (const SampleModel& model : SampleModels())
        if (name == model.name) return &model;
    return nullptr;
}

bool CanHoldSampleDevice(const std::filesystem::path& dir)
{
    std::error_code ec;
    return !std::filesystem::exists(std::filesystem::symlink_status(dir, ec)) || EmptyButForTheLock(dir);
}

bool InitSampleDevice(const std::filesystem::path& dir, std::string& error, SampleState state,
                      const formats::DeviceSection& device)
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
    return FillSampleDevice(image, state, device, error) && SaveRegistry(image, error) && SaveConfig(image, error);
}

DeviceImage SampleDeviceInMemory(SampleState state)
{
    DeviceImage image = DeviceImage::InMemory();
    std::string error;
    FillSampleDevice(image, state, {}, error);  // cannot fail in memory
    return image;
}

}  // namespace runner
