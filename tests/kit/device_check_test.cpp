// The device checker on the pair a device kit brings back from a Pocket PC:
// a trace made on the host as a device's trace build makes it, on the sample
// package held as the kit's log says (the utility running, so the first run
// offers the reset, the reset is taken, the second run finishes), and that
// log; then the pair spoilt in each of the ways a device, a copy or a
// different build spoils it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_device.h"

namespace trq_test {
namespace {

namespace fs = std::filesystem;

const char* const kTraceName = "TRQ Uninstall trace.txt";
const char* const kKitLogName = "TRQ Uninstall Kit log.txt";

// The kit prepared the package as a fresh install, in the folders a Pocket
// PC has, and holds the utility as a running program.
const char* const kKitLog =
    "{\"kit\":\"start\",\"mode\":\"prepare\",\"os\":{\"major\":5,\"minor\":2,\"build\":1236,\"platform\":3,"
    "\"csd\":\"\"},\"platformType\":\"PocketPC\",\"oem\":\"Simulated Pocket PC\"}\r\n"
    "{\"kit\":\"folder\",\"name\":\"Startup\",\"path\":\"\\\\Windows\\\\StartUp\"}\r\n"
    "{\"kit\":\"folder\",\"name\":\"Programs\",\"path\":\"\\\\Windows\\\\Start Menu\\\\Programs\"}\r\n"
    "{\"kit\":\"folder\",\"name\":\"Temp\",\"path\":\"\\\\Temp\\\\\"}\r\n"
    "{\"kit\":\"folder\",\"name\":\"InstallDir\",\"path\":\"\\\\Program Files\\\\TRQ\"}\r\n"
    "{\"kit\":\"folder\",\"name\":\"Windows\",\"path\":\"\\\\Windows\"}\r\n"
    "{\"kit\":\"made\",\"file\":\"\\\\Windows\\\\TRQUtil.exe\"}\r\n"
    "{\"kit\":\"holds\",\"file\":\"\\\\Windows\\\\TRQUtil.exe\",\"how\":\"running program\","
    "\"by\":\"\\\\Windows\\\\TRQUtil.exe\"}\r\n"
    "{\"kit\":\"end\",\"mode\":\"prepare\"}\r\n";

CommandResult Cli(const std::string& arguments)
{
    return RunCommand(std::string("'") + TRQ_SIM_CLI + "' " + arguments + " </dev/null 2>&1");
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(text.substr(at, end - at));
    return lines;
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

bool Has(const std::string& line, const std::string& part) { return line.find(part) != std::string::npos; }

// Where call n of run r (both from 1) is: the index of its record's line.
size_t RecordOf(const std::vector<std::string>& lines, int run, int n)
{
    int runs = 0, calls = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (Has(lines[i], "{\"trace\":")) ++runs, calls = 0;
        else if (runs == run && Has(lines[i], "{\"call\":") && ++calls == n) return i;
    }
    ADD_FAILURE() << "no call " << n << " in run " << run;
    return 0;
}

// The two lines of call n of run 1: its "calling" line and its record.
void EraseCall(std::vector<std::string>& lines, int n)
{
    const size_t record = RecordOf(lines, 1, n);
    lines.erase(lines.begin() + static_cast<long>(record) - 1, lines.begin() + static_cast<long>(record) + 1);
}

std::string Replaced(std::string text, const std::string& from, const std::string& to)
{
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::string AllReplaced(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}
const char* const kStartup = "\"\\\\Windows\\\\StartUp";
const char* const kStartupOnC = "\"C:\\\\Windows\\\\StartUp";

void Write(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// The trace the device should have brought back: two runs on the sample
// package as the kit lays it out, with the utility held by a program the
// user started (as the package manager left it, before any restart).
std::string ConformantTrace(const fs::path& tmp)
{
    const fs::path device = tmp / "device", made = tmp / "made-trace.txt";
    EXPECT_EQ(Cli("--init-device '" + device.string() + "'").exitCode, 0);
    Write(device / "device.ini", "[HeldOpen]\nFile=\\Windows\\TRQUtil.exe\n");
    for (const char* run : {"first", "second"}) {
        CommandResult r = Cli("--device '" + device.string() + "' --answer yes,yes --trace '" +
                              made.string() + "'");
        EXPECT_EQ(r.exitCode, 0) << run << " run\n" << r.output;
    }
    return ReadHostFile(made);
}

TEST(DeviceCheck, ConformantPairAndEachWayOfSpoilingIt)
{
    TempDir tmp;
    const std::string trace = ConformantTrace(tmp.Path());
    ASSERT_FALSE(HasFailure());

    // Each case spoils the trace's text, the kit's log, or lays the files itself.
    struct Case {
        const char* name;
        std::function<void(std::string& trace)> spoil;  // none: the trace as made
        std::string kitLog;                              // "": none brought back
        int exitCode;
        std::vector<std::string> said;  // in the report, or in the one line that refuses it
        std::function<void(const fs::path& dir)> lay = nullptr;
    };
    auto onLines = [](std::function<void(std::vector<std::string>&)> spoil) {
        return [spoil = std::move(spoil)](std::string& text) {
            std::vector<std::string> l = Lines(text);
            spoil(l);
            text = Joined(l);
        };
    };
    const std::string kitLog = kKitLog;
    // The first record's version as something no device writes for a DWORD.
    auto majorAs = [&](const char* name, const std::string& value) {
        return Case{name, [value](std::string& t) { t = Replaced(t, "\"major\":5,", "\"major\":" + value + ","); },
                    kitLog, 2, {"TRQ Uninstall trace.txt: line 1: a first record whose \"major\" in \"os\" is not a "
                                "whole number from 0 to 4294967295"}};
    };
    const Case cases[] = {
        {"as made", nullptr, kitLog, 0,
         {"Device: Windows CE 5.1 build 1700 (platform 3), platform type PocketPC, OEM QX-500 Pocket PC",
          "Run 1, from line 1: 73 calls recorded, then KernelIoControl, which never returned (a soft reset)",
          "Left: \\Windows\\TRQUtil.exe (error 32, held open)", "Reset: asked for in run 1, and the device restarted",
          "Finished: run 2 showed the Success box", "Verdict: conformant"}},
        {"a box's text changed",
         [](std::string& t) { t = Replaced(t, "Would you like to continue?", "Shall we go on?"); }, kitLog, 1,
         {"finding: run 1, call 7: the device called MessageBoxW", "Verdict: 1 finding"}},
        {"a held file's error 32 read as 5", onLines([](std::vector<std::string>& l) {
             std::string& record = l[RecordOf(l, 1, 17)];
             EXPECT_TRUE(Has(record, "\"path\":\"\\\\Windows\\\\TRQUtil.exe\"")) << record;
             record = Replaced(record, "\"error\":32", "\"error\":5");
         }),
         kitLog, 1,
         {"finding: run 1, call 17: DeleteFileW \\Windows\\TRQUtil.exe: the device answered 5, the simulated "
          "device 32, for a running program",
          "Verdict: 1 finding"}},
        // The device refused the running utility with access denied, as its
        // kit's probe found: the simulated device answers so too.
        {"a running program refused with 5, as the kit's probe found", onLines([](std::vector<std::string>& l) {
             for (size_t i = RecordOf(l, 1, 17); Has(l[i], "\"error\":32"); i += 2)
                 l[i] = AllReplaced(Replaced(l[i], "\"error\":32", "\"error\":5"), "\"ret\":32", "\"ret\":5");
         }),
         Replaced(kitLog, "{\"kit\":\"end\"",
                  "{\"kit\":\"probe\",\"file\":\"\\\\Windows\\\\TRQUtil.exe\",\"how\":\"running program\",\"result\":0,"
                  "\"error\":5,\"restored\":false}\r\n{\"kit\":\"end\""),
         0,
         {"Held files: refused as the object store refuses them, 5 (access denied) for any file held (as the kit's "
          "probes answered)",
          "Left: \\Windows\\TRQUtil.exe (error 5, access denied)", "Verdict: conformant"}},
        {"a record missing", onLines([](std::vector<std::string>& l) { EraseCall(l, 13); }), kitLog, 1,
         {"finding: run 1, call 13: the device called SetLastError", "Verdict: 1 finding"}},
        {"two records swapped", onLines([](std::vector<std::string>& l) {
             const size_t first = RecordOf(l, 1, 13);
             std::swap(l[first - 1], l[first + 1]);
             std::swap(l[first], l[first + 2]);
         }),
         kitLog, 1, {"finding: run 1, call 13: the device called SetLastError", "Verdict: 1 finding"}},
        {"a trace from a different build", onLines([](std::vector<std::string>& l) {
             l[0].replace(l[0].find("\"build\":\"") + 9, 16, "0123456789abcdef");
         }),
         kitLog, 1, {"finding: run 1, line 1: a trace from a different build", "Verdict: 1 finding"}},
        {"cut short in the middle of a line", [](std::string& t) {
             const std::vector<std::string> l = Lines(t);
             const size_t cut = RecordOf(l, 2, 20);
             t = Joined({l.begin(), l.begin() + static_cast<long>(cut)}) + l[cut].substr(0, 30);
         },
         kitLog, 0,
         {"Trace cut short: a partial last line of 30 bytes", "where the trace is cut short",
          "Verdict: conformant, as far as the trace goes (it is cut short)"}},
        // The reset offer left on the screen: the second run comes after
        // the user reset the device.
        {"a box nobody answered", onLines([](std::vector<std::string>& l) {
             const size_t offer = RecordOf(l, 1, 73);
             l.erase(l.begin() + static_cast<long>(offer), l.begin() + static_cast<long>(offer) + 2);
         }),
         kitLog, 0,
         {"Run 1, from line 1: 72 calls recorded, then MessageBoxW, which never returned (a box nobody answered)",
          "Reset: not asked for", "Verdict: conformant"}},
        {"no kit log: nothing held", nullptr, "", 1,
         {"Kit log: none",
          "Held files: refused as the FAT driver refuses them, 32 (sharing violation) for any file held (Windows CE "
          "5.1 keeps the package behind the FAT driver)",
          "finding: run 1, call 17: DeleteFileW \\Windows\\TRQUtil.exe: the device returned 0 with "
          "error 32, the simulated device 1 with error 0"}},
        {"no kit log, a Pocket PC 2003",
         [](std::string& t) { t = AllReplaced(t, "\"major\":5,\"minor\":1,", "\"major\":4,\"minor\":20,"); }, "", 1,
         {"Device: Windows CE 4.20 build 1700",
          "Held files: refused as the object store refuses them, 5 (access denied) for any file held (Windows CE "
          "4.20 keeps the package in the object store)"}},
        {"the kit read another Startup folder", nullptr,
         Replaced(kitLog, "\\\\Windows\\\\StartUp", "\\\\Windows\\\\D\u00e9marrage"), 1,
         {"finding: run 1, call 12: SHGetSpecialFolderPath: its buffer held \"\\Windows\\StartUp\" on the device, "
          "\"\\Windows\\D\u00e9marrage\" on the simulated device"}},
        // Desktop Windows answers its folders on a drive, and the kit reads them so.
        {"the Startup folder on drive C:", [](std::string& t) { t = AllReplaced(t, kStartup, kStartupOnC); },
         AllReplaced(kitLog, kStartup, kStartupOnC), 0,
         {"Deleted: C:\\Windows\\StartUp\\TRQUtil.lnk", "Verdict: conformant"}},
        {"a handle out the device was not given", [](std::string& t) { t = Replaced(t, "\"result\":\"0x1000\"", "\"result\":null"); },
         kitLog, 1, {"call 1: the device called RegOpenKeyExW", "(result null on one side only)", "from call 1 the simulated"}},
        {"a line that is no record", onLines([](std::vector<std::string>& l) { l.insert(l.begin() + 5, "{\"n\":"); }),
         kitLog, 2, {"TRQ Uninstall trace.txt: line 6: not JSON"}},
        {"bytes not in pairs", [](std::string& t) { t = Replaced(t, "\"data\":\"5c", "\"data\":\"c"); }, kitLog, 2,
         {"TRQ Uninstall trace.txt: line 9: a record of RegQueryValueExW: its data is not what RegQueryValueExW writes"}},
        // A damaged or forged record: whichever "call" a reader kept, it would
        // read a record no device wrote.
        {"a record naming its call twice", onLines([](std::vector<std::string>& l) {
             std::string& record = l[RecordOf(l, 1, 7)];
             EXPECT_EQ(RecordOf(l, 1, 7) + 1, 15u);
             record = Replaced(record, "{\"call\":\"MessageBoxW\",", "{\"call\":\"MessageBoxW\",\"call\":\"DeleteFileW\",");
         }),
         kitLog, 2, {"TRQ Uninstall trace.txt: line 15: not JSON: a second member named \"call\""}},
        majorAs("a version beyond any number", "1e400"),
        majorAs("a version with a fraction", "1.5"),
        majorAs("a version that is true", "true"),
        majorAs("a version as a string", "\"12\""),
        majorAs("a version past 32 bits", "4294967296"),
        majorAs("a negative version", "-1"),
        {"a number with a leading zero", [](std::string& t) { t = Replaced(t, "\"major\":5,", "\"major\":0123,"); },
         kitLog, 2, {"TRQ Uninstall trace.txt: line 1: not JSON: a number with a leading zero"}},
        {"a kit log's line naming its file twice", nullptr,
         Replaced(kitLog, "\"made\",\"file\":", "\"made\",\"file\":\"\\\\Windows\\\\TRQ.exe\",\"file\":"), 2,
         {"TRQ Uninstall Kit log.txt: line 7: not JSON: a second member named \"file\""}},
        {"a kit log's hold without its file", nullptr,
         Replaced(kitLog, "\"holds\",\"file\":\"\\\\Windows\\\\TRQUtil.exe\",", "\"holds\","), 2,
         {"TRQ Uninstall Kit log.txt: line 8: a \"holds\" line without its \"file\""}},
        {"the trace a symbolic link", nullptr, kitLog, 2, {"TRQ Uninstall trace.txt: a symbolic link (not followed)"},
         [&](const fs::path& dir) {
             Write(dir / "elsewhere.txt", trace);
             fs::create_symlink("elsewhere.txt", dir / kTraceName);
         }},
        {"the trace a FIFO", nullptr, kitLog, 2, {"TRQ Uninstall trace.txt: a FIFO, not a regular file"},
         [](const fs::path& dir) { ASSERT_EQ(::mkfifo((dir / kTraceName).c_str(), 0600), 0); }},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = tmp.Path() / ("copied-" + std::to_string(++n));
        fs::create_directories(dir);
        if (c.lay) {
            c.lay(dir);
        } else {
            std::string text = trace;
            if (c.spoil) c.spoil(text);
            Write(dir / kTraceName, text);
        }
        if (!c.kitLog.empty()) Write(dir / kKitLogName, c.kitLog);
        const CommandResult r = Cli("--check-device '" + dir.string() + "'");
        EXPECT_EQ(r.exitCode, c.exitCode) << r.output;
        for (const std::string& part : c.said) EXPECT_TRUE(Has(r.output, part)) << part << "\n" << r.output;
        if (c.exitCode == 2) {
            EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 1) << r.output;
        }
    }
}

// The checker run on dir, its time and its peak memory measured.
struct Measured {
    int exitCode = -1;
    double seconds = 0;
    long peakKiB = 0;
};
Measured CheckMeasured(const fs::path& dir)
{
    const std::string tool = TRQ_SIM_CLI, folder = dir.string();
    char* argv[] = {const_cast<char*>(tool.c_str()), const_cast<char*>("--check-device"),
                    const_cast<char*>(folder.c_str()), nullptr};
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    for (int fd : {0, 1, 2}) posix_spawn_file_actions_addopen(&quiet, fd, "/dev/null", fd ? O_WRONLY : O_RDONLY, 0);
    Measured m;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &quiet, nullptr, argv, environ) == 0) {
        int status = 0;
        struct rusage usage {};
        if (::wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status)) m.exitCode = WEXITSTATUS(status);
        m.peakKiB = usage.ru_maxrss;
    }
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    posix_spawn_file_actions_destroy(&quiet);
    return m;
}

