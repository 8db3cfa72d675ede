// Runs killed at every step (TRQ_SIM_KILL_AT_STEP: each platform call, each
// stage of writing a device file, each loan of write permission), on a
// device whose registry is kept in hives (what was flushed outlives the
// kill) and on one whose registry is in RAM (every write does).
//
// The uninstaller, on a device with read-only folders and a read-only file:
// after each kill the device loads, keeps every attribute it had, is left
// no temporary file by the next run, and further runs finish the job.
//
// The device kit (the Pocket PC kit in the emulator), on a device without
// the package and without HKEY_LOCAL_MACHINE\Software: killed at each call
// of its prepare (its holder's included) and of its undo, and prepared with
// its log cut at each of its lines, the next start offers to undo, changes
// nothing it did not make, and leaves the device as it found it, its log
// aside, or names in its box what it left.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <map>

#include "tests/device_snapshot.h"
#include "tests/test_device.h"

namespace trq_test {
namespace {

namespace fs = std::filesystem;

const std::string kTool = TRQ_SIM_CLI;
const char kRamRegistry[] = "[Device]\nRegistry=RAM\n";

CommandResult Tool(const fs::path& device, const std::string& arguments, const std::string& environment = "")
{
    return RunCommand(environment + "'" + kTool + "' --device '" + device.string() + "' " + arguments +
                      " 2>&1 </dev/null");
}

CommandResult KilledAt(const fs::path& device, const std::string& arguments, int step)
{
    return Tool(device, arguments, "TRQ_SIM_KILL_AT_STEP=" + std::to_string(step) + " ");
}

bool Killed(const CommandResult& r) { return r.exitCode == -1 || r.exitCode == 128 + 9; }

void Append(const fs::path& file, const std::string& text)
{
    std::ofstream(file, std::ios::binary | std::ios::app) << text;
}

struct Model {
    std::string name;
    std::string deviceIni;  // added to device.ini
};

void PrintTo(const Model& model, std::ostream* out) { *out << model.name; }

const Model kModels[] = {{"Hive", ""}, {"Ram", kRamRegistry}};

// The permission bits of every file and folder below files/.
std::map<std::string, unsigned> Modes(const fs::path& device)
{
    std::map<std::string, unsigned> modes;
    for (const auto& entry : fs::recursive_directory_iterator(device / "files")) {
        struct stat st;
        if (::lstat(entry.path().c_str(), &st) == 0)
            modes[fs::relative(entry.path(), device).string()] = st.st_mode & 07777;
    }
    return modes;
}

// Whatever a killed run left, the device loads (a refused image exits 2),
// and at most three runs take it to the end (the first may end at the soft
// reset), each keeping every attribute and leaving no temporary file.
void ExpectRecovers(const fs::path& work, const std::map<std::string, unsigned>& modesBefore, int step)
{
    bool finished = false;
    for (int run = 0; run < 3 && !finished; ++run) {
        const CommandResult r = Tool(work, "--answer yes,yes");
        ASSERT_EQ(r.exitCode, 0) << "step " << step << ", run " << run << ": " << r.output;
        finished = r.output.find("successfully removed") != std::string::npos;
        for (const auto& [path, mode] : Modes(work)) {
            auto before = modesBefore.find(path);
            ASSERT_NE(before, modesBefore.end()) << "step " << step << ": " << path << " is new";
            EXPECT_EQ(mode, before->second) << "step " << step << ", run " << run << ": " << path;
        }
        for (const auto& entry : fs::directory_iterator(work)) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name.find(".tmp.") == std::string::npos && name != ".write-lent")
                << "step " << step << ": " << name << " left after a run";
        }
    }
    EXPECT_TRUE(finished) << "step " << step << ": three runs did not finish the job";
}

class KilledRuns : public testing::TestWithParam<Model> {};

