// A sample device in a fresh temporary folder, with the edits tests make to it.
#ifndef TRQ_TESTS_TEST_DEVICE_H
#define TRQ_TESTS_TEST_DEVICE_H

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "harness/runner/kit_device.h"
#include "harness/runner/run_device.h"
#include "harness/runner/sample_device.h"

namespace trq_test {

// A folder below the system's temporary folder, removed again at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Edits of a device image, the same for every kind of device they are laid on.
void HoldOpen(sim::DeviceImage& image, const std::u16string& path);
void SetString(sim::DeviceImage& image, formats::Root root, const std::u16string& key,
               const std::u16string& name, const std::u16string& text);
void SetRaw(sim::DeviceImage& image, formats::Root root, const std::u16string& key,
            const std::u16string& name, uint32_t type, std::vector<uint8_t> bytes);
void RemoveValue(sim::DeviceImage& image, formats::Root root, const std::u16string& key,
                 const std::u16string& name);
void RemoveKey(sim::DeviceImage& image, formats::Root root, const std::u16string& key);
void RemoveFile(sim::DeviceImage& image, const std::u16string& path);
void WriteFile(sim::DeviceImage& image, const std::u16string& path, const std::string& contents,
               bool readOnly = false);
bool Save(sim::DeviceImage& image);  // registry.reg and device.ini

extern const std::u16string kInstallRecord;

// Runs a shell command and collects its standard output (standard error too,
// where the command folds it in with 2>&1).
struct CommandResult {
    int exitCode = -1;
    std::string output;
};
CommandResult RunCommand(const std::string& command);
// The whole of a host file, as bytes.
std::string ReadHostFile(const std::filesystem::path& path);  // under HKEY_LOCAL_MACHINE

class TestDevice {
public:
    // The sample device, loaded. By default as installed, before the device
    // has started: nothing is held open, as under Wine, so the shared
    // scenarios mean the same on every device. Started: what the package
    // registered is held open by the device.
    explicit TestDevice(runner::SampleState state = runner::SampleState::Installed);
    sim::DeviceImage image;
    // What the device runs: RunUninstall built for this host by default, or
    // the Pocket PC executable in the emulator.
    runner::Program program;

    // Runs the uninstaller; answers for the question boxes.
    runner::RunOutcome Run(std::vector<int> answers, bool resetReturns = false);
    // Saves edits, then reloads from disk as the command-line tool would.
    void Reload();

    // Every file and key on the device, as "file  \path" and "key   ROOT\path".
    std::set<std::string> Contents() const;
    // The plan's files, folders and keys that are still present.
    std::set<std::string> PlanLeft() const;

private:
    TempDir dir_;
};

// Where two runs' calls first differ, "" when they never do, as the
// checker compares the device's run with the simulated device's.
std::string FirstDifference(const runner::TraceRun& a, const runner::TraceRun& b);
std::string FirstDifference(const sim::Trace& a, const sim::Trace& b);

// True when the environment says this is a CI run (CI=true), where a build
// piece missing (Wine, the Windows or the Pocket PC executable) is a failure
// rather than a reason to skip.
bool RunningInCi();

// ASCII letters in lower case: names as the device compares them.
std::string Lower(std::string text);

// A test name made of text: every character but letters and digits as '_'.
std::string TestName(const std::string& text);

// Names each case of a parameterised suite after its parameter's `name`.
struct NameFromParam {
    template <class Param>
    std::string operator()(const testing::TestParamInfo<Param>& info) const
    {
        return TestName(info.param.name);
    }
};

// A Pocket PC that has never had the package, nor HKEY_LOCAL_MACHINE\Software:
// its folders, an empty registry, deviceIni as its device.ini.
void MakeDeviceWithoutThePackage(const std::filesystem::path& dir, const std::string& deviceIni = "");

// Every item the plans name on the sample device.
std::set<std::string> AllPlanItems();
std::set<std::string> SettingsKeys();
std::set<std::string> InstallRecordKeys();
std::set<std::string> Union(std::initializer_list<std::set<std::string>> sets);

}  // namespace trq_test

#endif
