#include "tests/test_device.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "formats/text.h"
#include "harness/runner/sample_device.h"
#include "tests/expected/expected_plan.h"

namespace trq_test {

namespace {

// A folder of its own for each TempDir: the process's id and a serial number.
std::filesystem::path NewTempPath()
{
    static std::atomic<int> serial{0};
    return std::filesystem::temp_directory_path() /
           ("trq-test-" + std::to_string(getpid()) + "-" + std::to_string(serial++));
}

}  // namespace

TempDir::TempDir() : path_(NewTempPath())
{
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir()
{
    std::error_code ec;
    // Read-only files are a device attribute here; make them removable.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

const std::u16string kInstallRecord = expected::kInstallRecord;

CommandResult RunCommand(const std::string& command)
{
    CommandResult result;
    FILE* pipe = popen(command.c_str(), "r");  // NOLINT(cert-env33-c): tests give command lines with redirections
    if (!pipe) return result;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.output.append(buffer, n);
    int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string ReadHostFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void HoldOpen(sim::DeviceImage& image, const std::u16string& path)
{
    image.config.heldOpen.push_back(path);
}

void SetRaw(sim::DeviceImage& image, formats::Root root, const std::u16string& key,
            const std::u16string& name, uint32_t type, std::vector<uint8_t> bytes)
{
    image.registry.keys.Create(root, key)->SetValue({name, type, std::move(bytes)});
}

void SetString(sim::DeviceImage& image, formats::Root root, const std::u16string& key,
               const std::u16string& name, const std::u16string& text)
{
    SetRaw(image, root, key, name, 1, formats::StringData(text));
}

void RemoveValue(sim::DeviceImage& image, formats::Root root, const std::u16string& key,
                 const std::u16string& name)
{
    formats::RegKey* k = image.registry.keys.Find(root, key);
    ASSERT_NE(k, nullptr);
    auto& values = k->values;
    for (auto it = values.begin(); it != values.end(); ++it)
        if (formats::EqualsIgnoreCase(it->name, name)) {
            values.erase(it);
            return;
        }
    FAIL() << "no such value";
}

void RemoveKey(sim::DeviceImage& image, formats::Root root, const std::u16string& key)
{
    ASSERT_TRUE(image.registry.keys.Delete(root, key));
}

void RemoveFile(sim::DeviceImage& image, const std::u16string& path)
{
    sim::DeviceFiles files = image.Files();
    files.SetAttributes(path, 0x80);
    ASSERT_EQ(files.DeleteFile(path), 0u) << formats::Utf16ToUtf8Lossy(path);
}

void WriteFile(sim::DeviceImage& image, const std::u16string& path, const std::string& contents,
               bool readOnly)
{
    ASSERT_TRUE(image.Files().WriteFile(path, contents, readOnly));
}

void MakeDeviceWithoutThePackage(const std::filesystem::path& dir, const std::string& deviceIni)
{
    for (const char* folder : {"Windows/StartUp", "Windows/Start Menu/Programs", "Temp", "Program Files", "My Documents"})
        std::filesystem::create_directories(dir / "files" / folder);
    std::ofstream(dir / "registry.reg", std::ios::binary) << "Windows Registry Editor Version 5.00\r\n\r\n";
    std::ofstream(dir / "device.ini", std::ios::binary)
        << "[Folders]\r\nStartup=\\Windows\\StartUp\r\nPrograms=\\Windows\\Start Menu\\Programs\r\n"
           "Temp=\\Temp\\\r\n"
        << deviceIni;
}

bool Save(sim::DeviceImage& image)
{
    std::string error;
    bool ok = sim::SaveRegistry(image, error) && sim::SaveConfig(image, error);
    EXPECT_TRUE(ok) << error;
    return ok;
}

TestDevice::TestDevice(runner::SampleState state)
{
    std::string error;
    std::filesystem::path dir = dir_.Path() / "device";
    EXPECT_TRUE(runner::InitSampleDevice(dir, error, state)) << error;
    EXPECT_TRUE(sim::LoadDeviceImage(dir, image, error)) << error;
}

void TestDevice::Reload()
{
    std::string error;
    Save(image);
    sim::DeviceImage fresh;
    ASSERT_TRUE(sim::LoadDeviceImage(image.dir, fresh, error)) << error;
    image = std::move(fresh);
}

runner::RunOutcome TestDevice::Run(std::vector<int> answers, bool resetReturns)
{
    Reload();
    runner::RunOptions options;
    options.answerer = runner::ScriptedAnswers(std::move(answers));
    options.resetReturns = resetReturns;
    options.program = program;
    options.keepRecords = true;
    runner::RunOutcome outcome;
    std::string error;
    EXPECT_TRUE(runner::RunUninstallOn(image, options, outcome, error)) << error;
    return outcome;
}

std::set<std::string> TestDevice::Contents() const
{
    std::set<std::string> all;
    for (const std::u16string& path : image.Files().List())
        all.insert("file  " + formats::Utf16ToUtf8Lossy(path));
    for (const std::string& key : image.registry.keys.KeyList()) all.insert("key   " + key);
    return all;
}

std::set<std::string> TestDevice::PlanLeft() const
{
    // Measured against the sample device's folders, even where this device
    // cannot name one of them.
    std::set<std::string> left;
    for (const expected::PlanItem& item : expected::PlanItems(runner::kSampleInstallDir, {}, &image))
        if (item.present) left.insert(item.name);
    return left;
}

bool RunningInCi()
{
    const char* ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

std::string Lower(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string TestName(const std::string& text)
{
    std::string name;
    for (char c : text) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

std::set<std::string> AllPlanItems()
{
    std::set<std::string> all;
    for (const expected::PlanItem& item : expected::PlanItems(runner::kSampleInstallDir, {})) all.insert(item.name);
    return all;
}

// The plan's keys that go only under one switch, by name.
static std::set<std::string> KeysWhen(expected::When when)
{
    std::set<std::string> keys;
    for (const expected::KeyWords& row : expected::kKeyRows)
        if (row.when == when) keys.insert(expected::RootName(row.root) + ("\\" + formats::Utf16ToUtf8Lossy(row.path)));
    return keys;
}
std::set<std::string> SettingsKeys() { return KeysWhen(expected::When::RemoveSettings); }
std::set<std::string> InstallRecordKeys() { return KeysWhen(expected::When::RemoveInstallRecord); }

std::set<std::string> Union(std::initializer_list<std::set<std::string>> sets)
{
    std::set<std::string> all;
    for (const auto& s : sets) all.insert(s.begin(), s.end());
    return all;
}

std::string FirstDifference(const runner::TraceRun& a, const runner::TraceRun& b)
{
    const runner::SameDeviceRun same = runner::CompareRuns(a, b, nullptr, false);
    if (!same.findings.empty()) return "call " + std::to_string(same.findings[0].call) + ": " + same.findings[0].text;
    return same.otherWayAt ? "from call " + std::to_string(same.otherWayAt) + ": " + same.otherWay : "";
}

std::string FirstDifference(const sim::Trace& a, const sim::Trace& b)
{
    return FirstDifference(runner::AsTraceRun(a), runner::AsTraceRun(b));
}

}  // namespace trq_test