// A kit's log that read Temp and the install directory names deep below
// where the device keeps them: "\d" names after "\Temp" and after
// "\Program Files\TRQ", as many as fill units UTF-16 units, or names of them.
std::string DeepFoldersLog(size_t units, size_t names)
{
    auto deep = [&](const std::string& path) {
        std::string json;
        for (char c : path) json += c == '\\' ? std::string("\\\\") : std::string(1, c);
        for (size_t n = names ? names : (units - path.size()) / 2; n > 0; --n) json += "\\\\d";
        return json;
    };
    std::string log = kKitLog;
    log = Replaced(log, "\"path\":\"\\\\Temp\\\\\"", "\"path\":\"" + deep("\\Temp") + "\"");
    return Replaced(log, "\"path\":\"\\\\Program Files\\\\TRQ\"", "\"path\":\"" + deep("\\Program Files\\TRQ") + "\"");
}

// The folders the simulated device is prepared in come from the kit's log:
// however deep a log names them, the checker's time and memory stay those
// of its input. Folders as deep as a device has (MAX_PATH, 260 UTF-16
// units) are checked; a log with 10,000 or 100,000 names in each is refused
// at the first such line, the fourth.
TEST(DeviceCheck, DeepFoldersAreBounded)
{
    TempDir tmp;
    const std::string trace = ConformantTrace(tmp.Path());
    ASSERT_FALSE(HasFailure());
    struct Deep {
        const char* name;
        std::string kitLog;
        std::vector<int> exitCodes;  // any of them
    };
    const Deep cases[] = {
        {"each folder MAX_PATH units", DeepFoldersLog(260, 0), {0, 1}},
        {"10,000 names each", DeepFoldersLog(0, 10000), {2}},
        {"100,000 names each", DeepFoldersLog(0, 100000), {2}},
    };
    int n = 0;
    for (const Deep& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = tmp.Path() / ("deep-" + std::to_string(++n));
        fs::create_directories(dir);
        Write(dir / kTraceName, trace);
        Write(dir / kKitLogName, c.kitLog);
        const Measured m = CheckMeasured(dir);
        std::printf("[ measured ] %s: a kit log of %zu bytes, exit %d, %.2f s, peak %ld KiB\n", c.name,
                    c.kitLog.size(), m.exitCode, m.seconds, m.peakKiB);
        EXPECT_NE(std::find(c.exitCodes.begin(), c.exitCodes.end(), m.exitCode), c.exitCodes.end()) << m.exitCode;
        EXPECT_LT(m.peakKiB, 256 * 1024) << "the checker's memory grows past its input's";
        if (c.exitCodes[0] == 2) {
            const CommandResult r = Cli("--check-device '" + dir.string() + "'");
            EXPECT_TRUE(Has(r.output, std::string(kKitLogName) + ": line 4: ")) << r.output.substr(0, 300);
        }
    }
}

}  // namespace
}  // namespace trq_test
