// Every platform call of a run fails in turn, on the simulated device and
// on the Pocket PC executable in the ARM emulator. For each device state the run
// is made once to count its calls, then again with call 1, 2, ... N failing
// (deletions once with each of ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED
// and ERROR_FILE_NOT_FOUND), and then with every call of each kind failing.
// After each run the uninstaller must have kept its promises:
//   - exit code 0, and the boxes one of the dialogue's paths, ending with
//     Success or Not removed, or with the Reset offer when the device restarted;
//   - every box's text, caption and flags exactly the table's;
//   - nothing touched but what the plans name: the device carries decoys
//     (the package's file names at the root and in other folders, keys of
//     other applications and beside the package's own);
//   - the install record gone only if the Success box was shown;
//   - every heap block released but the install directory's, and every key
//     closed (save when the fault was the release or the close itself).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>

#include "device/device.h"
#include "harness/runner/plan_items.h"
#include "harness/runner/sample_device.h"
#include "platform/sim/fault_rules.h"
#include "tests/device_snapshot.h"
#include "tests/expected/expected_plan.h"
#include "tests/pocketpc/pocketpc_test_support.h"
#include "tests/scenarios.h"
#include "tests/test_device.h"

namespace trq_test {
namespace {

namespace fs = std::filesystem;

const formats::Root LM = formats::Root::LocalMachine, CU = formats::Root::CurrentUser, CR = formats::Root::ClassesRoot;

// The package's file names where the package never put them, and keys that
// only look like the package's.
void AddDecoys(sim::DeviceImage& image)
{
    for (const char16_t* path :
         {u"\\TRQ.exe", u"\\Setup.dll", u"\\DevTRQSync.dll", u"\\TRQJotlet.exe", u"\\Services.loc",
          u"\\TRQUtil.lnk", u"\\TRQUtil.exe", u"\\TRQUtil.log", u"\\TRQSetup.log", u"\\TRQ.lnk",
          u"\\TRQ.exe.log", u"\\My Documents\\TRQ.exe", u"\\My Documents\\TRQUtil.exe",
          u"\\Program Files\\TRQ2\\TRQ.exe", u"\\Program Files\\TRQ2\\Setup.dll",
          u"\\Program Files\\Atlas\\TRQ.exe.log", u"\\Windows\\Setup.dll", u"\\Windows\\TRQ.exe",
          u"\\Windows\\TRQ.lnk", u"\\Windows\\TRQUtil.log", u"\\Windows\\StartUp\\TRQ.lnk",
          u"\\Windows\\Start Menu\\TRQ.lnk", u"\\Windows\\Start Menu\\Programs\\TRQUtil.lnk",
          u"\\Temp\\TRQ.exe.log", u"\\Temp\\Sub\\TRQUtil.log", u"\\Windows\\AppMgr\\Other.DLL"})
        WriteFile(image, path, "decoy\r\n");
    SetString(image, CU, u"Software\\TRQ\\Other", u"Keep", u"yes");
    SetString(image, CU, u"Software\\TRQ\\Sync2", u"Keep", u"yes");
    SetString(image, LM, kInstallRecord + u" 2", u"InstallDir", u"\\Program Files\\TRQ2");
    SetString(image, LM, u"Security\\AppInstall\\Pocket Atlas", u"Role", u"user");
    SetString(image, LM, u"Services\\TRQRem2", u"Dll", u"Other.dll");
    SetString(image, CR, u"trpfile2", u"", u"other");
    SetString(image, CR, u".trp2", u"", u"trpfile2");
}

struct DeviceState {
    std::string name;
    std::function<void(sim::DeviceImage&)> prepare;  // after the decoys
    bool resetReturns;
    std::vector<Box> unfaulted;  // what the user sees when nothing fails
};

const DeviceState kStates[] = {
    {"clean", [](sim::DeviceImage&) {}, false,
     {Box::Confirmation, Box::SettingsQuestion, Box::Success}},
    {"partial",
     [](sim::DeviceImage& d) {
         HoldOpen(d, u"\\Program Files\\TRQ\\TRQ.exe");
         HoldOpen(d, u"\\Windows\\TRQRemindSvc.dll");
     },
     false, {Box::Confirmation, Box::ResetOffer}},
    {"partial, reset comes back",
     [](sim::DeviceImage& d) { HoldOpen(d, u"\\Program Files\\TRQ\\DevTRQSync.dll"); }, true,
     {Box::Confirmation, Box::ResetOffer, Box::NotRemoved}},
    {"Startup shortcut held open",
     [](sim::DeviceImage& d) { HoldOpen(d, u"\\Windows\\StartUp\\TRQUtil.lnk"); }, false,
     {Box::Confirmation, Box::SettingsQuestion, Box::Success}},
    {"lookup failure",
     [](sim::DeviceImage& d) {
         // The record is there, but neither value holds a directory.
         SetString(d, LM, kInstallRecord, u"InstallDir", u"");
         SetRaw(d, LM, kInstallRecord, u"InstDir", REG_SZ, {'\\', 0, 'A', 0});
     },
     false, {Box::LookupFailure, Box::NotRemoved}},
    {"odd folders",
     [](sim::DeviceImage& d) {
         d.config.startup = u"";  // the query fails
         d.config.programs = u"\\WINDOWS\\start menu\\Programs\\";
         d.config.temp = u"/Temp/";
         RemoveValue(d, LM, kInstallRecord, u"InstallDir");  // only InstDir
         RemoveFile(d, u"\\Windows\\TRQNewMenu.dll");
         WriteFile(d, u"\\Program Files\\TRQ\\Setup.dll", "read-only\r\n", true);
         WriteFile(d, u"\\Program Files\\TRQ\\Notes.txt", "the user's own\r\n");
     },
     false, {Box::Confirmation, Box::SettingsQuestion, Box::Success}},
    {"temporary folder too long",
     [](sim::DeviceImage& d) {
         d.config.temp = u"\\" + std::u16string(300, u't') + u"\\";
         d.config.programs = u"\\" + std::u16string(250, u'p');  // "\TRQ.lnk" does not fit
     },
     false, {Box::Confirmation, Box::SettingsQuestion, Box::Success}},
};

// A device path as the device reads it, for comparing: "/" as "\", doubled
// separators folded, ASCII letters in lower case.
std::string Fold(const std::string& path)
{
    std::string out;
    for (char c : path) {
        if (c == '/') c = '\\';
        if (c == '\\' && !out.empty() && out.back() == '\\') continue;
        out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return out;
}

bool Has(const std::set<std::string>& set, const std::string& item) { return set.count(item) > 0; }

std::optional<Box> BoxOf(const sim::BoxRecord& record)
{
    for (Box b : {Box::LookupFailure, Box::NotRemoved, Box::Confirmation, Box::SettingsQuestion,
                  Box::Success, Box::ResetOffer})
        if (record.text == BoxText(b)) return b;
    return std::nullopt;
}

// The paths the dialogue can take, and how each may end.
bool IsDialoguePath(const std::vector<Box>& boxes, sim::Stop stop)
{
    using B = Box;
    if (stop == sim::Stop::Reset) return boxes == std::vector<B>{B::Confirmation, B::ResetOffer};
    if (stop != sim::Stop::None) return false;
    for (const std::vector<B>& path : std::vector<std::vector<B>>{
             {B::LookupFailure, B::NotRemoved},
             {B::Confirmation, B::NotRemoved},
             {B::Confirmation, B::SettingsQuestion, B::Success},
             {B::Confirmation, B::ResetOffer, B::NotRemoved}})
        if (boxes == path) return true;
    return false;
}

// Answers Yes to every question, so that each run goes as deep as it can.
std::optional<int> AnswerYes(const sim::BoxRecord& box)
{
    return runner::IsQuestion(box.flags) ? IDYES : IDOK;
}

// One device state: a prepared image, copied afresh for each run.
class SweptDevice {
public:
    SweptDevice(const DeviceState& state, runner::Program program)
        : state_(state), program_(std::move(program)), scratch_("sweep")
    {
        pristine_ = scratch_.Path() / "pristine";
        work_ = scratch_.Path() / "work";
        std::string error;
        EXPECT_TRUE(runner::InitSampleDevice(pristine_, error)) << error;
        sim::DeviceImage image;
        EXPECT_TRUE(sim::LoadDeviceImage(pristine_, image, error)) << error;
        image.config = formats::DeviceConfig{};  // nothing held open, folders as on most devices
        AddDecoys(image);
        state.prepare(image);
        Save(image);
        EXPECT_TRUE(sim::LoadDeviceImage(pristine_, image, error)) << error;

        filesBefore_ = HostTree(image.dir / "files");
        registryBefore_ = RegistryDump(image.registry.keys);
        installDir_ = runner::RecordedInstallDir(image.registry.keys).value_or(u"");
        for (const expected::PlanItem& item : expected::PlanItems(installDir_, image.config)) {
            if (item.kind == expected::PlanItem::Key) planKeys_.insert(Fold(item.name));
            else planFiles_.insert(Fold(item.name));
        }
    }

    struct Run {
        runner::RunOutcome outcome;
        std::vector<std::string> problems;
    };

    Run Play(const std::vector<std::string>& ruleTexts)
    {
        Run run;
        std::vector<sim::FaultRule> rules;
        for (const std::string& text : ruleTexts) {
            sim::FaultRule rule;
            std::string error;
            if (!sim::ParseFaultRule(text, rule, error)) {
                run.problems.push_back("bad rule: " + error);
                return run;
            }
            rules.push_back(rule);
        }
        CopyTree(pristine_, work_);
        sim::DeviceImage image;
        std::string error;
        if (!sim::LoadDeviceImage(work_, image, error)) {
            run.problems.push_back(error);
            return run;
        }
        std::map<std::string, int> fired;
        runner::RunOptions options;
        options.answerer = AnswerYes;
        options.resetReturns = state_.resetReturns;
        options.program = program_;
        options.keepRecords = true;
        if (!rules.empty())
            options.faults = sim::MakeFaultPlan(rules, [&fired](const sim::FaultRule&, const std::string& op,
                                                                int, const std::string&) { ++fired[op]; });
        if (!runner::RunUninstallOn(image, options, run.outcome, error)) {
            run.problems.push_back("the image could not be written back: " + error);
            return run;
        }
        Check(image, run.outcome, fired, run.problems);
        return run;
    }

private:
    void Check(const sim::DeviceImage& image, const runner::RunOutcome& out,
               std::map<std::string, int>& fired, std::vector<std::string>& problems) const
    {
        auto problem = [&problems](const std::string& what) { problems.push_back(what); };
        if (out.exitCode != 0) problem("exit code " + std::to_string(out.exitCode));
        if (out.stop == sim::Stop::Fault) problem("the program broke down: " + out.fault);

        std::vector<Box> boxes;
        for (const sim::BoxRecord& record : out.boxes) {
            std::optional<Box> box = BoxOf(record);
            if (!box) {
                problem("a box with a text not in the table: " + formats::Utf16ToUtf8Lossy(record.text));
                continue;
            }
            boxes.push_back(*box);
            if (record.flags != BoxFlags(*box) || record.caption != u"TRQ Uninstall")
                problem("the " + BoxName(*box) + " box with flags " + std::to_string(record.flags));
        }
        if (!IsDialoguePath(boxes, out.stop)) {
            std::string seen;
            for (Box b : boxes) seen += BoxName(b) + ", ";
            problem("boxes [" + seen + "] and stop " + std::to_string(static_cast<int>(out.stop)) +
                    " are no path of the dialogue");
        }
        const bool success = !boxes.empty() && boxes.back() == Box::Success;
        if (!success && !image.registry.keys.Find(LM, kInstallRecord))
            problem("the install record is gone but the Success box was not shown");

        // Heap and keys: the install directory lives until the process ends.
        const size_t installDirBlock = !boxes.empty() && boxes[0] == Box::Confirmation ? 1 : 0;
        if (out.heapBlocksLeft != installDirBlock + fired["HeapFree"])
            problem(std::to_string(out.heapBlocksLeft) + " heap blocks left");
        if (out.badHeapFrees) problem("a heap block released that was never allocated");
        if (out.keysLeftOpen != static_cast<size_t>(fired["RegCloseKey"]))
            problem(std::to_string(out.keysLeftOpen) + " keys left open");

        // What the calls aimed at.
        namespace call = device_calls::call;
        for (const auto& record : out.trace.Records()) {
            const std::string op = record.call->name;
            if (record.call == &call::DeleteFileW || record.call == &call::SetFileAttributesW ||
                record.call == &call::RemoveDirectoryW) {
                const std::string path = formats::Utf16ToUtf8Lossy(record.Arg("path").text);
                if (!Has(planFiles_, Fold(path))) problem(op + " of " + path + ", which no plan names");
            } else if (record.call == &call::RegDeleteKeyW) {
                const std::string key = expected::RootName(static_cast<expected::Root>(record.Arg("root").number)) +
                                        std::string("\\") + formats::Utf16ToUtf8Lossy(record.Arg("subKey").text);
                if (!Has(planKeys_, Fold(key))) problem("RegDeleteKeyW of " + key + ", which no plan names");
            }
        }

        // What changed on the device.
        std::map<std::string, std::string> files = HostTree(image.dir / "files");
        for (const auto& [path, entry] : filesBefore_) {
            auto now = files.find(path);
            if (now != files.end() && now->second == entry) continue;
            const std::string device = "\\" + path;
            if (!Has(planFiles_, Fold(device))) problem(device + " was changed or removed");
        }
        for (const auto& [path, entry] : files)
            if (!filesBefore_.count(path)) problem("\\" + path + " was made");
        std::map<std::string, std::string> registry = RegistryDump(image.registry.keys);
        auto underPlanKey = [this](const std::string& key) {
            std::string k = Fold(key);
            for (const std::string& plan : planKeys_)
                if (k == plan || k.rfind(plan + "\\", 0) == 0) return true;
            return false;
        };
        for (const auto& [key, values] : registryBefore_) {
            auto now = registry.find(key);
            if (now != registry.end() && now->second == values) continue;
            if (!underPlanKey(key)) problem("key " + key + " was changed or removed");
        }
        for (const auto& [key, values] : registry)
            if (!registryBefore_.count(key)) problem("key " + key + " was made");
    }

    const DeviceState& state_;
    runner::Program program_;
    ScratchDir scratch_;
    fs::path pristine_, work_;
    std::map<std::string, std::string> filesBefore_, registryBefore_;
    std::u16string installDir_;
    std::set<std::string> planFiles_, planKeys_;
};

bool IsDeletion(const std::string& op)
{
    return op == "DeleteFileW" || op == "RemoveDirectoryW" || op == "RegDeleteKeyW";
}

const char* const kOddAnswers[] = {  // the values a device should never give
    "DeleteFileW:error=5", "DeleteFileW:error=2", "GetTempPathW:result=260",
    "GetTempPathW:result=300", "GetLastError:result=32", "MessageBoxW:result=IDYES",
    "RegQueryValueExW:error=ERROR_MORE_DATA", "RegQueryValueExW(InstallDir):data=hex:",
    "RegQueryValueExW(InstallDir):data=text:", "RegQueryValueExW(InstallDir):data=text:\\",
    "RegQueryValueExW(InstallDir):data=text:/", "RegQueryValueExW(InstallDir):data=text:\\\\",
    "RegQueryValueExW(InstallDir):data=text:\\..\\..",
    "RegQueryValueExW(InstallDir):data=text:\\Program Files\\TRQ\\.",
    "RegQueryValueExW(InstallDir):data=text:\\Program Files\\TRQ\\..",
    "RegQueryValueExW(InstallDir):error=234,data=text:\\Program Files\\TRQ",
    "RegQueryValueExW(InstallDir):data=hex:5c,00,41"};

// A device state, swept on the simulated device or on an emulated Pocket PC.
struct Sweep {
    const DeviceState* state;
    std::optional<emulator::Cpu> cpu;  // none: the uninstaller built for this host
    std::string name;
};

void PrintTo(const Sweep& s, std::ostream* os) { *os << s.name; }

std::vector<Sweep> Sweeps(std::optional<emulator::Cpu> cpu)
{
    std::vector<Sweep> sweeps;
    for (const DeviceState& state : kStates) {
        std::string name = state.name;
        if (cpu) name += std::string(" on ") + emulator::CpuName(*cpu);
        sweeps.push_back({&state, cpu, name});
    }
    return sweeps;
}

class FaultSweep : public testing::TestWithParam<Sweep> {};

TEST_P(FaultSweep, EveryCallFailsInTurnAndThePromisesHold)
{
    const DeviceState& state = *GetParam().state;
    runner::Program program;
    if (GetParam().cpu) {
        TRQ_REQUIRE_POCKETPC_BUILD();
        program = PocketPcUninstallerOn(*GetParam().cpu);
    }
    const auto start = std::chrono::steady_clock::now();
    SweptDevice device(state, program);
    // On the Pocket PC every faulted run must also make the very calls the
    // uninstaller built for this host makes under the same fault.
    std::optional<SweptDevice> host;
    if (program) host.emplace(state, runner::Program{});

    SweptDevice::Run unfaulted = device.Play({});
    // cppcheck-suppress containerOutOfBounds ; the message is made only when the assertion fails
    ASSERT_TRUE(unfaulted.problems.empty()) << unfaulted.problems[0];
    std::vector<Box> boxes;
    for (const sim::BoxRecord& record : unfaulted.outcome.boxes) boxes.push_back(*BoxOf(record));
    ASSERT_EQ(boxes, state.unfaulted);
    std::vector<std::string> counted;  // what "call#N" counts: the calls the device may fail
    for (const auto& record : unfaulted.outcome.trace.Records())
        if (record.call->faults == device_calls::Faultable) counted.push_back(record.call->name);
    if (const auto& ended = unfaulted.outcome.trace.EndedIn()) counted.push_back(ended->call->name);
    const int calls = unfaulted.outcome.calls;
    ASSERT_EQ(static_cast<size_t>(calls), counted.size());

    std::vector<std::vector<std::string>> plans;
    for (int n = 1; n <= calls; ++n) {
        const std::string call = "call#" + std::to_string(n);
        if (IsDeletion(counted[n - 1])) {
            for (const char* error : {"32", "5", "2"}) plans.push_back({call + ":error=" + error});
        } else {
            plans.push_back({call + ":fail"});
        }
    }
    // Every call of one kind at once, and the values a device should never give.
    for (const std::string op : expected::kFaultableCalls) plans.push_back({op + ":fail"});
    for (const char* rule : kOddAnswers) plans.push_back({rule});

    int faulted = 0, failures = 0;
    for (const std::vector<std::string>& plan : plans) {
        SweptDevice::Run run = device.Play(plan);
        ++faulted;
        const std::string differs = host ? FirstDifference(run.outcome.trace, host->Play(plan).outcome.trace) : "";
        if (!differs.empty()) run.problems.push_back("its calls differ from the simulated device's under the same fault: " + differs);
        if (run.problems.empty()) continue;
        std::string all;
        for (const std::string& p : run.problems) all += "\n  " + p;
        ADD_FAILURE() << GetParam().name << ", --fail " << plan[0] << ":" << all;
        if (++failures == 10) break;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("[ sweep    ] %s: %d calls, %d faulted runs (%.1f s)\n", GetParam().name.c_str(), calls,
                faulted, seconds);
    RecordProperty("faulted_runs", faulted);
}

INSTANTIATE_TEST_SUITE_P(States, FaultSweep, testing::ValuesIn(Sweeps(std::nullopt)), NameFromParam());
// The same faults for the ARM executable: a fault the host build survives
// must not break the Pocket PC's.
INSTANTIATE_TEST_SUITE_P(PocketPc, FaultSweep,
                         testing::ValuesIn(Sweeps(emulator::Cpu::Sa1110)), NameFromParam());

}  // namespace
}  // namespace trq_test