TEST_P(KilledRuns, AtEveryStepTheDeviceLoadsKeepsItsAttributesAndIsFinished)
{
    ScratchDir tmp("killed");
    const fs::path pristine = tmp.Path() / "pristine", work = tmp.Path() / "work";
    ASSERT_EQ(RunCommand("'" + kTool + "' --init-device '" + pristine.string() + "' >/dev/null").exitCode, 0);
    Append(pristine / "device.ini", GetParam().deviceIni);
    // Read-only folders the uninstaller deletes in, and a read-only file it
    // leaves alone.
    for (const char* folder : {"files/Windows", "files/Temp", "files/Windows/Start Menu/Programs"})
        fs::permissions(pristine / folder, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
    fs::permissions(pristine / "files/My Documents/Tasks.trp", fs::perms::owner_write, fs::perm_options::remove);
    const std::map<std::string, unsigned> modesBefore = Modes(pristine);

    const auto start = std::chrono::steady_clock::now();
    int step = 1;
    for (;; ++step) {
        CopyTree(pristine, work);
        if (!Killed(KilledAt(work, "--answer yes,yes", step))) break;  // the run ended before that step
        ExpectRecovers(work, modesBefore, step);
        if (testing::Test::HasFailure()) break;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("[ killed   ] %s registry: %d runs killed, one at each step, in %.1f s\n", GetParam().name.c_str(),
                step - 1, seconds);
    EXPECT_GT(step, 50) << "a run takes more steps than that";
}

INSTANTIATE_TEST_SUITE_P(Registry, KilledRuns, testing::ValuesIn(kModels), NameFromParam());

// ---- the device kit

const char kKitOnDevice[] = "\\My Documents\\TRQUninstallKit.exe";
const char kKitLog[] = "TRQ Uninstall Kit log.txt";

struct KitKill {
    std::string name;
    const char* cpu;
    Model model;
    int every;  // kill at every step, or at every Nth
};

void PrintTo(const KitKill& kill, std::ostream* out) { *out << kill.name; }

// The full sweep on the StrongARM both ways; the XScale, which runs the
// same instructions, at every seventh step. Under the sanitizers, which
// slow every run several times over, every 13th and every 29th.
#if defined(__SANITIZE_ADDRESS__)
const bool kSanitized = true;
#else
const bool kSanitized = false;
#endif
const KitKill kKitKills[] = {
    {"Sa1110Hive", "sa1110", kModels[0], 1},
    {"Sa1110Ram", "sa1110", kModels[1], 1},
    {"Pxa270Hive", "pxa270", kModels[0], 7},
    {"Pxa270Ram", "pxa270", kModels[1], 7},
};

class KitKilled : public testing::TestWithParam<KitKill> {
protected:
    void SetUp() override
    {
        if (!fs::exists(TRQ_POCKETPC_KIT)) GTEST_SKIP() << "the Pocket PC kit was not built (no arm-none-eabi-g++)";
    }

    std::string Kit(const fs::path& device, int killAt = 0)
    {
        const std::string arguments =
            std::string("--cpu ") + GetParam().cpu + " --run '" + kKitOnDevice + "' --answer yes";
        const CommandResult r = killAt ? KilledAt(device, arguments, killAt) : Tool(device, arguments);
        killed_ = Killed(r);
        // A run that is not killed ends as the kit does: exit code 0.
        if (!killed_) {
            EXPECT_EQ(r.exitCode, 0) << arguments << " killed at " << killAt << "\n" << r.output;
        }
        return r.output;
    }

    // What a killed run left: nothing changed, or the next start offers
    // to undo and then nothing of the kit's is left but what its box names
    // (a key made and killed before its mark: nothing shows it is the
    // kit's), and nothing that was there is changed.
    void ExpectUndone(const fs::path& work, const std::map<std::string, std::string>& before, const std::string& when)
    {
        if (DeviceState(work, kKitLog) == before) return;
        const std::string output = Kit(work);
        EXPECT_NE(output.find("The kit has prepared this device"), std::string::npos) << when << "\n" << output;
        EXPECT_NE(output.find("Everything the kit made is gone"), std::string::npos) << when << "\n" << output;
        // The box's text, its lines joined again.
        std::string box = output;
        for (size_t at; (at = box.find("\n| ")) != std::string::npos;) box.replace(at, 3, " ");
        const std::map<std::string, std::string> after = DeviceState(work, kKitLog);
        for (const auto& [name, entry] : before)
            EXPECT_EQ(after.count(name) ? after.at(name) : "(gone)", entry) << when << ": " << name << "\n" << output;
        if (after != before) ++leftNamed_;
        for (const auto& [name, entry] : after) {
            if (before.count(name)) continue;
            // "files/Program Files/TRQ" is \Program Files\TRQ on the device; "key K" is K.
            std::string named = name.rfind("key ", 0) == 0 ? name.substr(4) : "\\" + name.substr(6);
            if (name.rfind("files/", 0) == 0)
                for (char& c : named) c = c == '/' ? '\\' : c;
            EXPECT_NE(box.find(named + " ("), std::string::npos) << when << ": " << name << " left, and not named\n" << output;
        }
    }

    // Kills the kit at each step until a run ends before it; returns how
    // many runs were killed.
    int Sweep(const fs::path& from, const fs::path& work, const std::map<std::string, std::string>& before,
              const std::string& phase)
    {
        int killed = 0;
        for (int step = 1;; step += Every()) {
            CopyTree(from, work);
            const std::string output = Kit(work, step);
            if (!killed_) break;
            ++killed;
            ExpectUndone(work, before, phase + " killed at step " + std::to_string(step));
            if (HasFailure()) break;
        }
        return killed;
    }

    int Every() const { return kSanitized ? (GetParam().every == 1 ? 13 : 29) : GetParam().every; }

    bool killed_ = false;
    int leftNamed_ = 0;  // undos that left something their box names
};

TEST_P(KitKilled, AtEveryCallTheNextStartUndoesAllOfIt)
{
    ScratchDir tmp("kit-killed");
    const fs::path pristine = tmp.Path() / "pristine", prepared = tmp.Path() / "prepared", work = tmp.Path() / "work";
    MakeDeviceWithoutThePackage(pristine, GetParam().model.deviceIni);
    fs::copy_file(TRQ_POCKETPC_KIT, pristine / "files" / "My Documents" / "TRQUninstallKit.exe");
    const std::map<std::string, std::string> before = DeviceState(pristine, kKitLog);

    const auto start = std::chrono::steady_clock::now();
    const int duringPrepare = Sweep(pristine, work, before, "prepare");
    CopyTree(pristine, prepared);
    const std::string output = Kit(prepared);
    ASSERT_NE(output.find("Now tap TRQUninstallTrace.exe"), std::string::npos) << output;
    const int duringUndo = Sweep(prepared, work, before, "undo");
    // The log cut at each of its lines: what the kit made carries its
    // proof, and goes, whatever the log still says.
    const std::string log = ReadHostFile(prepared / "files" / kKitLog);
    int cuts = 0;
    for (size_t end = 0; end != std::string::npos && !HasFailure(); ++cuts) {
        for (int skip = 1; skip < Every() && end != std::string::npos; ++skip) end = log.find("\r\n", end + 1);
        if (end == std::string::npos) break;
        CopyTree(prepared, work);
        std::ofstream(work / "files" / kKitLog, std::ios::binary | std::ios::trunc) << log.substr(0, end ? end + 2 : 0);
        const std::string undone = Kit(work);
        EXPECT_NE(undone.find("Everything the kit made is gone"), std::string::npos) << "log cut at byte " << end << "\n" << undone;
        EXPECT_EQ(StateDifferences(before, DeviceState(work, kKitLog)), "") << "log cut at byte " << end << "\n" << undone;
        end = log.find("\r\n", end + 1);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string which = Every() == 1 ? "at every step" : "at one step in " + std::to_string(Every());
    std::printf("[ killed   ] the kit on %s, %s registry: %d runs killed in its prepare, %d in its undo, %s; "
                "its log cut at %d of its lines; %d undos left what their box names; in %.1f s\n",
                GetParam().cpu, GetParam().model.name.c_str(), duringPrepare, duringUndo, which.c_str(), cuts,
                leftNamed_, seconds);
    EXPECT_GT(duringPrepare * Every(), 300) << "the kit's prepare makes more calls than that";
    EXPECT_GT(duringUndo * Every(), 300) << "the kit's undo makes more calls than that";
}

INSTANTIATE_TEST_SUITE_P(Devices, KitKilled, testing::ValuesIn(kKitKills), NameFromParam());

}  // namespace
}  // namespace trq_test
