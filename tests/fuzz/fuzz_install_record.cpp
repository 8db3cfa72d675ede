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
// record gone only after Success, and nothing at the device root deleted
// (the device carries the package's file names there).
//
// The device lives in memory, a fresh copy of the sample for each input, so
// nothing outside it can be touched: the run checks that it stayed in
// memory and that no device file appeared in the current folder.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>

#include "device/device.h"
#include "formats/device_path.h"
#include "formats/text.h"
#include "harness/runner/run_device.h"
#include "harness/runner/sample_device.h"
#include "platform/sim/device_files.h"
#include "tests/expected/expected_words.h"

namespace {

const std::u16string kRecord = u"SOFTWARE\\Apps\\Vantrelle PocketPC Edition";
const char16_t* const kRootDecoys[] = {u"\\TRQ.exe",        u"\\Setup.dll",       u"\\DevTRQSync.dll",
                                      u"\\TRQNewMenu.dll",  u"\\TRQJotlet.exe",   u"\\Services.loc",
                                      u"\\TRQ.exe.log",     u"\\TRQUtil.log",     u"\\TRQSetup.log"};
// What a device image written to the host would put in its folder.
const char* const kDeviceFolderNames[] = {"registry.reg", "device.ini", "files", ".write-lent"};

[[noreturn]] void Broken(const std::string& promise)
{
    std::fprintf(stderr, "install record fuzz: broken promise: %s\n", promise.c_str());
    std::abort();
}

// Which of the device folder's names the current folder holds.
unsigned DeviceNamesHere()
{
    unsigned here = 0;
    for (unsigned i = 0; i < std::size(kDeviceFolderNames); ++i) {
        struct stat st;
        if (::fstatat(AT_FDCWD, kDeviceFolderNames[i], &st, AT_SYMLINK_NOFOLLOW) == 0) here |= 1u << i;
    }
    return here;
}

// The sample device with decoys at its root, in memory; each input runs on
// a copy of it.
struct Device {
    sim::DeviceImage pristine = runner::SampleDeviceInMemory();
    unsigned namesHere = DeviceNamesHere();

    Device()
    {
        sim::DeviceFiles files = pristine.Files();
        for (const char16_t* decoy : kRootDecoys)
            if (!files.WriteFile(decoy, "not the package's\r\n")) Broken("sample device: a decoy");
    }

    sim::DeviceImage Copy() const
    {
        std::string error;
        std::optional<sim::DeviceImage> copy = pristine.CopyInMemory(error);
        if (!copy) Broken("sample device: " + error);
        return std::move(*copy);
    }
};

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

// What a run showed: its boxes, one letter each in the order of
// expected::kBoxes (L N C Q S R), and the first promise a call broke.
struct Seen {
    std::string path;
    std::string broken;

    void Box(const sim::BoxRecord& box)
    {
        for (int i = 0; i < 6; ++i)
            if (box.text == expected::kBoxes[i].text && box.flags == expected::kBoxes[i].flags &&
                box.caption == expected::kCaption) {
                path += "LNCQSR"[i];
                return;
            }
        Note("a box not as written down");
    }

    // Nothing at the device root is deleted, or has its attributes changed.
    // A path with two names or more is below the root whatever they are;
    // only a shorter one is read as the device reads it.
    void Call(const std::string& op, std::u16string_view argument)
    {
        if (op != "DeleteFileW" && op != "RemoveDirectoryW" && op != "SetFileAttributesW") return;
        const unsigned least = op == "RemoveDirectoryW" ? 1 : 2;
        if (NamesIn(argument) >= least) return;
        if (!formats::DevicePathNames(argument).Valid()) return;  // names nothing on the device
        Note(op + " at the device root: " + formats::Utf16ToUtf8Lossy(argument));
    }

