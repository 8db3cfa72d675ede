// The install record's values as a device might hold them: any bytes, any
// claimed type, read as a success or as "more data", or missing, driven
// through the whole run on a simulated device.
//
// Input: one mode byte, the two value types (4 bytes each, little-endian),
// the length of InstallDir's bytes (2 bytes), InstallDir's bytes, then
// InstDir's bytes (the rest).
//   mode bits 0-1  InstallDir: 0 stored in the registry, 1 returned by the
//                  platform as a success, 2 returned with ERROR_MORE_DATA,
//                  3 missing
//   mode bits 2-3  InstDir, the same
//   mode bit 4     a program file is held open (the partial path)
//   mode bit 5     the settings question is answered No
//   mode bit 6     the reset request comes back
//
// Whatever the values, the run must keep the uninstaller's promises: exit
// code 0, a path of the dialogue with the table's boxes, every heap block
// but the install directory's released, every key closed, the install
// record gone only after Success, nothing at the device root deleted (the
// device carries the package's file names there), and nothing outside the
// image touched (a sentinel folder lies beside it).
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "device/device.h"
#include "formats/text.h"
#include "harness/runner/run_device.h"
#include "harness/runner/sample_device.h"
#include "platform/sim/device_files.h"
#include "tests/device_snapshot.h"
#include "tests/expected/expected_words.h"

namespace {

namespace fs = std::filesystem;

const std::u16string kRecord = u"SOFTWARE\\Apps\\Vantrelle PocketPC Edition";
const char16_t* const kRootDecoys[] = {u"\\TRQ.exe",        u"\\Setup.dll",       u"\\DevTRQSync.dll",
                                      u"\\TRQNewMenu.dll",  u"\\TRQJotlet.exe",   u"\\Services.loc",
                                      u"\\TRQ.exe.log",     u"\\TRQUtil.log",     u"\\TRQSetup.log"};

[[noreturn]] void Broken(const std::string& promise)
{
    std::fprintf(stderr, "install record fuzz: broken promise: %s\n", promise.c_str());
    std::abort();
}

struct PristineFile {
    fs::path host;
    std::string contents;
    mode_t mode;
};

// The sample device with decoys at its root, in a scratch folder; restored
// after each run by putting back what the run deleted.
struct Device {
    trq_test::ScratchDir scratch{"fuzz-record"};
    fs::path image = scratch.Path() / "device";
    fs::path sentinel = scratch.Path() / "sentinel";
    std::string registryText;
    sim::DeviceConfig config;
    std::vector<fs::path> folders;  // parents first
    std::vector<PristineFile> files;
    std::map<std::string, std::string> sentinelTree;
    sim::DeviceImage loaded;

