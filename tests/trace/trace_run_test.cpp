// The trace build run on a device, its trace file read back: a shared
// scenario's image played by TRQUninstallTrace.exe under Wine and by the
// Pocket PC's in the ARM emulator, then "\TRQ Uninstall trace.txt" checked line by
// line: every line whole JSON ended by "\r\n"; each run opening with the
// device's facts and the device code's id; every "calling" line followed
// by its call's record; the calls those records name, in order, the ones
// the uninstaller makes on the simulated device for the same scenario; and
// every GetLastError the device code makes reading what the call before it
// left, however many file calls the trace layer made in between.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>

#include "formats/text.h"
#include "harness/emulator/coredll.h"
#include "platform/sim/device_files.h"
#include "tests/expected/expected_words.h"
#include "tests/pocketpc/pocketpc_test_support.h"
#include "tests/scenarios.h"
#include "tests/test_device.h"
#include "tests/wine/wine_image.h"
#include "tests/wine/wine_test_support.h"

namespace trq::wine {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;
using trq_test::Scenario;

// A record the run must hold, as written down: its call, its result (none:
// any), the arguments named (the others: any).
struct Written {
    const char* call;
    std::optional<long> ret;
    json args = json::object();
};

struct TraceCase {
    const char* name;
    const char* scenario;  // of the shared table
    int runs = 1;          // one after another on the same device, appending
    // A folder stands where the trace file goes: the uninstaller runs as it
    // would, and no trace is written.
    bool traceBlocked = false;
    std::vector<Written> records = {};  // each run's, when written down
    // Held open by another program: its DeleteFileW fails with a sharing
    // violation, which the device code's GetLastError right after it reads.
    const char* heldFile = nullptr;
    // Nobody answers the first question: the run is left at its box, and the
    // trace ends announcing MessageBoxW, the call that never returned.
    bool unanswered = false;
};

const TraceCase kCases[] = {
    {"NoInstallRecord", "no install record", 2, false,
     {{"RegOpenKeyExW", 2,
       {{"root", "0x80000002"}, {"subKey", "SOFTWARE\\Apps\\Vantrelle PocketPC Edition"}, {"options", 0},
        {"access", expected::kKeyRead}}},
      {"GetForegroundWindow", std::nullopt},
      {"MessageBoxW", 1, {{"caption", "TRQ Uninstall"}}},
      {"GetForegroundWindow", std::nullopt},
      {"MessageBoxW", 1, {{"caption", "TRQ Uninstall"}}}}},
    {"HeldFileResetDeclined", "one file held open, reset offer answered No", 1, false, {},
     "\\Program Files\\TRQ\\TRQ.exe"},
    {"CleanRemoval", "clean, settings removed"},
    {"TraceFileCannotBeWritten", "no install record", 1, true},
    {"BoxNobodyAnswers", "consent refused", 1, false, {}, nullptr, true},
};

std::vector<int> Answers(const Scenario& scenario, const TraceCase& c)
{
    return c.unanswered ? std::vector<int>{} : scenario.answers;
}

// ---------------------------------------------------------- the devices --

// What a trace build left on the device it ran on.
struct TracePlay {
    std::string skip;      // why the device could not play, or empty
    bool pending = false;  // skip: what it cannot do yet, rather than a piece missing
    std::optional<std::string> trace;  // the trace file's bytes, if it is a file
    std::vector<std::string> boxes;    // the texts of the boxes the user saw, every run's
    std::vector<int> exitCodes;
};

struct TraceDevice {
    const char* name;
    // Its facts, as the first record must give them.
    unsigned platform;         // OSVERSIONINFOW's dwPlatformId
    const char* platformType;  // nullptr: null, the call failed
    bool oem;                  // false: null
    std::function<TracePlay(const Scenario&, const TraceCase&)> play;
};

const char16_t kTracePath[] = u"\\TRQ Uninstall trace.txt";

void Prepare(const Scenario& scenario, trq_test::TestDevice& device)
{
    if (scenario.prepare) scenario.prepare(device.image);
    device.Reload();
}

std::optional<std::string> ReadTrace(const fs::path& file)
{
    if (!fs::is_regular_file(fs::symlink_status(file))) return std::nullopt;
    return trq_test::ReadHostFile(file);
}

// Under Wine, on the image laid into a fresh prefix as the shared scenarios
// lay it; the driver answers the boxes.
TracePlay PlayUnderWine(const Scenario& scenario, const TraceCase& c)
{
    TracePlay play;
    const WineTemplate* tmpl = OpenSharedTemplate(play.skip);
    if (!tmpl) return play;  // play.skip says what is missing
    if (!fs::is_regular_file(TRQ_WINDOWS_TRACE_EXE)) {
        play.skip = std::string("TRQUninstallTrace.exe was not built: ") + TRQ_WINDOWS_TRACE_EXE;
        return play;
    }

    trq_test::TestDevice device;
    Prepare(scenario, device);
    const ImageCopy image = CopyImage(device.image);
    WinePrefix prefix(*tmpl);
    const PathMap paths(image.config, prefix.Folders());
    const fs::path trace = prefix.HostPath(paths.Windows(kTracePath));
    if (c.traceBlocked) fs::create_directories(trace);
    const fs::path reg = WorkFile(std::string("trace-") + c.name + ".reg");
    WineScenario laid = ImageRun(image, paths, reg, Answers(scenario, c));
    for (int run = 0; run < c.runs; ++run) {
        if (run > 0) {  // the prefix as the last run left it
            const std::vector<WineAnswer> answers = laid.answers;
            laid = WineScenario();
            laid.answers = answers;
        }
        laid.program = TRQ_WINDOWS_TRACE_EXE;
        const WineRunResult result = prefix.Run(laid);
        WineTest::PrintTimings(c.name, result);
        EXPECT_EQ(result.outcome, c.unanswered ? "out_of_answers" : "exited") << result.error;
        play.exitCodes.push_back(result.exitCode.value_or(-1));
        for (const WineBox& box : result.boxes) play.boxes.push_back(box.text);
    }
    play.trace = ReadTrace(trace);
    return play;
}

// In the ARM emulator, on the simulated device, which keeps the trace file
// in its files/.
TracePlay PlayOnPocketPc(const Scenario& scenario, const TraceCase& c)
{
    TracePlay play;
    if (!fs::is_regular_file(TRQ_POCKETPC_TRACE_EXE))
        play.skip = std::string("TRQUninstallTrace.exe was not built: ") + TRQ_POCKETPC_TRACE_EXE;
    for (const char* call : expected::kTraceBuildCalls)
        if (play.skip.empty() && !emulator::FindExport(call)) {
            play.skip = std::string("the emulated COREDLL does not serve ") + call + " yet";
            play.pending = true;
        }
    if (!play.skip.empty()) return play;

    trq_test::TestDevice device;
    device.program =
        emulator::PocketPcProgram(trq_test::LoadPocketPc(TRQ_POCKETPC_TRACE_EXE), emulator::Cpu::Sa1110);
    Prepare(scenario, device);
    // The file at the device root, in the device folder's files/ (the path
    // is made here: the file is not there yet to be resolved).
    const fs::path trace = device.image.dir / "files" / "TRQ Uninstall trace.txt";
    if (c.traceBlocked) fs::create_directories(trace);
    for (int run = 0; run < c.runs; ++run) {
        const runner::RunOutcome outcome = device.Run(Answers(scenario, c), /*resetReturns=*/true);
        EXPECT_EQ(outcome.stop, c.unanswered ? sim::Stop::NoAnswer : sim::Stop::None) << outcome.fault;
        play.exitCodes.push_back(outcome.exitCode);
        for (const sim::BoxRecord& box : outcome.boxes) play.boxes.push_back(formats::Utf16ToUtf8Lossy(box.text));
    }
    play.trace = ReadTrace(trace);
    return play;
}

const TraceDevice kDevices[] = {
    {"Wine", 2, nullptr, false, PlayUnderWine},
    {"PocketPc", 3, "PocketPC", true, PlayOnPocketPc},
};

// ------------------------------------------------------------ the trace --

// One run as its trace shows it: the first record, and the records of the
// calls, each after its "calling" line.
struct TracedRun {
    json start;
    std::vector<json> records;
};

// Reads the trace, failing the test where it breaks the format; calling
// is left naming the call the last line announced, if it never returned.
std::vector<TracedRun> ReadRuns(const std::string& trace, std::string& calling)
{
    std::vector<TracedRun> runs;
    EXPECT_TRUE(trace.size() >= 2 && trace.compare(trace.size() - 2, 2, "\r\n") == 0) << "the last line is whole";
    calling.clear();  // the call a "calling" line announced, until its record comes
    for (size_t at = 0, number = 1; at < trace.size(); ++number) {
        const size_t end = std::min(trace.find("\r\n", at), trace.size());
        const std::string line = trace.substr(at, end - at);
        at = end + 2;
        SCOPED_TRACE("line " + std::to_string(number) + ": " + line);
        const json record = json::parse(line, nullptr, /*allow_exceptions=*/false);
        if (!record.is_object()) {
            ADD_FAILURE() << "not whole JSON";
        } else if (record.contains("trace")) {
            EXPECT_EQ(calling, "") << "a run starts inside a call";
            runs.push_back({record, {}});
        } else if (record.contains("calling")) {
            EXPECT_EQ(calling, "") << "a call announced inside another";
            EXPECT_EQ(record.size(), 1u);
            calling = record["calling"].get<std::string>();
        } else {
            EXPECT_EQ(record.value("call", ""), calling) << "a record without its \"calling\" line";
            EXPECT_FALSE(record.contains("n")) << "the device numbers nothing";
            EXPECT_TRUE(record.contains("args") && record.contains("error"));
            calling.clear();
            if (runs.empty()) ADD_FAILURE() << "a record before the first run's start";
            else runs.back().records.push_back(record);
        }
    }
    return runs;
}

std::vector<std::string> Keys(const json& object)
{
    std::vector<std::string> keys;
    for (const auto& item : object.items()) keys.push_back(item.key());
    return keys;
}

void ExpectStart(const json& start, const TraceDevice& device)
{
    EXPECT_EQ(Keys(start), (std::vector<std::string>{"trace", "build", "os", "platformType", "oem"}));
    EXPECT_EQ(start["trace"], "TRQ Uninstall");
    EXPECT_EQ(start["build"], TRQ_DEVICE_CODE_ID);
    EXPECT_EQ(Keys(start["os"]), (std::vector<std::string>{"major", "minor", "build", "platform", "csd"}));
    EXPECT_EQ(start["os"]["platform"], device.platform);
    EXPECT_TRUE(start["os"]["csd"].is_string());
    EXPECT_EQ(start["platformType"], device.platformType ? json(device.platformType) : json());
    EXPECT_EQ(start["oem"].is_string(), device.oem) << start["oem"];
}

// The calls the uninstaller makes for the scenario on the simulated device,
// as the shared scenarios play it (the reset request comes back), the one
// the run ended in last.
std::vector<std::string> CallsOnTheSimulatedDevice(const Scenario& scenario, const TraceCase& c)
{
    trq_test::TestDevice device;
    Prepare(scenario, device);
    const runner::RunOutcome outcome = device.Run(Answers(scenario, c), /*resetReturns=*/true);
    std::vector<std::string> calls;
    for (const auto& record : outcome.trace.Records()) calls.push_back(record.call->name);
    if (outcome.trace.EndedIn()) calls.push_back(outcome.trace.EndedIn()->call->name);
    return calls;
}

// The same of a traced run.
std::vector<std::string> CallsTraced(const TracedRun& run)
{
    std::vector<std::string> calls;
    for (const json& record : run.records) calls.push_back(record["call"].get<std::string>());
    return calls;
}

// ------------------------------------------------------------- the test --

struct Played {
    const TraceDevice* device;
    const TraceCase* trace;
};

void PrintTo(const Played& p, std::ostream* out) { *out << p.trace->name << " on " << p.device->name; }

std::vector<Played> AllPlays()
{
    std::vector<Played> all;
    for (const TraceDevice& device : kDevices)
        for (const TraceCase& c : kCases) all.push_back({&device, &c});
    return all;
}

const Scenario& SharedScenario(const std::string& name)
{
    for (const Scenario& s : trq_test::SharedScenarios())
        if (s.name == name) return s;
    ADD_FAILURE() << "no shared scenario " << name;
    return trq_test::SharedScenarios().front();
}

using TraceRun = testing::TestWithParam<Played>;

TEST_P(TraceRun, TraceFileAsWritten)
{
    const TraceCase& c = *GetParam().trace;
    const TraceDevice& device = *GetParam().device;
    const Scenario& scenario = SharedScenario(c.scenario);

    const TracePlay play = device.play(scenario, c);
    if (!play.skip.empty()) {
        if (trq_test::RunningInCi() && !play.pending) FAIL() << play.skip;
        GTEST_SKIP() << play.skip;
    }

    // The uninstaller ran as it does, trace or no trace.
    std::vector<std::string> boxes;
    for (int run = 0; run < c.runs; ++run)
        for (trq_test::Box box : scenario.boxes)
            boxes.push_back(formats::Utf16ToUtf8Lossy(trq_test::BoxText(box)));
    if (c.unanswered) boxes.resize(1);
    EXPECT_EQ(play.boxes, boxes);
    if (!c.unanswered) {
        EXPECT_EQ(play.exitCodes, std::vector<int>(c.runs, 0));
    }
    if (c.traceBlocked) {
        EXPECT_FALSE(play.trace) << "written where a folder stands";
        return;
    }
    ASSERT_TRUE(play.trace) << "no trace file at the device root";

    std::string neverReturned;
    const std::vector<TracedRun> runs = ReadRuns(*play.trace, neverReturned);
    ASSERT_EQ(runs.size(), static_cast<size_t>(c.runs)) << "each run appends its own";
    EXPECT_EQ(neverReturned, c.unanswered ? "MessageBoxW" : "") << "the call the trace ends inside";
    const std::vector<std::string> onTheSimulatedDevice = CallsOnTheSimulatedDevice(scenario, c);
    for (const TracedRun& run : runs) {
        const std::vector<json>& records = run.records;
        ExpectStart(run.start, device);
        std::vector<std::string> calls = CallsTraced(run);
        if (&run == &runs.back() && !neverReturned.empty()) calls.push_back(neverReturned);
        EXPECT_EQ(calls, onTheSimulatedDevice);
        // The last error a call left is what the device code reads next.
        for (size_t i = 1; i < records.size(); ++i) {
            if (records[i]["call"] != "GetLastError") continue;
            EXPECT_EQ(records[i]["ret"], records[i - 1]["error"]) << "record " << i + 1;
        }
        if (!c.records.empty()) {
            ASSERT_EQ(records.size(), c.records.size());
        }
        for (size_t i = 0; i < c.records.size(); ++i) {
            SCOPED_TRACE("record " + std::to_string(i + 1) + ": " + records[i].dump());
            EXPECT_EQ(records[i]["call"], c.records[i].call);
            EXPECT_EQ(records[i]["ret"], c.records[i].ret ? json(*c.records[i].ret) : records[i]["ret"]);
            for (const auto& arg : c.records[i].args.items())
                EXPECT_EQ(records[i]["args"][arg.key()], arg.value()) << arg.key();
        }
        size_t held = 0;
        for (size_t i = 0; c.heldFile && i + 1 < records.size(); ++i) {
            if (records[i]["call"] != "DeleteFileW" || records[i]["args"]["path"] != c.heldFile) continue;
            ++held;
            EXPECT_EQ(records[i]["ret"], 0);
            EXPECT_EQ(records[i]["error"], expected::kErrorSharingViolation);
            EXPECT_EQ(records[i + 1]["call"], "GetLastError");
        }
        EXPECT_EQ(held, c.heldFile ? 1u : 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Devices, TraceRun, testing::ValuesIn(AllPlays()),
                         [](const testing::TestParamInfo<Played>& info) {
                             return std::string(info.param.device->name) + "_" + info.param.trace->name;
                         });

}  // namespace
}  // namespace trq::wine