    // How many names a path has between its separators, up to two.
    static unsigned NamesIn(std::u16string_view path)
    {
        unsigned names = 0;
        bool inName = false;
        for (char16_t c : path) {
            const bool separator = c == u'\\' || c == u'/';
            if (!separator && !inName && ++names == 2) return names;
            inName = !separator;
        }
        return names;
    }

    void Note(const std::string& what)
    {
        if (broken.empty()) broken = what;
    }
};

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

    sim::DeviceImage image = device.Copy();
    const char16_t* names[2] = {u"InstallDir", u"InstDir"};
    formats::RegKey* record = image.registry.keys.Find(formats::Root::LocalMachine, kRecord);
    for (int i = 0; i < 2; ++i) {
        auto& stored = record->values;
        for (auto it = stored.begin(); it != stored.end(); ++it)
            if (formats::EqualsIgnoreCase(it->name, names[i])) {
                stored.erase(it);
                break;
            }
        if (values[i].source == 0)
            record->SetValue({names[i], values[i].type,
                              std::vector<uint8_t>(values[i].bytes.begin(), values[i].bytes.end())});
    }
    if (mode & 0x10) image.config.heldOpen.push_back(u"\\Program Files\\TRQ\\TRQ.exe");

    // What the run did is seen as it happens, through the answerer (every
    // box: none is faulted here) and the fault plan (every call, with its
    // path): keeping the trace's records would cost more than the run.
    Seen seen;
    runner::RunOptions options;
    const bool settingsNo = mode & 0x20;
    options.answerer = [settingsNo, &seen](const sim::BoxRecord& box) -> std::optional<int> {
        seen.Box(box);
        if (!runner::IsQuestion(box.flags)) return IDOK;
        return settingsNo && (box.flags & MB_TYPEMASK) == MB_YESNO ? IDNO : IDYES;
    };
    options.resetReturns = mode & 0x40;
    options.writeBack = false;  // the image is in memory, a new copy for each input
    options.faults = [&values, &seen](const std::string& op, int, int, std::u16string_view argument)
        -> std::optional<sim::Fault> {
        seen.Call(op, argument);
        if (op != "RegQueryValueExW") return std::nullopt;
        const Value* v = argument == u"InstallDir" ? &values[0] : argument == u"InstDir" ? &values[1] : nullptr;
        if (!v || v->source == 0) return std::nullopt;
        sim::Fault f;
        if (v->source == 3) return f;  // missing
        f.data = v->bytes;
        f.type = v->type;
        if (v->source == 2) f.error = ERROR_MORE_DATA;
        return f;
    };

    runner::RunOutcome out;
    std::string error;
    if (!runner::RunUninstallOn(image, options, out, error)) Broken("write back: " + error);

    // The dialogue.
    if (out.exitCode != 0) Broken("exit code " + std::to_string(out.exitCode));
    if (!seen.broken.empty()) Broken(seen.broken);
    const std::string& path = seen.path;
    const bool reset = out.stop == sim::Stop::Reset;
    if (out.stop == sim::Stop::NoAnswer) Broken("stopped at a box");
    if (!(reset ? path == "CR" : path == "LN" || path == "CN" || path == "CQS" || path == "CRN"))
        Broken("boxes " + path + " are no path of the dialogue");
    if (path != "CQS" && !image.registry.keys.Find(formats::Root::LocalMachine, kRecord))
        Broken("the install record is gone without the Success box");

    // Resources.
    if (out.heapBlocksLeft != (path[0] == 'C' ? 1u : 0u) || out.badHeapFrees)
        Broken(std::to_string(out.heapBlocksLeft) + " heap blocks left");
    if (out.keysLeftOpen) Broken("a key left open");

    // Nothing at the root, nothing outside.
    const sim::DeviceFiles files = image.Files();
    for (const char16_t* decoy : kRootDecoys)
        if (!files.Exists(decoy)) Broken("a file at the device root was deleted");
    if (image.OnDisk() || files.OnDisk() || DeviceNamesHere() != device.namesHere)
        Broken("the device left memory");
    return 0;
}
