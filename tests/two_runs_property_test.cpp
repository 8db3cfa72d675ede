// Two runs with the restart between finish the job, whatever the user holds
// open: every combination of the nine counted files held by a user program,
// the Startup shortcut held, and each folder query failing, on the sample
// device as it is after it has started (its service, New-menu extension,
// synchronisation provider and the utility held by the device itself). The
// user answers Yes to every box, so nothing is kept by choice.
//
// Where no number of runs, or not two, can finish, the combination is named
// and exactly what stays is checked:
//   - the Startup folder query fails: the uninstaller cannot name the
//     shortcut, so it leaves it and the utility it starts alone, and the
//     device starts the utility again at every start;
//   - the Programs folder query fails: the two Start-menu shortcuts stay;
//   - the Startup shortcut is held open: the first run leaves the utility
//     alone, so the restart starts it again and the second run finds it
//     held; a third run finishes.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "formats/text.h"
#include "harness/runner/sample_device.h"
#include "tests/device_snapshot.h"
#include "tests/expected/expected_plan.h"
#include "tests/scenarios.h"
#include "tests/test_device.h"

namespace trq_test {
namespace {

namespace fs = std::filesystem;

const int Y = 6;  // IDYES
const std::u16string kDir = u"\\Program Files\\TRQ";
const std::vector<std::u16string> kNineCounted = expected::CountedFiles(kDir);
const std::u16string kShortcut = u"\\Windows\\StartUp\\TRQUtil.lnk";
const std::set<std::string> kStartupRows = {"\\Windows\\StartUp\\TRQUtil.lnk", "\\Windows\\TRQUtil.exe"};
const std::set<std::string> kProgramsRows = {"\\Windows\\Start Menu\\Programs\\TRQ.lnk",
                                             "\\Windows\\Start Menu\\Programs\\TRQ Jotlet.lnk"};

struct Combination {
    unsigned held = 0;  // bit i: the user holds kNineCounted[i] open
    bool shortcutHeld = false;
    bool startupFails = false;
    bool programsFails = false;

    std::string Name() const
    {
        std::string name = "user holds {";
        for (size_t i = 0; i < kNineCounted.size(); ++i)
            if (held & (1u << i)) name += formats::Utf16ToUtf8Lossy(kNineCounted[i]) + " ";
        name += "}";
        if (shortcutHeld) name += ", Startup shortcut held open";
        if (startupFails) name += ", Startup folder query fails";
        if (programsFails) name += ", Programs folder query fails";
        return name;
    }
};

// Every file, folder and key on the device, in lower case (the device
// compares names without case), folders without their trailing separator.
std::set<std::string> Contents(const sim::DeviceImage& image)
{
    std::set<std::string> all;
    for (const std::u16string& path : image.Files().List()) {
        std::string name = Lower(formats::Utf16ToUtf8Lossy(path));
        if (name.size() > 1 && name.back() == '\\') name.pop_back();
        all.insert(std::move(name));
    }
    for (const std::string& key : image.registry.keys.KeyList()) all.insert(Lower(key));
    return all;
}

void CopyKey(const formats::RegKey& from, formats::RegKey& to)
{
    to.name = from.name;
    to.values = from.values;
    for (const auto& child : from.keys) {
        to.keys.push_back(std::make_unique<formats::RegKey>());
        CopyKey(*child, *to.keys.back());
    }
}

bool Play(sim::DeviceImage& image, const Combination& c, runner::RunOutcome& outcome,
          std::string& error)
{
    runner::RunOptions options;
    options.answerer = runner::ScriptedAnswers({Y, Y});
    options.writeBack = false;  // the next run goes on from the image in memory
    options.keepRecords = true;
    options.faults = [&c](const std::string& op, int, int, std::u16string_view csidl) {
        bool fails = op == "SHGetSpecialFolderPath" &&
                     ((csidl == u"7" && c.startupFails) || (csidl == u"2" && c.programsFails));
        return fails ? std::optional<sim::Fault>(sim::Fault{}) : std::nullopt;
    };
    return runner::RunUninstallOn(image, options, outcome, error);
}

// The started sample device, made once, and a working copy that each
// combination gets back as it was. Only what a run deleted is put back,
// copied from the pristine files (not hard-linked: the device takes a file
// with a second host name for one it cannot reach), and the registry and
// device.ini are copied in memory: parsing the registry each time would cost
// more than the runs.
class Workbench {
public:
    Workbench(const fs::path& pristine, const fs::path& work) : pristine_(pristine), work_(work)
    {
        for (auto it = fs::recursive_directory_iterator(pristine_ / "files");
             it != fs::recursive_directory_iterator(); ++it)
            entries_.push_back({fs::relative(it->path(), pristine_), it->is_directory()});
        fs::create_directories(work_ / "files");
        std::string error;
        loaded_ = sim::LoadDeviceImage(pristine_, sample_, error);

        // What the plans name, and what is not the package's and must survive.
        for (const expected::PlanItem& item : expected::PlanItems(runner::kSampleInstallDir, sample_.config))
            plan_[Lower(item.name)] = item.name;
        for (const std::string& name : Contents(sample_))
            if (!plan_.count(name)) survivors_.insert(name);
    }

