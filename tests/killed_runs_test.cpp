// Runs killed at every step (TRQ_SIM_KILL_AT_STEP: each platform call, each
// stage of writing a device file, each loan of write permission) on a device
// with read-only folders and a read-only file. After each kill the device
// loads, keeps every attribute it had, is left no temporary file by the
// next run, and further runs finish the job.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <map>

#include "tests/device_snapshot.h"
#include "tests/test_device.h"

namespace trq_test {
namespace {

namespace fs = std::filesystem;

const std::string kTool = TRQ_SIM_CLI;

CommandResult Tool(const fs::path& device, const std::string& arguments, const std::string& environment = "")
{
    return RunCommand(environment + "'" + kTool + "' --device '" + device.string() + "' " + arguments +
                      " 2>&1 </dev/null");
}

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

TEST(KilledRuns, AtEveryStepTheDeviceLoadsKeepsItsAttributesAndIsFinished)
{
    TempDir tmp;
    const fs::path pristine = tmp.Path() / "pristine", work = tmp.Path() / "work";
    ASSERT_EQ(RunCommand("'" + kTool + "' --init-device '" + pristine.string() + "' >/dev/null").exitCode, 0);
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
        const CommandResult r = Tool(work, "--answer yes,yes", "TRQ_SIM_KILL_AT_STEP=" + std::to_string(step) + " ");
        if (r.exitCode != -1 && r.exitCode != 128 + 9) break;  // the run ended before that step
        ExpectRecovers(work, modesBefore, step);
        if (testing::Test::HasFailure()) break;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("[ killed   ] %d runs killed, one at each step, in %.1f s\n", step - 1, seconds);
    EXPECT_GT(step, 50) << "a run takes more steps than that";
}

}  // namespace
}  // namespace trq_test