    Device()
    {
        std::string error;
        if (!sim::InitSampleDevice(image, error)) Broken("sample device: " + error);
        sim::DeviceFiles deviceFiles(image / "files");
        for (const char16_t* decoy : kRootDecoys) deviceFiles.WriteFile(decoy, "not the package's\r\n");
        // The same names outside the image, where no device path can reach.
        fs::create_directories(sentinel / "Program Files" / "TRQ");
        for (const char* name : {"TRQ.exe", "Setup.dll", "Program Files/TRQ/TRQ.exe"})
            std::ofstream(sentinel / name) << "outside the device\r\n";
        sentinelTree = trq_test::HostTree(sentinel, true);

        if (!sim::LoadDeviceImage(image, loaded, error)) Broken("sample device: " + error);
        std::ifstream in(loaded.RegistryPath(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        registryText = text.str();
        config = loaded.config;
        for (auto it = fs::recursive_directory_iterator(image / "files"); it != fs::recursive_directory_iterator(); ++it) {
            struct stat st;
            ::lstat(it->path().c_str(), &st);
            if (S_ISDIR(st.st_mode)) {
                folders.push_back(it->path());
            } else {
                std::ifstream f(it->path(), std::ios::binary);
                std::stringstream bytes;
                bytes << f.rdbuf();
                files.push_back({it->path(), bytes.str(), st.st_mode & 07777});
            }
        }
    }

    // Back to the sample: folders and files the run removed, modes it
    // changed, the registry and device.ini as they were.
    void Restore()
    {
        for (const fs::path& folder : folders) ::mkdir(folder.c_str(), 0777);
        for (const PristineFile& f : files) {
            struct stat st;
            if (::lstat(f.host.c_str(), &st) != 0) {
                std::ofstream(f.host, std::ios::binary) << f.contents;
                ::chmod(f.host.c_str(), f.mode);
            } else if ((st.st_mode & 07777) != f.mode) {
                ::chmod(f.host.c_str(), f.mode);
            }
        }
        sim::RegFileError error;
        if (!sim::ParseRegFile(registryText, "registry.reg", loaded.registry, error))
            Broken("sample registry: " + error.Message());
        loaded.config = config;
    }
};

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

struct Value {
    int source;  // 0 registry, 1 platform success, 2 platform ERROR_MORE_DATA, 3 missing
    uint32_t type;
    std::string bytes;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Device device;
    if (size < 11) return 0;
    const uint8_t mode = data[0];
    Value values[2] = {{mode & 3, Le32(data + 1), {}}, {(mode >> 2) & 3, Le32(data + 5), {}}};
    size_t first = std::min<size_t>(data[9] | data[10] << 8, size - 11);
    values[0].bytes.assign(reinterpret_cast<const char*>(data + 11), first);
    values[1].bytes.assign(reinterpret_cast<const char*>(data + 11 + first), size - 11 - first);

    device.Restore();
    sim::DeviceImage& image = device.loaded;
    const char16_t* names[2] = {u"InstallDir", u"InstDir"};
    sim::RegKey* record = image.registry.registry.Find(sim::Root::LocalMachine, kRecord);
    for (int i = 0; i < 2; ++i) {
        auto& stored = record->values;
        for (auto it = stored.begin(); it != stored.end(); ++it)
            if (sim::EqualsIgnoreCase(it->name, names[i])) {
                stored.erase(it);
                break;
            }
        if (values[i].source == 0)
            record->SetValue({names[i], values[i].type,
                              std::vector<uint8_t>(values[i].bytes.begin(), values[i].bytes.end())});
    }
    if (mode & 0x10) image.config.heldOpen.push_back(u"\\Program Files\\TRQ\\TRQ.exe");

    sim::RunOptions options;
    const bool settingsNo = mode & 0x20;
    options.answerer = [settingsNo](const sim::BoxRecord& box) -> std::optional<int> {
        if (!sim::IsQuestion(box.flags)) return IDOK;
        return settingsNo && (box.flags & MB_TYPEMASK) == MB_YESNO ? IDNO : IDYES;
    };
    options.resetReturns = mode & 0x40;
    options.writeBack = false;  // the image in memory is put back before the next input
    options.keepRecords = true;
    options.faults = [&values](const std::string& op, int, int, const std::string& argument)
        -> std::optional<sim::Fault> {
        if (op != "RegQueryValueExW") return std::nullopt;
        const Value* v = argument == "InstallDir" ? &values[0] : argument == "InstDir" ? &values[1] : nullptr;
        if (!v || v->source == 0) return std::nullopt;
        sim::Fault f;
        if (v->source == 3) return f;  // missing
        f.data = v->bytes;
        f.type = v->type;
        if (v->source == 2) f.error = ERROR_MORE_DATA;
        return f;
    };

    sim::RunOutcome out;
    std::string error;
    if (!sim::RunUninstallOn(image, options, out, error)) Broken("write back: " + error);

    // The dialogue.
    if (out.exitCode != 0) Broken("exit code " + std::to_string(out.exitCode));
    std::string path;  // one letter a box, in the order of expected::kBoxes: L N C Q S R
    for (const sim::BoxRecord& box : out.boxes) {
        int found = -1;
        for (int i = 0; i < 6; ++i)
            if (box.text == expected::kBoxes[i].text && box.flags == expected::kBoxes[i].flags) found = i;
        if (found < 0 || box.caption != expected::kCaption) Broken("a box not as written down");
        path += "LNCQSR"[found];
    }
    const bool reset = out.stop == sim::Stop::Reset;
    if (out.stop == sim::Stop::NoAnswer) Broken("stopped at a box");
    if (!(reset ? path == "CR" : path == "LN" || path == "CN" || path == "CQS" || path == "CRN"))
        Broken("boxes " + path + " are no path of the dialogue");
    if (path != "CQS" && !image.registry.registry.Find(sim::Root::LocalMachine, kRecord))
        Broken("the install record is gone without the Success box");

    // Resources.
    if (out.heapBlocksLeft != (path[0] == 'C' ? 1u : 0u) || out.badHeapFrees)
        Broken(std::to_string(out.heapBlocksLeft) + " heap blocks left");
    if (out.keysLeftOpen) Broken("a key left open");

    // Nothing at the root, nothing outside.
    for (const auto& record : out.trace.Records()) {
        const std::string op = record["op"];
        if (op != "DeleteFileW" && op != "RemoveDirectoryW" && op != "SetFileAttributesW") continue;
        std::optional<std::u16string> target = sim::Utf8ToUtf16(record["path"].get<std::string>());
        std::vector<std::u16string> parts;
        if (!target || !sim::SplitDevicePath(*target, parts)) continue;  // names nothing on the device
        if (parts.size() < (op == "RemoveDirectoryW" ? 1u : 2u))
            Broken(op + " at the device root: " + record["path"].get<std::string>());
    }
    sim::DeviceFiles files(device.image / "files");
    for (const char16_t* decoy : kRootDecoys)
        if (!files.Exists(decoy)) Broken("a file at the device root was deleted");
    if (trq_test::HostTree(device.sentinel, true) != device.sentinelTree) Broken("the sentinel changed");
    return 0;
}
