// The calls of the trace build and the device kit on the simulated device,
// made by a program of a run as the emulator would make them: files by
// handle and their sharing, copies and folders on the host and in memory;
// registry keys and values written back to registry.reg; the device's facts
// from device.ini; a fault on one of them; a started program's hold, which
// lasts across runs until the device restarts.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "formats/text.h"
#include "harness/runner/sample_device.h"
#include "platform/sim/device_startup.h"
#include "platform/sim/fault_rules.h"
#include "tests/test_device.h"

namespace trq_test {
namespace {

// What the steps of one program keep between calls.
struct Calls {
    sim::DeviceSession& device;
    HANDLE file = nullptr, event = nullptr;
    HKEY key = nullptr;
    PROCESS_INFORMATION started{};
    char buffer[64] = {};
    WCHAR text[64] = {};
};

// One call, what it returns (1 and 0 for TRUE and FALSE, a handle as 1 when
// it is one) and the thread's error code after it, from 0 before it.
struct Step {
    std::string name;
    std::function<int64_t(Calls&)> call;
    int64_t result;
    uint32_t error;
};

// The steps played by a run's program; what differed, one line each.
std::vector<std::string> Play(sim::DeviceSession& device, const std::vector<Step>& steps)
{
    Calls calls{device};
    std::vector<std::string> differences;
    for (const Step& step : steps) {
        device.SetLastError(0);
        const int64_t result = step.call(calls);
        if (result != step.result || device.ErrorCode() != step.error)
            differences.push_back(step.name + ": " + std::to_string(result) + ", error " +
                                  std::to_string(device.ErrorCode()));
    }
    return differences;
}

std::string Lines(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

// A run on device whose program plays steps; each must answer as written.
runner::RunOutcome PlayRun(TestDevice& device, const std::vector<Step>& steps)
{
    std::vector<std::string> differences;
    device.program = [&](sim::DeviceSession& session) {
        differences = Play(session, steps);
        return 0;
    };
    runner::RunOutcome outcome = device.Run({});
    EXPECT_EQ(Lines(differences), "");
    return outcome;
}

int64_t Opened(Calls& c, LPCWSTR path, DWORD access, DWORD share, DWORD disposition)
{
    HANDLE h = c.device.CreateFileW(path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    c.file = h;
    return 1;
}

const DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

const std::vector<Step> kFileSteps = {
    {"a new file", [](Calls& c) { return Opened(c, u"\\Temp\\kit.txt", kReadWrite, 0, CREATE_NEW); }, 1, 0},
    {"written", [](Calls& c) {
         DWORD n = 0;
         return c.device.WriteFile(c.file, "hello kit", 9, &n, nullptr) ? int64_t{n} : -1;
     }, 9, 0},
    {"three from the end", [](Calls& c) { return c.device.SetFilePointer(c.file, -3, nullptr, FILE_END); }, 6, 0},
    {"read to the end", [](Calls& c) {
         DWORD n = 0;
         return c.device.ReadFile(c.file, c.buffer, 8, &n, nullptr) && std::string(c.buffer, n) == "kit" ? int64_t{n}
                                                                                                     : -1;
     }, 3, 0},
    {"made again", [](Calls& c) { return Opened(c, u"\\temp\\KIT.txt", GENERIC_READ, FILE_SHARE_READ, CREATE_NEW); },
     0, 80},
    {"opened beside a handle that shares nothing",
     [](Calls& c) { return Opened(c, u"\\Temp\\kit.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING); }, 0, 32},
    {"deleted while open", [](Calls& c) { return c.device.DeleteFileW(u"\\Temp\\kit.txt"); }, 0, 32},
    {"copied while open", [](Calls& c) { return c.device.CopyFileW(u"\\Temp\\kit.txt", u"\\Temp\\copy.txt", TRUE); },
     0, 32},
    {"moved while open", [](Calls& c) { return c.device.MoveFileW(u"\\Temp\\kit.txt", u"\\Temp\\moved.txt"); }, 0, 32},
    {"closed", [](Calls& c) { return c.device.CloseHandle(c.file); }, 1, 0},
    {"closed twice", [](Calls& c) { return c.device.CloseHandle(c.file); }, 0, 6},
    {"copied", [](Calls& c) { return c.device.CopyFileW(u"\\Temp\\kit.txt", u"\\My Documents\\copy.txt", TRUE); },
     1, 0},
    {"copied onto the copy", [](Calls& c) {
         return c.device.CopyFileW(u"\\Temp\\kit.txt", u"\\My Documents\\copy.txt", TRUE);
     }, 0, 80},
    {"copied onto a program the device runs", [](Calls& c) {
         return c.device.CopyFileW(u"\\Temp\\kit.txt", u"\\Windows\\TRQUtil.exe", FALSE);
     }, 0, 32},
    {"the copy read back", [](Calls& c) {
         if (!Opened(c, u"\\My Documents\\copy.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING)) return int64_t{-1};
         DWORD n = 0;
         const bool same = c.device.ReadFile(c.file, c.buffer, 64, &n, nullptr) && std::string(c.buffer, n) == "hello kit";
         return int64_t{same && c.device.CloseHandle(c.file)};
     }, 1, 0},
    {"deleted", [](Calls& c) { return c.device.DeleteFileW(u"\\Temp\\kit.txt"); }, 1, 0},
    {"opened, not there", [](Calls& c) { return Opened(c, u"\\Temp\\kit.txt", GENERIC_READ, 0, OPEN_EXISTING); }, 0, 2},
    {"made in no folder", [](Calls& c) { return Opened(c, u"\\Nowhere\\kit.txt", kReadWrite, 0, CREATE_ALWAYS); }, 0, 3},
    {"made over a file", [](Calls& c) {
         return Opened(c, u"\\Temp\\TRQSetup.log", GENERIC_WRITE, 0, CREATE_ALWAYS) && c.device.CloseHandle(c.file);
     }, 1, 183},
    {"a folder's attributes", [](Calls& c) { return c.device.GetFileAttributesW(u"\\Temp"); }, 0x10, 0},
    {"a file's attributes", [](Calls& c) { return c.device.GetFileAttributesW(u"\\Temp\\TRQSetup.log"); }, 0x80, 0},
    {"no file's attributes", [](Calls& c) { return c.device.GetFileAttributesW(u"\\Temp\\kit.txt"); },
     0xFFFFFFFF, 2},
    {"a folder", [](Calls& c) { return c.device.CreateDirectoryW(u"\\Kit", nullptr); }, 1, 0},
    {"the folder again", [](Calls& c) { return c.device.CreateDirectoryW(u"\\kit", nullptr); }, 0, 183},
    {"a folder in no folder", [](Calls& c) { return c.device.CreateDirectoryW(u"\\No\\Kit", nullptr); }, 0, 3},
    {"moved onto a name taken",
     [](Calls& c) { return c.device.MoveFileW(u"\\Temp\\TRQSetup.log", u"\\My Documents\\copy.txt"); }, 0, 183},
    {"moved into the folder", [](Calls& c) { return c.device.MoveFileW(u"\\My Documents\\copy.txt", u"\\kit\\Copy.txt"); },
     1, 0},
    {"moved to no folder", [](Calls& c) { return c.device.MoveFileW(u"\\Kit\\copy.txt", u"\\No\\copy.txt"); }, 0, 3},
    {"a folder moved below itself", [](Calls& c) { return c.device.MoveFileW(u"\\Kit", u"\\Kit\\Inner"); }, 0, 5},
    {"a folder moved, with what it holds",
     [](Calls& c) { return c.device.MoveFileW(u"\\Kit", u"\\My Documents\\Kit"); }, 1, 0},
    {"what it holds, moved back", [](Calls& c) {
         return c.device.MoveFileW(u"\\My Documents\\Kit\\copy.txt", u"\\My Documents\\copy.txt");
     }, 1, 0},
    {"a program the device runs, moved",
     [](Calls& c) { return c.device.MoveFileW(u"\\Windows\\TRQUtil.exe", u"\\Windows\\TRQUtil.old"); }, 0, 32},
};

class KitFiles : public testing::TestWithParam<bool> {};

TEST_P(KitFiles, OpenWriteReadShareCopyAndDelete)
{
    std::vector<std::string> differences;
    const runner::Program program = [&](sim::DeviceSession& device) {
        differences = Play(device, kFileSteps);
        return 0;
    };
    if (GetParam()) {
        TestDevice device(runner::SampleState::Started);
        device.program = program;
        device.Run({});
        EXPECT_EQ(ReadHostFile(device.image.dir / "files" / "My Documents" / "copy.txt"), "hello kit");
        EXPECT_EQ(ReadHostFile(device.image.dir / "files" / "Temp" / "TRQSetup.log"), "");
    } else {
        sim::DeviceImage image = runner::SampleDeviceInMemory(runner::SampleState::Started);
        runner::RunOptions options;
        options.program = program;
        options.writeBack = false;
        runner::RunOutcome outcome;
        std::string error;
        ASSERT_TRUE(runner::RunUninstallOn(image, options, outcome, error)) << error;
        std::string copy;
        EXPECT_TRUE(image.Files().ReadHead(u"\\My Documents\\copy.txt", 64, copy));
        EXPECT_EQ(copy, "hello kit");
    }
    EXPECT_EQ(Lines(differences), "");
}

INSTANTIATE_TEST_SUITE_P(Files, KitFiles, testing::Values(true, false),
                         [](const auto& info) { return info.param ? "OnTheHost" : "InMemory"; });

int64_t SetValue(Calls& c, LPCWSTR name, DWORD type, const std::vector<uint8_t>& bytes)
{
    return c.device.RegSetValueExW(c.key, name, 0, type, bytes.data(), static_cast<DWORD>(bytes.size()));
}

int64_t Created(Calls& c, LPCWSTR path)
{
    DWORD disposition = 0;
    const LONG status = c.device.RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, 0, nullptr, &c.key,
                                                 &disposition);
    return status ? -int64_t{status} : int64_t{disposition};
}

// RegQueryInfoKeyW's counts of the key open in c, or minus its status.
int64_t Counted(Calls& c)
{
    DWORD subKeys = 99, values = 99, longestName = 0;
    const LONG status = c.device.RegQueryInfoKeyW(c.key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                                                  &values, &longestName, nullptr, nullptr, nullptr);
    return status ? -int64_t{status} : int64_t{subKeys} * 100 + values;
}

const std::vector<Step> kRegistrySteps = {
    {"a new key", [](Calls& c) { return Created(c, u"Software\\TRQ\\Kit\\Held"); }, 1, 0},
    {"the key again", [](Calls& c) { return Created(c, u"software\\trq\\kit"); }, 2, 0},
    {"a number", [](Calls& c) { return SetValue(c, u"Mode", REG_DWORD, {7, 0, 0, 0}); }, 0, 0},
    {"a text", [](Calls& c) { return SetValue(c, u"Note", REG_SZ, {'h', 0, 'e', 0, 'l', 0, 'd', 0, 0, 0}); }, 0, 0},
    {"bytes", [](Calls& c) { return SetValue(c, u"Gone", REG_BINARY, {1, 2}); }, 0, 0},
    {"the bytes deleted", [](Calls& c) { return c.device.RegDeleteValueW(c.key, u"gone"); }, 0, 0},
    {"deleted twice", [](Calls& c) { return c.device.RegDeleteValueW(c.key, u"Gone"); }, 2, 0},
    {"its sub-keys and values counted, as sub-keys * 100 + values", [](Calls& c) { return Counted(c); }, 102, 0},
    {"a name with a line break", [](Calls& c) { return SetValue(c, u"a\nb", REG_SZ, {0, 0}); }, 87, 0},
    {"a key of an empty name", [](Calls& c) { return Created(c, u"Software\\\\TRQ"); }, -87, 0},
    {"closed", [](Calls& c) { return c.device.RegCloseKey(c.key); }, 0, 0},
};

TEST(KitRegistry, KeysAndValuesAreWrittenBackToRegistryReg)
{
    TestDevice device;
    PlayRun(device, kRegistrySteps);
    const std::string reg = ReadHostFile(device.image.RegistryPath());
    EXPECT_NE(reg.find("[HKEY_CURRENT_USER\\Software\\TRQ\\Kit]\n"
                       "\"Mode\"=dword:00000007\n"
                       "\"Note\"=\"held\"\n"
                       "\n"
                       "[HKEY_CURRENT_USER\\Software\\TRQ\\Kit\\Held]\n"),
              std::string::npos)
        << reg;
}

// Whether registry.reg on the host holds the key Software\TRQ\Kept now,
// in the middle of the run.
int64_t KeptOnDisk(Calls& c)
{
    return ReadHostFile(c.device.image.RegistryPath()).find("[HKEY_CURRENT_USER\\Software\\TRQ\\Kept]") !=
           std::string::npos;
}

struct Store {
    std::string name;
    formats::RegistryStore store;
    std::vector<Step> steps;
};

void PrintTo(const Store& store, std::ostream* out) { *out << store.name; }

const Step kKeptMade = {"a key made", [](Calls& c) { return Created(c, u"Software\\TRQ\\Kept"); }, 1, 0};
const Step kFlushed = {"flushed", [](Calls& c) { return int64_t{c.device.RegFlushKey(HKEY_CURRENT_USER)}; }, 0, 0};

// A killed command leaves registry.reg as it is at that moment: the
// registry's writes are there at once where it is in RAM, and once flushed
// where it is in hives (and in both when the command ends).
const Store kStores[] = {
    {"RAM: each write kept at once, and no store to flush to",
     formats::RegistryStore::Ram,
     {kKeptMade,
      {"on the host at once", KeptOnDisk, 1, 0},
      {"flushed", [](Calls& c) { return int64_t{c.device.RegFlushKey(c.key)}; }, 50, 0}}},
    {"Hive: kept once flushed",
     formats::RegistryStore::Hive,
     {kKeptMade,
      {"not on the host yet", KeptOnDisk, 0, 0},
      kFlushed,
      {"on the host once flushed", KeptOnDisk, 1, 0},
      {"a handle of no key", [](Calls& c) { return int64_t{c.device.RegFlushKey(reinterpret_cast<HKEY>(0x77))}; },
       6, 0}}},
};

class KitRegistryStore : public testing::TestWithParam<Store> {};

TEST_P(KitRegistryStore, WritesReachRegistryRegAsTheDeviceKeepsThem)
{
    TestDevice device;
    device.image.config.device.registry = GetParam().store;
    ASSERT_TRUE(Save(device.image));
    PlayRun(device, GetParam().steps);
    // The command's end writes it back in both.
    EXPECT_NE(ReadHostFile(device.image.RegistryPath()).find("[HKEY_CURRENT_USER\\Software\\TRQ\\Kept]"),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Devices, KitRegistryStore, testing::ValuesIn(kStores), NameFromParam());

struct Facts {
    std::string name;
    std::string ini;  // device.ini
    DWORD major, minor, build, platform;
    std::u16string servicePack, platformType, oemInfo;
    formats::RegistryStore registry;
    formats::FileSystem fileSystem;
};

void PrintTo(const Facts& facts, std::ostream* out) { *out << facts.name; }

const Facts kFacts[] = {
    {"a Windows Mobile 5 Pocket PC without a [Device] section", "", 5, 1, 1700, 3, u"", u"PocketPC",
     u"QX-500 Pocket PC", formats::RegistryStore::Hive, formats::FileSystem::Fat},
    {"the device.ini's own, a Pocket PC 2003 with its registry in RAM and its files in the object store",
     "[Device]\nMajorVersion=4\nMinorVersion=21\nBuildNumber=1088\nPlatformId=3\nServicePack=Build 14049\n"
     "PlatformType=PocketPC\nOemInfo=Sample OEM \xC3\xA9\nRegistry=ram\nFileSystem=objectstore\n",
     4, 21, 1088, 3, u"Build 14049", u"PocketPC", u"Sample OEM \u00E9", formats::RegistryStore::Ram,
     formats::FileSystem::ObjectStore},
};

class KitFacts : public testing::TestWithParam<Facts> {};

TEST_P(KitFacts, ComeFromDeviceIni)
{
    const Facts& f = GetParam();
    sim::DeviceImage image = sim::DeviceImage::InMemory();
    std::string error;
    ASSERT_TRUE(formats::ParseDeviceIni(f.ini, image.config, error)) << error;
    EXPECT_EQ(image.config.device.registry, f.registry);
    EXPECT_EQ(image.config.device.fileSystem, f.fileSystem);
    // Written back as it reads.
    formats::DeviceConfig again;
    ASSERT_TRUE(formats::ParseDeviceIni(formats::FormatDeviceIni(image.config), again, error)) << error;
    EXPECT_EQ(again.device, image.config.device);
    sim::Trace trace;
    sim::DeviceSession device(image, trace);

    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = 276;
    ASSERT_TRUE(device.GetVersionExW(&info));
    EXPECT_EQ(info.dwMajorVersion, f.major);
    EXPECT_EQ(info.dwMinorVersion, f.minor);
    EXPECT_EQ(info.dwBuildNumber, f.build);
    EXPECT_EQ(info.dwPlatformId, f.platform);
    EXPECT_EQ(std::u16string(info.szCSDVersion), f.servicePack);
    info.dwOSVersionInfoSize = 20;
    EXPECT_FALSE(device.GetVersionExW(&info));
    EXPECT_EQ(device.ErrorCode(), 122u);

    WCHAR text[64] = {};
    ASSERT_TRUE(device.SystemParametersInfoW(257, sizeof text, text, 0));
    EXPECT_EQ(std::u16string(text), f.platformType);
    ASSERT_TRUE(device.SystemParametersInfoW(258, sizeof text, text, 0));
    EXPECT_EQ(std::u16string(text), f.oemInfo);
    // The size is the buffer's in bytes: the text's characters and its NUL, two bytes each.
    EXPECT_FALSE(device.SystemParametersInfoW(258, 2 * static_cast<UINT>(f.oemInfo.size()) + 1, text, 0));
    EXPECT_EQ(device.ErrorCode(), 122u);
}

INSTANTIATE_TEST_SUITE_P(Devices, KitFacts, testing::ValuesIn(kFacts), NameFromParam());

TEST(KitFaults, OneNewCallFailsAsItsRuleSays)
{
    sim::DeviceImage image = runner::SampleDeviceInMemory();
    sim::Trace trace;
    std::vector<sim::FaultRule> rules(2);
    std::string error;
    ASSERT_TRUE(sim::ParseFaultRule("CopyFileW:fail", rules[0], error)) << error;
    ASSERT_TRUE(sim::ParseFaultRule("CreateFileW(\\temp\\a.log)#2:error=ERROR_DISK_FULL", rules[1], error)) << error;
    sim::DeviceSession device(image, trace, {{}, sim::MakeFaultPlan(rules)});

    EXPECT_FALSE(device.CopyFileW(u"\\Temp\\TRQSetup.log", u"\\Temp\\copy.log", FALSE));
    EXPECT_EQ(device.ErrorCode(), 5u);
    EXPECT_FALSE(device.image.Files().Exists(u"\\Temp\\copy.log"));
    for (int open = 1; open <= 2; ++open) {
        HANDLE h = device.CreateFileW(u"\\Temp\\a.log", GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
        EXPECT_EQ(h == INVALID_HANDLE_VALUE, open == 2) << open;
        if (open == 2) {
            EXPECT_EQ(device.ErrorCode(), 112u);
        } else {
            device.CloseHandle(h);
        }
    }
}

// The run's program starts a program (a stand-in: the sample's files are
// text) and leaves a file open; the stand-in runs on into later runs and
// holds its image, the file does not stay held.
const std::vector<Step> kStartSteps = {
    {"a name without a folder is looked for in \\Windows", [](Calls& c) {
         return c.device.CreateProcessW(u"TRQ.exe", nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr,
                                        &c.started);
     }, 0, 2},
    {"started", [](Calls& c) {
         return c.device.CreateProcessW(u"\\Program Files\\TRQ\\TRQ.exe", nullptr, nullptr, nullptr, FALSE, 0,
                                        nullptr, nullptr, nullptr, &c.started);
     }, 1, 0},
    {"its image deleted", [](Calls& c) { return c.device.DeleteFileW(u"\\Program Files\\TRQ\\TRQ.exe"); }, 0, 32},
    {"waited for, a moment", [](Calls& c) { return c.device.WaitForSingleObject(c.started.hProcess, 0); }, 258, 0},
    {"its name", [](Calls& c) { return c.device.GetModuleFileNameW(nullptr, c.text, 64); }, 17, 0},
    {"its name in a short buffer", [](Calls& c) {
         const DWORD n = c.device.GetModuleFileNameW(nullptr, c.text, 5);
         return std::u16string(c.text) == u"\\TRQ" ? int64_t{n} : 0;
     }, 5, 122},
    {"an event, set", [](Calls& c) { return (c.event = c.device.CreateEventW(nullptr, FALSE, TRUE, u"kit")) != nullptr; },
     1, 0},
    {"the event again", [](Calls& c) { return c.device.CreateEventW(nullptr, FALSE, FALSE, u"kit") != nullptr; }, 1,
     183},
    {"waited on", [](Calls& c) { return c.device.WaitForSingleObject(c.event, 0); }, 0, 0},
    {"waited on, now reset", [](Calls& c) { return c.device.WaitForSingleObject(c.event, 5000); }, 258, 0},
    {"modified in no way it knows", [](Calls& c) { return c.device.EventModify(c.event, 9); }, 0, 87},
    {"a file left open", [](Calls& c) { return Opened(c, u"\\Temp\\TRQSetup.log", GENERIC_READ, 0, OPEN_EXISTING); },
     1, 0},
};

const std::vector<Step> kLaterSteps = {
    {"the file left open, deleted", [](Calls& c) { return c.device.DeleteFileW(u"\\Temp\\TRQSetup.log"); }, 1, 0},
    {"the started program, deleted", [](Calls& c) { return c.device.DeleteFileW(u"\\Program Files\\TRQ\\TRQ.exe"); },
     0, 32},
};

const std::vector<Step> kAfterRestart = {
    {"the started program, deleted", [](Calls& c) { return c.device.DeleteFileW(u"\\Program Files\\TRQ\\TRQ.exe"); },
     1, 0},
};

TEST(KitPrograms, AStartedProgramHoldsItsImageUntilTheDeviceRestarts)
{
    TestDevice device;
    PlayRun(device, kStartSteps);
    EXPECT_NE(ReadHostFile(device.image.ConfigPath()).find("[Running]\nProgram=\\Program Files\\TRQ\\TRQ.exe\n"),
              std::string::npos);
    PlayRun(device, kLaterSteps);
    std::string error;
    ASSERT_TRUE(runner::RestartDevice(device.image, error)) << error;
    EXPECT_EQ(ReadHostFile(device.image.ConfigPath()).find("[Running]"), std::string::npos);
    PlayRun(device, kAfterRestart);
}

// The run's own program waits on an event no program has set: the run stops
// there, and the program stays running, holding what its handle holds,
// until a later run's program sets the event.
const std::vector<Step> kWaitSteps = {
    {"a file held", [](Calls& c) { return Opened(c, u"\\Temp\\TRQSetup.log", GENERIC_READ, 0, OPEN_EXISTING); }, 1, 0},
    {"an event", [](Calls& c) { return (c.event = c.device.CreateEventW(nullptr, TRUE, FALSE, u"kit stop")) != nullptr; },
     1, 0},
    {"waited on for good", [](Calls& c) {
         c.device.WaitForSingleObject(c.event, INFINITE);
         return int64_t{c.device.Parked()};
     }, 1, 0},
};

const std::vector<Step> kStopSteps = {
    {"the held file, deleted", [](Calls& c) { return c.device.DeleteFileW(u"\\Temp\\TRQSetup.log"); }, 0, 32},
    {"the event", [](Calls& c) { return (c.event = c.device.CreateEventW(nullptr, TRUE, FALSE, u"kit stop")) != nullptr; },
     1, 183},
    {"set", [](Calls& c) { return c.device.EventModify(c.event, EVENT_SET); }, 1, 0},
    {"the file it held, deleted", [](Calls& c) { return c.device.DeleteFileW(u"\\Temp\\TRQSetup.log"); }, 1, 0},
};

TEST(KitPrograms, AProgramThatWaitsStaysRunningUntilALaterOneSetsTheEvent)
{
    TestDevice device;
    EXPECT_EQ(PlayRun(device, kWaitSteps).stop, sim::Stop::Waiting);
    EXPECT_NE(ReadHostFile(device.image.ConfigPath())
                  .find("[Running]\nProgram=\\TRQUninstall.exe\nFile=\\Temp\\TRQSetup.log\nManualEvent=kit stop\n"),
              std::string::npos);
    const runner::RunOutcome stopped = PlayRun(device, kStopSteps);
    EXPECT_EQ(stopped.stop, sim::Stop::None);
    ASSERT_EQ(stopped.programs.size(), 1u);
    EXPECT_EQ(stopped.programs[0].program, u"\\TRQUninstall.exe");
    EXPECT_EQ(stopped.programs[0].what, "ended: the event it waited on was set");
    EXPECT_EQ(ReadHostFile(device.image.ConfigPath()).find("[Running]"), std::string::npos);
}

}  // namespace
}  // namespace trq_test
