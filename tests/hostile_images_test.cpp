// Device images made to hurt: values that point out of the device, links
// that lead out of files/, a registry of 10 MB, keys nested hundreds deep,
// lone surrogates, NULs and mixed line ends. Each image is either refused
// with a message that names the file and line, or run through to one of the
// dialogue's ends; and a sentinel folder beside the image, holding the
// package's own file names, is never touched.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>

#include "device/device.h"
#include "formats/text.h"
#include "harness/runner/run_device.h"
#include "harness/runner/sample_device.h"
#include "tests/device_snapshot.h"
#include "tests/scenarios.h"
#include "tests/test_device.h"

namespace trq_test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;  // "..."s keeps the NULs inside

void WriteBytes(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string ReadBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The sample registry as regedit writes it (UTF-16LE, CRLF), with a lone
// surrogate spliced into it at the first occurrence of `at`.
std::string Utf16RegistryWithLoneSurrogate(const std::u16string& at)
{
    formats::RegFile file = runner::SampleRegistry();
    file.encoding = formats::TextEncoding::Utf16LeBom;
    file.crlf = true;
    std::string bytes = formats::FormatRegFile(file);
    std::string needle = formats::Utf16LeBytes(at);
    size_t pos = bytes.find(needle);
    if (pos == std::string::npos) return bytes;
    return bytes.insert(pos + needle.size(), "\x00\xD8"s);
}

// The sample registry in UTF-8 with LF, for edits as text.
std::string SampleRegistryText()
{
    formats::RegFile file = runner::SampleRegistry();
    file.encoding = formats::TextEncoding::Utf8;
    file.crlf = false;
    return formats::FormatRegFile(file);
}

// Edits the image through the simulator's own loader and writer.
void EditImage(const fs::path& image, const std::function<void(sim::DeviceImage&)>& edit)
{
    sim::DeviceImage d;
    std::string error;
    ASSERT_TRUE(sim::LoadDeviceImage(image, d, error)) << error;
    edit(d);
    Save(d);
}

void SetInstallDirBytes(const fs::path& image, std::string bytes)
{
    EditImage(image, [&bytes](sim::DeviceImage& d) {
        SetRaw(d, formats::Root::LocalMachine, kInstallRecord, u"InstallDir", REG_SZ,
               std::vector<uint8_t>(bytes.begin(), bytes.end()));
    });
}

void SetBothDirs(const fs::path& image, const std::u16string& dir)
{
    EditImage(image, [&dir](sim::DeviceImage& d) {
        SetString(d, formats::Root::LocalMachine, kInstallRecord, u"InstallDir", dir);
        SetString(d, formats::Root::LocalMachine, kInstallRecord, u"InstDir", dir);
    });
}

// Replaces a file or folder of the image by a symbolic link to target.
void LinkOut(const fs::path& image, const std::string& devicePath, const fs::path& target)
{
    fs::path host = image / "files" / devicePath;
    fs::remove_all(host);
    fs::create_symlink(target, host);
}

struct HostileCase {
    std::string name;
    // Lays the trap in the image (and may name the sentinel beside it).
    std::function<void(const fs::path& image, const fs::path& sentinel)> make;
    std::string refusal;     // non-empty: loading is refused with this in the message
    std::vector<Box> boxes;  // else: what the user sees
    // More checks on the image after the run, if any.
    std::function<void(const fs::path& image)> after = nullptr;
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

const std::vector<Box> kRemoved = {Box::Confirmation, Box::SettingsQuestion, Box::Success};
const std::vector<Box> kLookupFailed = {Box::LookupFailure, Box::NotRemoved};

bool Exists(const fs::path& p)
{
    std::error_code ec;
    return fs::exists(fs::symlink_status(p, ec));
}

const HostileCase kCases[] = {
    {"install directory climbing out of the device",
     [](const fs::path& image, const fs::path&) { SetBothDirs(image, u"\\..\\..\\sentinel\\Program Files\\TRQ"); },
     "", kLookupFailed},
    {"install directory of dots only",
     [](const fs::path& image, const fs::path&) { SetBothDirs(image, u"\\..\\.."); }, "", kLookupFailed},
    {"install directory leaving its own folder",
     [](const fs::path& image, const fs::path&) {
         SetBothDirs(image, u"/Program Files/TRQ/../../../sentinel/Program Files/TRQ");
     },
     "", kLookupFailed},
    {"install directory that is the root",
     [](const fs::path& image, const fs::path&) { SetBothDirs(image, u"\\"); }, "", kLookupFailed},
    {"install directory with a NUL before a climb",
     [](const fs::path& image, const fs::path&) {
         SetInstallDirBytes(image, formats::Utf16LeBytes(std::u16string(u"\\Program Files\\TRQ") + u'\0' +
                                           u"\\..\\..\\sentinel" + u'\0'));
     },
     "", kRemoved,
     [](const fs::path& image) { EXPECT_FALSE(Exists(image / "files" / "Program Files" / "TRQ")); }},
    {"install folder is a link out of files/",
     [](const fs::path& image, const fs::path& sentinel) {
         LinkOut(image, "Program Files/TRQ", sentinel / "Program Files" / "TRQ");
     },
     "", kRemoved,
     [](const fs::path& image) { EXPECT_TRUE(fs::is_symlink(image / "files" / "Program Files" / "TRQ")); }},
    {"program files and folders are links out of files/",
     [](const fs::path& image, const fs::path& sentinel) {
         LinkOut(image, "Windows/TRQUtil.exe", sentinel / "TRQUtil.exe");
         LinkOut(image, "Windows/StartUp/TRQUtil.lnk", sentinel / "TRQUtil.lnk");
         LinkOut(image, "Windows/TRQRemindSvc.dll", sentinel / "read-only.dll");
         LinkOut(image, "Temp", sentinel);
     },
     "", kRemoved,
     [](const fs::path& image) {
         for (const char* link : {"Windows/TRQUtil.exe", "Windows/StartUp/TRQUtil.lnk", "Windows/TRQRemindSvc.dll", "Temp"})
             EXPECT_TRUE(fs::is_symlink(image / "files" / link)) << link;
     }},
    {"registry of 10 MB",
     [](const fs::path& image, const fs::path&) {
         std::string text = SampleRegistryText();
         text.reserve(10u << 20);
         char line[160];
         for (int i = 0; text.size() < (10u << 20); ++i) {
             (void)std::snprintf(line, sizeof line,
                                 "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bulk\\Key%07d]\n\"Value\"=\"%s\"\n"
                                 "\"Count\"=dword:%08x\n",
                                 i, "another application's setting, kept as it is", i);
             text += line;
         }
         WriteBytes(image / "registry.reg", text);
     },
     "", kRemoved,
     [](const fs::path& image) {
         sim::DeviceImage d;
         std::string error;
         ASSERT_TRUE(sim::LoadDeviceImage(image, d, error)) << error;
         EXPECT_GT(fs::file_size(image / "registry.reg"), 10u << 20 >> 1);
         const formats::RegKey* bulk = d.registry.keys.Find(formats::Root::LocalMachine, u"SOFTWARE\\Bulk");
         ASSERT_NE(bulk, nullptr);
         EXPECT_GT(bulk->keys.size(), 80000u);
     }},
    {"keys nested 500 deep below a key of the plan",
     [](const fs::path& image, const fs::path&) {
         std::string path = "HKEY_CLASSES_ROOT\\trpfile\\shell\\open\\command";
         for (int i = 0; i < 500; ++i) path += "\\k";
         WriteBytes(image / "registry.reg", SampleRegistryText() + "\n[" + path + "]\n\"Deep\"=\"yes\"\n");
     },
     "", kRemoved,
     [](const fs::path& image) {
         sim::DeviceImage d;
         std::string error;
         ASSERT_TRUE(sim::LoadDeviceImage(image, d, error)) << error;
         EXPECT_EQ(d.registry.keys.Find(formats::Root::ClassesRoot, u"trpfile"), nullptr);
     }},
    {"keys nested deeper than the registry allows",
     [](const fs::path& image, const fs::path&) {
         std::string path = "HKEY_CURRENT_USER\\Software\\Atlas";
         for (int i = 0; i < 100000; ++i) path += "\\k";
         WriteBytes(image / "registry.reg", SampleRegistryText() + "\n[" + path + "]\n");
     },
     "keys nested deeper than", {}},
    {"lone surrogate in a key name",
     [](const fs::path& image, const fs::path&) {
         WriteBytes(image / "registry.reg", Utf16RegistryWithLoneSurrogate(u"[HKEY_CURRENT_USER\\Software\\Atlas"));
     },
     "registry.reg:", {}},
    {"lone surrogate in a value name",
     [](const fs::path& image, const fs::path&) {
         WriteBytes(image / "registry.reg", Utf16RegistryWithLoneSurrogate(u"\"Zoom"));
     },
     "lone surrogate", {}},
    {"lone surrogate in the install directory",
     [](const fs::path& image, const fs::path&) {
         SetInstallDirBytes(image, formats::Utf16LeBytes(u"\\Program Files\\TRQ") + "\x00\xD8\x00\x00"s);
     },
     // No device path holds a lone surrogate: the install folder's rows
     // find nothing, the rest of the package goes.
     "", kRemoved,
     [](const fs::path& image) { EXPECT_TRUE(Exists(image / "files" / "Program Files" / "TRQ" / "TRQ.exe")); }},
    {"lone surrogate in device.ini",
     [](const fs::path& image, const fs::path&) {
         WriteBytes(image / "device.ini", "[Folders]\nTemp=\\Te\xED\xA0\x80mp\\\n");
     },
     "device.ini:2:", {}},
    {"file name in files/ that is not UTF-8",
     [](const fs::path& image, const fs::path&) {
         WriteBytes(image / "files" / "Program Files" / "TRQ" / "TRQ\xFF.exe", "not a device name\r\n");
     },
     // The folder is not empty, so it stays; the file is never looked at.
     "", kRemoved,
     [](const fs::path& image) { EXPECT_TRUE(Exists(image / "files" / "Program Files" / "TRQ" / "TRQ\xFF.exe")); }},
    {"NUL in a device.ini path",
     [](const fs::path& image, const fs::path&) {
         WriteBytes(image / "device.ini", "[HeldOpen]\nFile=\\Windows\\TRQ.exe\0\\..\\..\\sentinel\n"s);
     },
     "device.ini:2: NUL", {}},
    {"NUL in a registry key name",
     [](const fs::path& image, const fs::path&) {
         WriteBytes(image / "registry.reg",
                    SampleRegistryText() + "\n[HKEY_CURRENT_USER\\Software\\A\0B]\n"s);
     },
     "NUL", {}},
    {"CRLF and LF mixed",
     [](const fs::path& image, const fs::path&) {
         std::string text = SampleRegistryText(), mixed;
         int line = 0;
         for (char c : text) {
             if (c == '\n' && ++line % 2) mixed += '\r';
             mixed += c;
         }
         WriteBytes(image / "registry.reg", mixed);
         WriteBytes(image / "device.ini", "[Folders]\r\nTemp=\\Temp\\\n[HeldOpen]\r\n");
     },
     "", kRemoved,
     [](const fs::path& image) {
         // Written back with the first line's ends throughout.
         std::string text = ReadBytes(image / "registry.reg");
         size_t lf = 0, crlf = 0;
         for (size_t i = 0; i < text.size(); ++i)
             if (text[i] == '\n') ++(i > 0 && text[i - 1] == '\r' ? crlf : lf);
         EXPECT_EQ(lf, 0u);
         EXPECT_GT(crlf, 10u);
     }},
};

void Play(const HostileCase& c)
{
    TempDir tmp;
    const fs::path image = tmp.Path() / "device";
    const fs::path sentinel = tmp.Path() / "sentinel";
    std::string error;
    ASSERT_TRUE(runner::InitSampleDevice(image, error)) << error;
    // The sentinel holds what a device path that got out would hit first.
    for (const char* name : {"Program Files/TRQ/TRQ.exe", "Program Files/TRQ/Setup.dll", "TRQUtil.exe",
                             "TRQUtil.lnk", "TRQUtil.log", "TRQ.exe", "read-only.dll"}) {
        fs::create_directories((sentinel / name).parent_path());
        WriteBytes(sentinel / name, std::string("outside the device: ") + name + "\r\n");
    }
    fs::permissions(sentinel / "read-only.dll", fs::perms::owner_write, fs::perm_options::remove);
    c.make(image, sentinel);
    const auto sentinelBefore = HostTree(sentinel, true);
    const auto imageBefore = HostTree(image, true);

    const auto start = std::chrono::steady_clock::now();
    sim::DeviceImage loaded;
    const bool ok = sim::LoadDeviceImage(image, loaded, error);
    if (!c.refusal.empty()) {
        EXPECT_FALSE(ok);
        EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
        EXPECT_EQ(HostTree(image, true), imageBefore) << "a refused image is left as it was";
    } else {
        ASSERT_TRUE(ok) << error;
        runner::RunOptions options;
        options.answerer = runner::ScriptedAnswers({IDYES, IDYES});
        options.keepRecords = true;
        runner::RunOutcome run;
        ASSERT_TRUE(runner::RunUninstallOn(loaded, options, run, error)) << error;
        EXPECT_EQ(run.exitCode, 0);
        std::vector<Box> boxes;
        for (const sim::BoxRecord& box : run.boxes)
            for (Box b : {Box::LookupFailure, Box::NotRemoved, Box::Confirmation, Box::SettingsQuestion,
                          Box::Success, Box::ResetOffer})
                if (box.text == BoxText(b)) boxes.push_back(b);
        EXPECT_EQ(boxes, c.boxes);
        EXPECT_EQ(run.badHeapFrees, 0);
        if (c.after) c.after(image);
    }
    std::printf("[ hostile  ] %s: %.2f s\n", c.name.c_str(),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    EXPECT_EQ(HostTree(sentinel, true), sentinelBefore) << "the sentinel beside the image changed";
    std::set<std::string> beside;
    for (const auto& entry : fs::directory_iterator(tmp.Path())) beside.insert(entry.path().filename().string());
    EXPECT_EQ(beside, (std::set<std::string>{"device", "sentinel"})) << "something was made beside the image";
}

class HostileImage : public testing::TestWithParam<HostileCase> {};

TEST_P(HostileImage, RefusedOrHandledAndNothingOutsideIsTouched)
{
    Play(GetParam());
}

// A hard link is the outside file itself under a second name: resetting its
// attributes before the deletion would make the read-only file in the
// sentinel writable. The simulated file system takes a file with more than
// one host name for one it cannot reach, as it does a symbolic link.
TEST(HostileImageLinks, HardLinkIntoTheSentinel)
{
    Play({"hard links into the sentinel",
          [](const fs::path& image, const fs::path& sentinel) {
              fs::remove(image / "files" / "Windows" / "TRQNewMenu.dll");
              fs::create_hard_link(sentinel / "read-only.dll", image / "files" / "Windows" / "TRQNewMenu.dll");
          },
          "", kRemoved});
}

INSTANTIATE_TEST_SUITE_P(Images, HostileImage, testing::ValuesIn(kCases),
                         NameFromParam());

// The same refusals from the command line: exit code 2, the reason on
// standard error, the image unchanged.
TEST(HostileImageCli, RefusedImagesExitTwoAndStayAsTheyWere)
{
    TempDir tmp;
    const fs::path image = tmp.Path() / "device";
    std::string error;
    ASSERT_TRUE(runner::InitSampleDevice(image, error)) << error;
    WriteBytes(image / "device.ini", "[HeldOpen]\nFile=\\A\0B\n"s);
    const auto before = HostTree(image, true);
    const std::string command = std::string("'") + TRQ_SIM_CLI + "' --device '" + image.string() +
                                "' --answer yes,yes </dev/null 2>&1";
    const CommandResult r = RunCommand(command);
    EXPECT_EQ(r.exitCode, 2) << r.output;
    EXPECT_NE(r.output.find("device.ini:2: NUL"), std::string::npos) << r.output;
    EXPECT_EQ(HostTree(image, true), before);
}

}  // namespace
}  // namespace trq_test
