// A whole round of the device kit on the emulated Pocket PC, as an owner
// plays it on a device: a device without the package; the kit prepares it
// and leaves its holder running; the trace build offers the reset, the
// device restarts, the trace build finishes the job; then the checker
// reads the two files the device holds. On each emulated processor.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/test_device.h"

namespace trq_test {
namespace {

namespace fs = std::filesystem;

CommandResult Cli(const std::string& arguments)
{
    return RunCommand(std::string("'") + TRQ_SIM_CLI + "' " + arguments + " </dev/null 2>&1");
}

// A Pocket PC that has never had the package: its folders, an empty
// registry, the kit and the trace build copied into My Documents; its OEM's
// name longer than the 128 characters the trace build and the kit ask for.
void MakeRoundDevice(const fs::path& dir)
{
    MakeDeviceWithoutThePackage(dir, "[Device]\r\nServicePack=Service Pack 2\r\nOemInfo=" + std::string(200, 'Q') + "\r\n");
    fs::copy_file(TRQ_POCKETPC_KIT, dir / "files" / "My Documents" / "TRQUninstallKit.exe");
    fs::copy_file(TRQ_POCKETPC_TRACE_EXE, dir / "files" / "My Documents" / "TRQUninstallTrace.exe");
}

class KitRound : public testing::TestWithParam<const char*> {};

TEST_P(KitRound, PreparedHeldResetFinishedAndConformant)
{
    if (!fs::exists(TRQ_POCKETPC_KIT) || !fs::exists(TRQ_POCKETPC_TRACE_EXE))
        GTEST_SKIP() << "the Pocket PC programs were not built (no arm-none-eabi-g++)";
    TempDir tmp;
    const fs::path device = tmp.Path() / "device", back = tmp.Path() / "copied back";
    MakeRoundDevice(device);
    const std::string on = " --device '" + device.string() + "' --cpu " + GetParam();

    CommandResult kit = Cli(on + " --run '\\My Documents\\TRQUninstallKit.exe' --answer yes");
    ASSERT_EQ(kit.exitCode, 0) << kit.output;
    EXPECT_NE(kit.output.find("Now tap TRQUninstallTrace.exe"), std::string::npos) << kit.output;

    // The first run finds the package's files held and offers the reset;
    // the simulated device's trace of it names the device as the trace
    // build's does.
    const fs::path traced = tmp.Path() / "simulated trace.txt";
    CommandResult first = Cli(on + " --run '\\My Documents\\TRQUninstallTrace.exe' --answer yes,yes --trace '" +
                              traced.string() + "'");
    ASSERT_EQ(first.exitCode, 0) << first.output;
    const std::string simulated = ReadHostFile(traced), onDevice = ReadHostFile(device / "files" / "TRQ Uninstall trace.txt");
    EXPECT_EQ(simulated.substr(0, simulated.find('\n')), onDevice.substr(0, onDevice.find('\n')));
    EXPECT_NE(first.output.find("restart"), std::string::npos) << first.output;
    // After the restart nothing of the package is held: the second run
    // finishes the job.
    CommandResult second = Cli(on + " --run '\\My Documents\\TRQUninstallTrace.exe' --answer yes,yes");
    ASSERT_EQ(second.exitCode, 0) << second.output;
    EXPECT_FALSE(fs::exists(device / "files" / "Program Files" / "TRQ")) << second.output;

    fs::create_directories(back);
    for (const char* name : {"TRQ Uninstall trace.txt", "TRQ Uninstall Kit log.txt"})
        fs::copy_file(device / "files" / name, back / name);
    CommandResult check = Cli("--check-device '" + back.string() + "'");
    EXPECT_EQ(check.exitCode, 0) << check.output;
    EXPECT_NE(check.output.find("Verdict: conformant"), std::string::npos) << check.output;
    EXPECT_NE(check.output.find("Device: Windows CE 5.1 build 1700 (platform 3), service pack \"Service Pack 2\", "
                                "platform type PocketPC, OEM unknown"),
              std::string::npos) << check.output;
    EXPECT_NE(check.output.find("Reset: asked for in run 1, and the device restarted"), std::string::npos)
        << check.output;
    EXPECT_NE(check.output.find("Finished: run 2 showed the Success box"), std::string::npos) << check.output;
    EXPECT_EQ(check.output.find("finding:"), std::string::npos) << check.output;
}

INSTANTIATE_TEST_SUITE_P(Processors, KitRound, testing::Values("sa1110", "pxa270"));

}  // namespace
}  // namespace trq_test
