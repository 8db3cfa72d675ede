// trq-uninstall-sim on a host that works against it: links and odd files in
// the device folder, files over their limits, planted temporary files, a
// disk that is full, a device it cannot write, a device another command
// holds, options given nothing or a trace over another file of the run,
// and files to check longer than their writers write. Each case keeps its
// promise: the exit code, one line that names the file and the cause, the
// device unchanged (or, after a failure to write, a device that loads and
// that further runs finish), and a sentinel folder beside the device that
// nothing touches.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include "tests/device_snapshot.h"
#include "tests/pocketpc/pocketpc_test_support.h"
#include "tests/test_device.h"

namespace trq_test {
namespace {

namespace fs = std::filesystem;

const std::string kTool = TRQ_SIM_CLI;

// The tool's standard error alone (standard output goes to `out`, which may
// also take standard input from elsewhere); on the device, unless the
// arguments name their own command.
CommandResult Tool(const fs::path& device, const std::string& arguments, const std::string& prefix = "",
                   const std::string& out = ">/dev/null")
{
    const bool ownCommand = arguments.rfind("--device", 0) == 0 || arguments.rfind("--init-device", 0) == 0 ||
                            arguments.rfind("--check-device", 0) == 0;
    const std::string command = ownCommand ? "" : "--device '" + device.string() + "' ";
    return RunCommand(prefix + "'" + kTool + "' " + command + arguments + " 2>&1 </dev/null " + out);
}

void ExpectOneLine(const CommandResult& r, const std::string& part, const std::string& what)
{
    EXPECT_NE(r.output.find(part), std::string::npos) << what << ": " << r.output;
    EXPECT_EQ(r.output.find('\n'), r.output.size() - 1) << what << ": one line: " << r.output;
}

// A device that loads, left by no temporary file, and that at most three
// runs take to the end: nothing of the package left.
void ExpectFinishes(const fs::path& device, const std::string& what)
{
    for (int run = 0; run < 3; ++run) Tool(device, "--answer yes,yes");
    const CommandResult status = Tool(device, "--status", "", "");
    EXPECT_EQ(status.exitCode, 0) << what << ": " << status.output;
    EXPECT_NE(status.output.find("on the device (0 of"), std::string::npos) << what << ": " << status.output;
    for (const auto& entry : fs::directory_iterator(device))
        EXPECT_EQ(entry.path().filename().string().find(".tmp."), std::string::npos) << what << ": " << entry.path();
}

void Fill(const fs::path& path, size_t bytes, char c)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(bytes, c);
}

void Replace(const fs::path& path, const std::function<void()>& make)
{
    fs::remove_all(path);
    make();
}

// What a device kit brings back, laid in the sentinel's check/ for
// --check-device: a trace, and a kit's log unless it is empty.
void LayBroughtBack(const fs::path& sentinel, const std::string& trace, const std::string& kitLog = "")
{
    fs::create_directories(sentinel / "check");
    std::ofstream(sentinel / "check" / "TRQ Uninstall trace.txt", std::ios::binary) << trace;
    if (!kitLog.empty()) std::ofstream(sentinel / "check" / "TRQ Uninstall Kit log.txt", std::ios::binary) << kitLog;
}

// A line of the given bytes, its "\r\n" included: head, then a string padded
// out, then tail.
std::string PaddedLine(const std::string& head, size_t bytes, const std::string& tail = "\"}")
{
    return head + std::string(bytes - head.size() - tail.size() - 2, 'a') + tail + "\r\n";
}

// A run's first record, from another build: the trace is read, not compared.
std::string FirstRecord(size_t bytes = 0)
{
    const std::string head = "{\"trace\":\"TRQ Uninstall\",\"build\":\"0000000000000000\",\"pad\":\"";
    return PaddedLine(head, bytes ? bytes : head.size() + 4);
}

// A kit's log line whose last member is a path of units UTF-16 units, "\"
// and then "é" (two bytes in UTF-8).
std::string KitPathLine(const std::string& head, size_t units)
{
    std::string path = "\\\\";
    for (size_t i = 1; i < units; ++i) path += "\u00e9";
    return head + path + "\"}\r\n";
}

// The Pocket PC TRQUninstall.exe, copied to the sentinel as name.
void LayPocketPcExe(const fs::path& sentinel, const std::string& name)
{
    TRQ_REQUIRE_POCKETPC_BUILD();
    fs::copy_file(PocketPcUninstaller(), sentinel / name);
}

const char* const kKitFolder = "{\"kit\":\"folder\",\"name\":\"Temp\",\"path\":\"";

struct HostileHostCase {
    std::string name;
    // Lays the trap in the device; the sentinel is a folder beside it.
    std::function<void(const fs::path& device, const fs::path& sentinel)> lay;
    // After --device DEVICE, unless they begin with a command; {D} is the
    // device, {S} the sentinel.
    std::string arguments;
    int exitCode;
    std::string line;       // part of the one line on standard error; "" for none
    bool unchanged = true;  // else: the device loads and further runs finish
    std::string prefix = "";           // shell before the command: limits
    std::string out = ">/dev/null";    // where standard output goes (and input comes from); {S} the sentinel
};

void PrintTo(const HostileHostCase& c, std::ostream* os) { *os << c.name; }

const HostileHostCase kCases[] = {
    {"files is a link to a folder elsewhere",
     [](const fs::path& d, const fs::path& s) { Replace(d / "files", [&] { fs::create_directory_symlink(s, d / "files"); }); },
     "--answer yes,yes", 2, "files: a symbolic link"},
    {"registry.reg is a link",
     [](const fs::path& d, const fs::path& s) { Replace(d / "registry.reg", [&] { fs::create_symlink(s / "registry.reg", d / "registry.reg"); }); },
     "--answer yes,yes", 2, "registry.reg: a symbolic link"},
    {"device.ini is a link",
     [](const fs::path& d, const fs::path& s) { Replace(d / "device.ini", [&] { fs::create_symlink(s / "device.ini", d / "device.ini"); }); },
     "--restart", 2, "device.ini: a symbolic link"},
    {"registry.reg links to an endless device",
     [](const fs::path& d, const fs::path&) { Replace(d / "registry.reg", [&] { fs::create_symlink("/dev/zero", d / "registry.reg"); }); },
     "--status", 2, "registry.reg: a symbolic link"},
    {"registry.reg is a FIFO",
     [](const fs::path& d, const fs::path&) { Replace(d / "registry.reg", [&] { ::mkfifo((d / "registry.reg").c_str(), 0644); }); },
     "--answer yes,yes", 2, "registry.reg: a FIFO", true, "timeout 60 "},
    {"device.ini is a FIFO",
     [](const fs::path& d, const fs::path&) { Replace(d / "device.ini", [&] { ::mkfifo((d / "device.ini").c_str(), 0644); }); },
     "--status", 2, "device.ini: a FIFO", true, "timeout 60 "},
    {"registry.reg is a folder",
     [](const fs::path& d, const fs::path&) { Replace(d / "registry.reg", [&] { fs::create_directory(d / "registry.reg"); }); },
     "--answer yes,yes", 2, "registry.reg: a directory"},
    {"registry.reg over 64 MiB",
     [](const fs::path& d, const fs::path&) { fs::resize_file(d / "registry.reg", (size_t(64) << 20) + 1); },
     "--status", 2, "registry.reg: larger than 64 MiB"},
    {"device.ini over 1 MiB",
     [](const fs::path& d, const fs::path&) { Fill(d / "device.ini", (size_t(1) << 20) + 1, '\n'); },
     "--restart", 2, "device.ini: larger than 1 MiB"},
    {"an empty answer",
     [](const fs::path&, const fs::path&) {},
     "--answer yes,,no", 2, "--answer: \"\" is not yes, no or cancel"},
    {"temporary names planted as links are removed, never written through",
     [](const fs::path& d, const fs::path& s) {
         fs::create_symlink(s / "registry.reg", d / ".registry.reg.tmp.0000000000000000");
         fs::create_symlink(s / "device.ini", d / ".device.ini.tmp.ffffffffffffffff");
     },
     "--answer yes,yes", 0, "", false},
    {"the trace cannot be written",
     [](const fs::path&, const fs::path&) {},
     "--answer no --trace {D}/../trace.jsonl", 5, "/../trace.jsonl: cannot write: File too large", true,
     "trap '' XFSZ; ulimit -f 0; "},
    {"the trace is registry.reg",
     [](const fs::path&, const fs::path&) {},
     "--answer no --trace {D}/registry.reg", 2, "/registry.reg: inside the device folder"},
    {"the trace is device.ini",
     [](const fs::path&, const fs::path&) {},
     "--answer no --trace {D}/device.ini", 2, "/device.ini: inside the device folder"},
    {"the trace is a file the uninstaller deletes",
     [](const fs::path&, const fs::path&) {},
     "--answer yes,yes --trace {D}/files/Temp/TRQUtil.log", 2, "/TRQUtil.log: inside the device folder"},
    {"the trace is new, through a link to the device folder",
     [](const fs::path& d, const fs::path& s) { fs::create_directory_symlink(d, s / "device"); },
     "--answer yes,yes --trace {S}/device/trace.jsonl", 2, "/trace.jsonl: inside the device folder"},
    {"the trace is registry.reg by a second name",
     [](const fs::path& d, const fs::path& s) { fs::create_hard_link(d / "registry.reg", s / "registry.trace"); },
     "--answer yes,yes --trace {S}/registry.trace", 2, "/registry.trace: one of the device's own files"},
    {"the trace is a link to device.ini",
     [](const fs::path& d, const fs::path& s) { fs::create_symlink(d / "device.ini", s / "trace.jsonl"); },
     "--answer yes,yes --trace {S}/trace.jsonl", 2, "/trace.jsonl: a symbolic link (not followed)"},
    {"the trace is a FIFO no one reads",
     [](const fs::path&, const fs::path& s) { ::mkfifo((s / "fifo").c_str(), 0644); },
     "--answer yes,yes --trace {S}/fifo", 2, "/fifo: a FIFO, not a regular file", true, "timeout 60 "},
    {"the trace is a device node",
     [](const fs::path&, const fs::path&) {},
     "--answer yes,yes --trace /dev/null", 2, "--trace /dev/null: a device, not a regular file"},
    {"an --exe path with a line break",
     [](const fs::path&, const fs::path&) {},
     "--answer yes,yes --exe '{S}/TRQ\nUninstall.exe'", 2, "/TRQ\\x0AUninstall.exe: cannot open"},
    {"the report to a full standard output",
     [](const fs::path&, const fs::path&) {},
     "--answer yes,yes", 5, "standard output: cannot write the report: No space left on device", false, "", ">/dev/full"},
    {"registry.reg cannot be written back",
     [](const fs::path&, const fs::path&) {},
     "--answer yes,yes", 5, "registry.reg: cannot write: File too large", false, "trap '' XFSZ; ulimit -f 1; "},
    // Options that name a file, a folder or a device path, given nothing.
    {"an empty --run", [](const fs::path&, const fs::path&) {}, "--answer yes,yes --run ''", 2,
     "--run: an empty value names no file"},
    {"an empty --exe", [](const fs::path&, const fs::path&) {}, "--answer yes,yes --exe ''", 2,
     "--exe: an empty value names no file"},
    {"an empty --trace", [](const fs::path&, const fs::path&) {}, "--answer yes,yes --trace ''", 2,
     "--trace: an empty value names no file"},
    {"an empty --device", [](const fs::path&, const fs::path&) {}, "--device '' --answer yes,yes", 2,
     "--device: an empty value names no file"},
    {"an empty --init-device", [](const fs::path&, const fs::path&) {}, "--init-device ''", 2,
     "--init-device: an empty value names no file"},
    {"an empty --check-device", [](const fs::path&, const fs::path&) {}, "--check-device ''", 2,
     "--check-device: an empty value names no file"},
    // A trace over another file of the run.
    {"the trace is the program to run",
     [](const fs::path&, const fs::path& s) { LayPocketPcExe(s, "TRQUninstall.exe"); },
     "--answer yes,yes --exe {S}/TRQUninstall.exe --trace {S}/TRQUninstall.exe", 2,
     "/TRQUninstall.exe: the same file as the program to run"},
    {"the trace is the program to run by a second name",
     [](const fs::path&, const fs::path& s) {
         LayPocketPcExe(s, "TRQUninstall.exe");
         fs::create_hard_link(s / "TRQUninstall.exe", s / "trace.jsonl");
     },
     "--answer yes,yes --exe {S}/TRQUninstall.exe --trace {S}/trace.jsonl", 2,
     "/trace.jsonl: the same file as the program to run"},
    {"the trace is the file the answers come from",
     [](const fs::path&, const fs::path& s) { std::ofstream(s / "answers.txt") << "y\ny\n"; },
     "--trace {S}/answers.txt", 2, "/answers.txt: the same file as standard input", true, "",
     "<{S}/answers.txt >/dev/null"},
    {"the trace is the file the report goes to",
     [](const fs::path&, const fs::path& s) { std::ofstream(s / "report.txt") << "an earlier report\n"; },
     "--answer yes,yes --trace {S}/report.txt", 2, "/report.txt: the same file as standard output", true, "",
     ">>{S}/report.txt"},
    // Lines and paths of what a device brings back, at and past what their
    // writers write: the trace build's lines 4,096 bytes with their "\r\n",
    // the kit's 2,048, a path MAX_PATH (260) UTF-16 units.
    {"a trace line of 4,096 bytes", [](const fs::path&, const fs::path& s) { LayBroughtBack(s, FirstRecord(4096)); },
     "--check-device {S}/check", 1, ""},
    {"a trace line of 4,097 bytes",
     [](const fs::path&, const fs::path& s) { LayBroughtBack(s, FirstRecord() + FirstRecord(4097)); },
     "--check-device {S}/check", 2, "TRQ Uninstall trace.txt: line 2: "},
    {"a last trace line cut short, past 4,096 bytes with its end",
     [](const fs::path&, const fs::path& s) {
         LayBroughtBack(s, FirstRecord() + FirstRecord(4097).substr(0, 4095));
     },
     "--check-device {S}/check", 2, "TRQ Uninstall trace.txt: line 2: "},
    {"a kit log line of 2,048 bytes",
     [](const fs::path&, const fs::path& s) {
         LayBroughtBack(s, FirstRecord(), PaddedLine("{\"kit\":\"end\",\"mode\":\"prepare\",\"pad\":\"", 2048));
     },
     "--check-device {S}/check", 1, ""},
    {"a kit log line of 2,049 bytes",
     [](const fs::path&, const fs::path& s) {
         LayBroughtBack(s, FirstRecord(), "{\"kit\":\"end\",\"mode\":\"prepare\"}\r\n" +
                                              PaddedLine("{\"kit\":\"end\",\"mode\":\"prepare\",\"pad\":\"", 2049));
     },
     "--check-device {S}/check", 2, "TRQ Uninstall Kit log.txt: line 2: "},
    {"a folder of 260 UTF-16 units", [](const fs::path&, const fs::path& s) {
         LayBroughtBack(s, FirstRecord(), KitPathLine(kKitFolder, 260));
     },
     "--check-device {S}/check", 1, ""},
    {"a folder of 261 UTF-16 units", [](const fs::path&, const fs::path& s) {
         LayBroughtBack(s, FirstRecord(), KitPathLine(kKitFolder, 261));
     },
     "--check-device {S}/check", 2, "TRQ Uninstall Kit log.txt: line 1: "},
    {"a held file of 261 UTF-16 units", [](const fs::path&, const fs::path& s) {
         LayBroughtBack(s, FirstRecord(), KitPathLine("{\"kit\":\"holds\",\"how\":\"open without sharing\",\"file\":\"", 261));
     },
     "--check-device {S}/check", 2, "TRQ Uninstall Kit log.txt: line 1: "},
    {"a folder the device did not name", [](const fs::path&, const fs::path& s) {
         LayBroughtBack(s, FirstRecord(), "{\"kit\":\"folder\",\"name\":\"Temp\",\"path\":null}\r\n");
     },
     "--check-device {S}/check", 1, ""},
#if !defined(__SANITIZE_ADDRESS__)  // which reserves far more address space than this
    {"an install directory of 60 MiB, in 1 GB of address space",
     [](const fs::path& d, const fs::path&) {
         std::string registry = ReadHostFile(d / "registry.reg");
         const std::string from = "\"InstallDir\"=\"\\\\Program Files\\\\TRQ";
         ASSERT_NE(registry.find(from), std::string::npos);
         registry.insert(registry.find(from) + from.size(), std::string(size_t(60) << 20, 'A'));
         std::ofstream(d / "registry.reg", std::ios::binary | std::ios::trunc) << registry;
     },
     "--answer yes,yes", 0, "", false, "ulimit -v 1000000; "},
#endif
};

class HostileHost : public testing::TestWithParam<HostileHostCase> {};

TEST_P(HostileHost, KeepsItsPromise)
{
    const HostileHostCase& c = GetParam();
    TempDir tmp;
    const fs::path device = tmp.Path() / "device", sentinel = tmp.Path() / "sentinel";
    ASSERT_EQ(RunCommand("'" + kTool + "' --init-device '" + device.string() + "' >/dev/null").exitCode, 0);
    fs::create_directories(sentinel / "Windows");
    for (const char* name : {"registry.reg", "device.ini", "Windows/TRQUtil.exe", "TRQ.exe"})
        std::ofstream(sentinel / name) << "the sentinel's " << name << "\n";
    c.lay(device, sentinel);
    const auto sentinelBefore = HostTree(sentinel, true);
    const auto deviceBefore = HostTree(device, true);

    if (IsSkipped() || HasFatalFailure()) return;
    std::string arguments = c.arguments, out = c.out;
    for (std::string* text : {&arguments, &out})
        for (const auto& [mark, path] : {std::pair{"{D}", device}, {"{S}", sentinel}})
            for (size_t at; (at = text->find(mark)) != std::string::npos;) text->replace(at, 3, path.string());
    const CommandResult r = Tool(device, arguments, c.prefix, out);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.output;
    if (c.line.empty()) EXPECT_EQ(r.output, "");
    else ExpectOneLine(r, c.line, c.name);
    EXPECT_EQ(HostTree(sentinel, true), sentinelBefore) << "the sentinel beside the device changed";
    if (c.unchanged) EXPECT_EQ(HostTree(device, true), deviceBefore) << "a refusal changes nothing";
    else ExpectFinishes(device, c.name);
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileHost, testing::ValuesIn(kCases), NameFromParam());

// Two commands at once: the test holds the lock as a running command would,
// and every command on that device is refused at once, naming the holder.
TEST(HostileHostLock, ASecondCommandFindsTheDeviceInUse)
{
    TempDir tmp;
    const fs::path device = tmp.Path() / "device", empty = tmp.Path() / "empty";
    ASSERT_EQ(RunCommand("'" + kTool + "' --init-device '" + device.string() + "' >/dev/null").exitCode, 0);
    fs::create_directory(empty);
    const std::string pid = std::to_string(::getpid());
    for (const fs::path& dir : {device, empty}) {
        const int fd = ::open((dir / ".device.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        ASSERT_EQ(::write(fd, (pid + "\n").data(), pid.size() + 1), static_cast<ssize_t>(pid.size() + 1));
        const auto before = HostTree(dir, true);
        const std::vector<std::string> commands =
            dir == device ? std::vector<std::string>{"--device '" + dir.string() + "' --answer yes,yes",
                                                     "--device '" + dir.string() + "' --restart",
                                                     "--device '" + dir.string() + "' --status"}
                          : std::vector<std::string>{"--init-device '" + dir.string() + "'"};
        for (const std::string& command : commands) {
            const CommandResult r = RunCommand("'" + kTool + "' " + command + " 2>&1 >/dev/null </dev/null");
            EXPECT_EQ(r.exitCode, 2) << command << ": " << r.output;
            ExpectOneLine(r, "the device is in use by process " + pid, command);
        }
        EXPECT_EQ(HostTree(dir, true), before);
        ::close(fd);
    }
    EXPECT_EQ(Tool(device, "--status").exitCode, 0) << "free again once the holder is gone";
}

// A device folder that cannot be written is refused before anything is
// changed, by a run and by --restart. As root every folder can be written,
// so the tool then runs as nobody, from a copy it can reach.
TEST(HostileHostReadOnly, ADeviceThatCannotBeWrittenIsRefusedUpFront)
{
    TempDir tmp;
    fs::permissions(tmp.Path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    const fs::path device = tmp.Path() / "device";
    ASSERT_EQ(RunCommand("'" + kTool + "' --init-device '" + device.string() + "' >/dev/null").exitCode, 0);
    std::string as;
    if (::geteuid() == 0) {
        fs::copy_file(kTool, tmp.Path() / "tool");
        ASSERT_EQ(RunCommand("chown -R 65534:65534 '" + device.string() + "'").exitCode, 0);
        as = "setpriv --reuid=65534 --regid=65534 --clear-groups '" + (tmp.Path() / "tool").string() + "'";
    } else {
        as = "'" + kTool + "'";
    }
    fs::permissions(device, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    const auto before = HostTree(device, true);
    for (const char* arguments : {"--answer yes,yes", "--restart"}) {
        const CommandResult r =
            RunCommand(as + " --device '" + device.string() + "' " + arguments + " 2>&1 >/dev/null </dev/null");
        EXPECT_EQ(r.exitCode, 2) << arguments << ": " << r.output;
        ExpectOneLine(r, "the device folder cannot be written", arguments);
    }
    EXPECT_EQ(HostTree(device, true), before);
    fs::permissions(device, fs::perms::owner_write, fs::perm_options::add);
}

// Names from the image reach the terminal escaped: an escape sequence in the
// install directory shows as text in --status and in a run's fault lines.
TEST(HostileHostText, WhatTheImageHoldsIsPrintedEscaped)
{
    TempDir tmp;
    const fs::path device = tmp.Path() / "device";
    ASSERT_EQ(RunCommand("'" + kTool + "' --init-device '" + device.string() + "' >/dev/null").exitCode, 0);
    std::string registry = ReadHostFile(device / "registry.reg");
    const std::string from = "\"InstallDir\"=\"\\\\Program Files\\\\TRQ\"";
    ASSERT_NE(registry.find(from), std::string::npos);
    registry.replace(registry.find(from), from.size(), "\"InstallDir\"=hex(1):5c,00,1b,00,5b,00,32,00,4a,00,00,00");
    std::ofstream(device / "registry.reg", std::ios::binary | std::ios::trunc) << registry;

    for (const char* arguments : {"--status", "--answer yes,yes --fail DeleteFileW:fail"}) {
        const CommandResult r = Tool(device, arguments, "", "");
        EXPECT_EQ(r.output.find('\x1b'), std::string::npos) << arguments << ": raw escape in " << r.output;
        EXPECT_NE(r.output.find("\\x1B[2J"), std::string::npos) << arguments << ": " << r.output;
    }
}

}  // namespace
}  // namespace trq_test