    bool Loaded() const { return loaded_; }
    const std::set<std::string>& Survivors() const { return survivors_; }

    bool Fresh(sim::DeviceImage& image, std::string& error)
    {
        std::error_code ec;
        for (const auto& [relative, folder] : entries_) {
            const fs::path path = work_ / relative;
            if (fs::exists(fs::symlink_status(path, ec))) continue;
            if (folder) fs::create_directory(path, ec);
            else fs::copy_file(pristine_ / relative, path, ec);
            if (ec) {
                error = path.string() + ": " + ec.message();
                return false;
            }
        }
        image = sim::DeviceImage{};
        image.dir = work_;
        for (formats::Root root : {formats::Root::ClassesRoot, formats::Root::CurrentUser, formats::Root::LocalMachine})
            CopyKey(sample_.registry.keys.RootKey(root), image.registry.keys.RootKey(root));
        image.config = sample_.config;
        return true;
    }

    // Of what the plans name, what is on the device (as the plans spell it),
    // and what has gone that is not the package's.
    void Measure(const sim::DeviceImage& image, std::set<std::string>& left,
                 std::vector<std::string>& lost) const
    {
        const std::set<std::string> now = Contents(image);
        left.clear();
        for (const auto& [lower, name] : plan_)
            if (now.count(lower)) left.insert(name);
        for (const std::string& name : survivors_)
            if (!now.count(name)) lost.push_back(name);
    }

private:
    fs::path pristine_, work_;
    std::vector<std::pair<fs::path, bool>> entries_;  // below the image, parents first
    sim::DeviceImage sample_;
    bool loaded_ = false;
    std::map<std::string, std::string> plan_;  // lower case: as the plans spell it
    std::set<std::string> survivors_;           // lower case
};

// Checks one combination; returns what was wrong, or nothing, and which
// outcome it had.
std::vector<std::string> Check(Workbench& bench, const Combination& c, std::string& outcome)
{
    std::vector<std::string> problems;
    auto expect = [&problems](bool ok, const std::string& what) {
        if (!ok) problems.push_back(what);
    };
    sim::DeviceImage image;
    std::string error;
    if (!bench.Fresh(image, error)) return {"cannot make the device again: " + error};
    for (size_t i = 0; i < kNineCounted.size(); ++i)
        if (c.held & (1u << i)) HoldOpen(image, kNineCounted[i]);
    if (c.shortcutHeld) HoldOpen(image, kShortcut);

    // The first run meets at least the libraries the device loaded, and the
    // user accepts the reset.
    runner::RunOutcome run;
    if (!Play(image, c, run, error)) return {"first run: " + error};
    expect(run.stop == sim::Stop::Reset, "the first run did not restart the device");
    const bool shortcutLeft = c.shortcutHeld || c.startupFails;
    expect(image.Files().Exists(kShortcut) == shortcutLeft,
           shortcutLeft ? "the Startup shortcut went" : "the Startup shortcut stayed");
    // After the restart: the user's programs are gone, and of what the device
    // loads only the other application's service and, while its shortcut
    // stays, the utility are back.
    std::vector<formats::DeviceHold> held;
    if (shortcutLeft) held.push_back({formats::HoldRule::Startup, u"\\Windows\\TRQUtil.exe"});
    held.push_back({formats::HoldRule::Service, u"\\Windows\\AtlasGps.dll"});
    expect(image.config.heldOpen.empty(), "the restart kept files held by the user");
    expect(image.config.heldByDevice == held, "the restart holds other files");

    if (!Play(image, c, run, error)) return {"second run: " + error};
    std::set<std::string> expected;
    std::vector<std::string> limits;
    if (c.startupFails) {
        limits.push_back("Startup folder query fails: the shortcut and the utility stay");
        expected = kStartupRows;
    } else if (c.shortcutHeld) {
        limits.push_back("Startup shortcut held open: the utility, the settings and the install "
                         "record stay; a third run finishes");
        expected = Union({{"\\Windows\\TRQUtil.exe"}, SettingsKeys(), InstallRecordKeys()});
    }
    if (c.programsFails) {
        limits.push_back("Programs folder query fails: the Start-menu shortcuts stay");
        expected.insert(kProgramsRows.begin(), kProgramsRows.end());
    }
    outcome = "finished in two runs";
    for (size_t i = 0; i < limits.size(); ++i) outcome = (i ? outcome + "; " : "") + limits[i];

    const bool third = c.shortcutHeld && !c.startupFails;
    expect(run.stop == (third ? sim::Stop::Reset : sim::Stop::None),
           third ? "the second run did not restart the device" : "the second run did not finish");
    expect(!run.boxes.empty() && run.boxes.back().text == BoxText(third ? Box::ResetOffer : Box::Success),
           "the second run ended at another box");
    std::set<std::string> left;
    std::vector<std::string> lost;
    bench.Measure(image, left, lost);
    if (left != expected) {
        std::string names;
        for (const std::string& name : left) names += " " + name;
        problems.push_back("after two runs the plans still name:" + names);
    }
    if (third) {
        if (!Play(image, c, run, error)) return {"third run: " + error};
        expect(run.stop == sim::Stop::None && run.boxes.back().text == BoxText(Box::Success),
               "the third run did not finish");
        bench.Measure(image, left, lost);
        expect(left == (c.programsFails ? kProgramsRows : std::set<std::string>{}),
               "the third run left more than the Start-menu shortcuts");
    }
    for (const std::string& name : lost) problems.push_back("removed, but not the package's: " + name);
    return problems;
}

Combination Nth(int n)
{
    return {static_cast<unsigned>(n >> 3), (n & 4) != 0, (n & 2) != 0, (n & 1) != 0};
}
const int kCombinations = 512 * 2 * 2 * 2;

// One worker's share, every workers-th combination from `first`: one line
// per combination, "n<TAB>outcome" and a "<TAB>problem" for each problem.
void Work(const fs::path& pristine, const fs::path& work, int first, int workers, std::ostream& out)
{
    Workbench bench(pristine, work);
    for (int n = first; n < kCombinations; n += workers) {
        std::string outcome;
        std::vector<std::string> problems =
            bench.Loaded() ? Check(bench, Nth(n), outcome) : std::vector<std::string>{"no device"};
        out << n << '\t' << outcome;
        for (const std::string& problem : problems) out << '\t' << problem;
        out << '\n';
    }
}

TEST(TwoRuns, EveryCombinationFinishesOrStopsWhereItMust)
{
    const auto start = std::chrono::steady_clock::now();
    // In memory where the machine has it: every combination deletes and
    // makes again a few dozen files, which on a disk costs more than the runs.
    ScratchDir tmp("two-runs");
    const fs::path pristine = tmp.Path() / "pristine";
    std::string error;
    ASSERT_TRUE(runner::InitSampleDevice(pristine, error, runner::SampleState::Started)) << error;

    {
        // The workers see what the first of them would see.
        Workbench bench(pristine, tmp.Path() / "probe");
        ASSERT_TRUE(bench.Loaded());
        ASSERT_TRUE(bench.Survivors().count("\\windows\\atlasgps.dll"));
        ASSERT_TRUE(bench.Survivors().count("hkey_current_user\\software\\trq"));
    }

    // The combinations are shared out among processes, one per processor:
    // each runs its share of whole runs on devices of its own.
    const int workers = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
    std::vector<pid_t> children;
    (void)std::fflush(stdout);
    for (int w = 0; w < workers; ++w) {
        const fs::path results = tmp.Path() / ("results." + std::to_string(w));
        pid_t pid = fork();
        ASSERT_GE(pid, 0) << "fork";
        if (pid == 0) {
            {
                std::ofstream out(results);
                Work(pristine, tmp.Path() / ("work." + std::to_string(w)), w, workers, out);
            }
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a worker failed";
    }

    std::map<std::string, int> outcomes;
    std::vector<bool> seen(kCombinations);
    int checked = 0, failed = 0;
    for (int w = 0; w < workers; ++w) {
        std::ifstream in(tmp.Path() / ("results." + std::to_string(w)));
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> fields;
            std::istringstream split(line);
            for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
            if (fields.size() < 2) continue;
            const int n = std::stoi(fields[0]);
            if (n < 0 || n >= kCombinations || seen[n]) continue;
            seen[n] = true;
            ++checked;
            ++outcomes[fields[1]];
            if (fields.size() == 2 || ++failed > 10) continue;
            std::string all;
            for (size_t i = 2; i < fields.size(); ++i) all += "\n  " + fields[i];
            ADD_FAILURE() << Nth(n).Name() << ":" << all;
        }
    }

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("[ two runs ] %d combinations checked by %d processes (%.1f s)\n", checked, workers,
                seconds);
    for (const auto& [outcome, count] : outcomes)
        std::printf("[ two runs ]   %5d  %s\n", count, outcome.c_str());
    EXPECT_EQ(checked, kCombinations);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(outcomes["finished in two runs"], 512);
}

}  // namespace
}  // namespace trq_test
