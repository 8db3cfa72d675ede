#include "tools/trq-uninstall-sim/check_device.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <vector>

#include "flow/message_boxes.h"
#include "formats/device_ini.h"
#include "formats/host_file.h"
#include "formats/host_folder.h"
#include "formats/text.h"
#include "harness/runner/device_trace.h"
#include "harness/runner/kit_device.h"
#include "harness/runner/replay_back_end.h"
#include "tools/trq-uninstall-sim/exit_codes.h"

namespace tool {

using runner::KitLog;
using runner::TraceRecord;
using runner::TraceRun;
using sim::CallValue;
namespace call = device_calls::call;

namespace {

const char* const kTraceName = "TRQ Uninstall trace.txt";
const char* const kKitLogName = "TRQ Uninstall Kit log.txt";
// A run writes about 100 records of a few hundred bytes: room for hundreds of runs.
constexpr size_t kTraceLimit = size_t(4) << 20;
constexpr size_t kKitLogLimit = size_t(1) << 20;

// The report, every line of it escaped: all but its own words came from the device.
class Report {
public:
    void Line(const std::string& text) { std::cout << host::Printable(text) << "\n"; }
    void Finding(int run, const std::string& where, const std::string& text)
    {
        ++findings;
        Line("  finding: run " + std::to_string(run) + ", " + where + ": " + text);
    }
    int findings = 0;
};

std::string Text(const WCHAR* text) { return formats::Utf16ToUtf8Lossy(text); }

// The platform a trace's GetVersionExW names, as it is: Windows CE
// (VER_PLATFORM_WIN32_CE), desktop Windows (VER_PLATFORM_WIN32_NT), or
// Windows of another platform, whose number follows.
std::string PlatformName(DWORD platform)
{
    if (platform == VER_PLATFORM_WIN32_CE) return "Windows CE";
    if (platform == 2) return "desktop Windows";
    return "Windows";
}

std::string Facts(const DeviceFacts& facts)
{
    std::string text;
    if (!facts.osKnown) {
        text = "OS version unknown (GetVersionExW failed)";
    } else {
        const OSVERSIONINFOW& os = facts.os;
        text = PlatformName(os.dwPlatformId) + " " + std::to_string(os.dwMajorVersion) + "." +
               std::to_string(os.dwMinorVersion) + " build " + std::to_string(os.dwBuildNumber) + " (platform " +
               std::to_string(os.dwPlatformId) + ")";
        const std::string csd = Text(os.szCSDVersion);
        if (!csd.empty()) text += ", service pack \"" + csd + "\"";
    }
    const std::string type = facts.platformTypeKnown ? Text(facts.platformType) : "";
    const std::string oem = facts.oemKnown ? Text(facts.oem) : "";
    text += ", platform type " + (type.empty() ? "unknown" : type);
    text += ", OEM " + (oem.empty() ? "unknown" : oem);
    return text;
}

std::string Lines(size_t n) { return std::to_string(n) + (n == 1 ? " line" : " lines"); }

std::string Button(const CallValue& ret)
{
    if (ret.is != CallValue::Is::Number) return "no button";
    switch (ret.number) {
    case IDOK: return "OK";
    case IDCANCEL: return "Cancel";
    case IDYES: return "Yes";
    case IDNO: return "No";
    case 0: return "no button (the box could not be shown)";
    default: return "button " + std::to_string(ret.number);
    }
}

std::string ErrorName(uint32_t error)
{
    if (error == ERROR_ACCESS_DENIED) return ", access denied";
    if (error == ERROR_SHARING_VIOLATION) return ", held open";
    if (error == ERROR_DIR_NOT_EMPTY) return ", not empty";
    return "";
}

std::string RunEnd(const TraceRun& run, bool cutShort)
{
    std::string text = std::to_string(run.calls.size()) + " calls recorded";
    if (cutShort && !run.endedIn.empty()) return text + ", then a call of " + run.endedIn + ", where the trace is cut short";
    if (run.endedIn == "KernelIoControl") text += ", then KernelIoControl, which never returned (a soft reset)";
    else if (run.endedIn == "MessageBoxW") text += ", then MessageBoxW, which never returned (a box nobody answered)";
    else if (!run.endedIn.empty()) text += ", then " + run.endedIn + ", which never returned";
    if (cutShort) text += ", where the trace is cut short";
    else if (run.endedIn.empty()) text += "; the run returned";
    return text;
}

bool IsSuccessBox(const TraceRecord& call)
{
    return call.record.call == &call::MessageBoxW && call.record.Arg("text").text == kSuccessBox.text;
}

// What the device's user saw, and what the run deleted and left.
void WriteOutcome(Report& report, const TraceRun& run, bool cutShort)
{
    std::vector<std::string> deleted, left;
    int gone = 0;
    for (const TraceRecord& call : run.calls) {
        const sim::RecordedCall& record = call.record;
        if (record.call == &call::MessageBoxW) {
            report.Line("  Box: \"" + formats::Utf16ToUtf8Lossy(record.Arg("text").text) + "\": " + Button(record.result));
            continue;
        }
        const bool file = record.call == &call::DeleteFileW;
        if (!file && record.call != &call::RemoveDirectoryW) continue;
        const std::string path = (file ? "" : "folder ") + formats::Utf16ToUtf8Lossy(record.Arg("path").text);
        const uint32_t error = record.error;
        if (sim::Succeeded(record)) deleted.push_back(path);
        else if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) ++gone;
        else left.push_back(path + " (error " + std::to_string(error) + ErrorName(error) + ")");
    }
    if (run.endedIn == "MessageBoxW" && !cutShort) report.Line("  Box: one nobody answered (its text is not in the trace)");
    for (const std::string& path : deleted) report.Line("  Deleted: " + path);
    for (const std::string& path : left) report.Line("  Left: " + path);
    if (gone) report.Line("  Not there: " + std::to_string(gone) + (gone == 1 ? " file or folder" : " files and folders") +
                          " of the plan (error 2 or 3)");
}

// The host build fed the device's answers must make the device's calls.
void WriteSameCode(Report& report, int number, const TraceRun& run, bool cutShort, bool& diverged)
{
    const runner::ReplayOutcome replay = runner::ReplayRun(run, cutShort);
    diverged = replay.divergedAt != 0;
    if (diverged) {
        report.Finding(number, "call " + std::to_string(replay.divergedAt), replay.divergence);
        return;
    }
    std::string text = "  Same code: the host build made the device's " + std::to_string(run.calls.size()) +
                       " calls, with the same arguments, in the same order";
    if (replay.endedAsDevice) text += ", and then the call the device's run ended in";
    if (replay.reachedCut) text += ", up to where the trace is cut short";
    report.Line(text);
}

// The simulated device, prepared as the kit says, must answer as the device did.
void WriteSameDevice(Report& report, int number, runner::KitDevice& device, const TraceRun& run, bool cutShort,
                     bool codeDiverged)
{
    const runner::SameDeviceRun same = device.Play(run, cutShort);
    for (const runner::AnswerFinding& f : same.findings)
        report.Finding(number, "call " + std::to_string(f.call), f.text);
    if (same.otherWayAt) {
        const std::string where = "from call " + std::to_string(same.otherWayAt) +
                                  " the simulated device's run goes another way: " + same.otherWay;
        if (codeDiverged || !same.findings.empty()) report.Line("  Same device: " + where);
        else report.Finding(number, "call " + std::to_string(same.otherWayAt), "the simulated device's run goes another way: " + same.otherWay);
        return;
    }
    if (!same.findings.empty()) return;
    std::string text = "  Same device: the simulated device answered the " + std::to_string(same.compared) +
                       " calls as the device did";
    if (same.reachedCut) text += ", up to where the trace is cut short";
    report.Line(text);
}

void WriteKitLog(Report& report, const KitLog* kit)
{
    if (!kit) {
        report.Line(std::string("Kit log: none; the device is taken as the sample package freshly installed, "
                                "with nothing held"));
        return;
    }
    std::string modes;
    for (const std::string& mode : kit->modes) modes += (modes.empty() ? "" : ", ") + mode;
    report.Line(std::string("Kit log: ") + kKitLogName + ", " + Lines(kit->lines) +
                (modes.empty() ? "" : "; the kit ran: " + modes));
    if (kit->partialBytes)
        report.Line("Kit log cut short: a partial last line of " + std::to_string(kit->partialBytes) +
                    " bytes, left out");
    if (!kit->folders.empty()) {
        std::string folders;
        for (const auto& [name, path] : kit->folders)
            folders += (folders.empty() ? "" : ", ") + name + " " +
                       (path.empty() ? "(the device did not say)" : formats::Utf16ToUtf8Lossy(path));
        report.Line("Folders the kit read: " + folders);
    }
    for (const runner::KitHold& hold : kit->holds)
        report.Line("Held by the kit: " + formats::Utf16ToUtf8Lossy(hold.file) + " (" + hold.how +
                    (hold.by.empty() ? "" : ", by " + formats::Utf16ToUtf8Lossy(hold.by)) + ")");
    for (const runner::KitProbe& probe : kit->probes)
        report.Line("Probe by the kit: DeleteFileW " + formats::Utf16ToUtf8Lossy(probe.file) +
                    (probe.how.empty() ? "" : ", " + probe.how) + ": result " + probe.result + ", error " +
                    probe.error + (probe.restored ? ", restored" : ", not restored"));
}

// What the device answers for the deletion of a file another program
// holds, as a fact of the device: the simulated device answers the same.
std::string HeldFileText(const runner::HeldFileAnswers& held)
{
    const formats::FileSystemRow& row = formats::FileSystemOf(held.system);
    const auto error = [](uint32_t code) {
        return std::to_string(code) + (code == ERROR_ACCESS_DENIED ? " (access denied)" : " (sharing violation)");
    };
    std::string answers = row.runningProgram == row.openFile
                              ? error(row.openFile) + " for any file held"
                              : error(row.runningProgram) + " for a running program or a loaded library, " +
                                    error(row.openFile) + " for a file open without sharing";
    return std::string("refused as ") + row.description + " refuses them, " + answers + " (" + held.why + ")";
}

// Reads one of the two files: a regular file, no link followed, within its
// limit; false with the one line that refuses it, missing telling a file
// that is not there.
bool ReadFromDevice(const host::Folder& folder, const std::string& dir, const char* name, size_t limit,
                    std::string& bytes, bool& missing, std::string& refusal)
{
    std::string error;
    if (host::ReadRegularFile(folder.Fd(), name, limit, host::Links::Refuse, bytes, error, &missing)) return true;
    refusal = (std::filesystem::path(dir) / name).string() + ": " + (missing ? "not there" : error);
    return false;
}

// What the runs so far came to: whether they are still compared (not once
// a run of another build came), the reset, the Success box.
struct RunsSoFar {
    bool comparing = true;
    std::string reset = "not asked for";
    std::string finished;
};

// Run r of the trace: how it ended, what the user saw and what it did, the
// two comparisons, and what it adds to the runs so far.
void WriteRun(Report& report, runner::KitDevice& device, const runner::DeviceTrace& trace, size_t r,
              const std::string& build, RunsSoFar& so)
{
    const TraceRun& run = trace.runs[r];
    const int number = static_cast<int>(r) + 1;
    const bool cutShort = trace.partialBytes && r + 1 == trace.runs.size();
    report.Line("");
    report.Line("Run " + std::to_string(number) + ", from line " + std::to_string(run.line) + ": " + RunEnd(run, cutShort));
    if (r && !SameDeviceFacts(run.facts, trace.runs.front().facts) && run.build == trace.runs.front().build)
        report.Line("  Device: " + Facts(run.facts));
    WriteOutcome(report, run, cutShort);
    if (so.comparing && run.build != build) {
        report.Finding(number, "line " + std::to_string(run.line),
                       "a trace from a different build: its device code is " + run.build + ", this checker's " +
                           build + "; the rest is not compared");
        so.comparing = false;
    } else if (so.comparing) {
        bool diverged = false;
        WriteSameCode(report, number, run, cutShort, diverged);
        WriteSameDevice(report, number, device, run, cutShort, diverged);
    } else {
        report.Line("  Not compared: the trace is from a different build");
    }
    for (const TraceRecord& call : run.calls) {
        if (IsSuccessBox(call)) so.finished = "run " + std::to_string(number) + " showed the Success box";
        if (call.record.call == &call::KernelIoControl && so.reset == "not asked for")
            so.reset = "asked for in run " + std::to_string(number) + ", and the request came back (returned " +
                       sim::ShowValue(call.record.result) + ", error " + std::to_string(call.record.error) + ")";
    }
    if (run.endedIn == call::KernelIoControl.name && so.reset == "not asked for")
        so.reset = "asked for in run " + std::to_string(number) + ", and the device restarted";
}

}  // namespace

int CheckDevice(const std::string& dir, const std::string& build)
{
    host::Folder folder;
    if (!host::Folder::Open(dir, folder)) return Fail(kExitUsage, dir + ": not a folder to check: " + std::strerror(errno));
    std::string traceBytes, kitBytes, refusal, error;
    bool missing = false;
    if (!ReadFromDevice(folder, dir, kTraceName, kTraceLimit, traceBytes, missing, refusal))
        return Fail(kExitUsage, refusal);
    runner::DeviceTrace trace;
    if (!runner::ReadDeviceTrace(traceBytes, trace, error))
        return Fail(kExitUsage, (std::filesystem::path(dir) / kTraceName).string() + ": " + error);
    std::optional<KitLog> kit;
    if (ReadFromDevice(folder, dir, kKitLogName, kKitLogLimit, kitBytes, missing, refusal)) {
        kit.emplace();
        if (!runner::ReadKitLog(kitBytes, *kit, error))
            return Fail(kExitUsage, (std::filesystem::path(dir) / kKitLogName).string() + ": " + error);
    } else if (!missing) {
        return Fail(kExitUsage, refusal);
    }

    Report report;
    report.Line("Device check: " + dir);
    report.Line(std::string("Trace: ") + kTraceName + ", " + Lines(trace.lines) + ", " +
                std::to_string(trace.runs.size()) + (trace.runs.size() == 1 ? " run" : " runs"));
    if (trace.partialBytes)
        report.Line("Trace cut short: a partial last line of " + std::to_string(trace.partialBytes) +
                    " bytes (a reset or a flat battery while it was written); read to its last whole record, line " +
                    std::to_string(trace.lines));
    report.Line("Device: " + Facts(trace.runs.front().facts));
    const std::string& traced = trace.runs.front().build;
    report.Line("Device code: " + traced + (traced == build ? ", the same as this checker's" : "; this checker's is " + build));
    WriteKitLog(report, kit ? &*kit : nullptr);
    const runner::HeldFileAnswers held = runner::ChooseHeldFileAnswers(kit ? &*kit : nullptr, trace.runs.front().facts);
    report.Line("Held files: " + HeldFileText(held));

    runner::KitDevice device(kit ? &*kit : nullptr, held.system);
    RunsSoFar runs;
    for (size_t r = 0; r < trace.runs.size(); ++r) WriteRun(report, device, trace, r, build, runs);
    report.Line("");
    report.Line("Reset: " + runs.reset);
    report.Line("Finished: " + (runs.finished.empty() ? std::string("no, no run showed the Success box") : runs.finished));
    report.Line("Verdict: " + (report.findings == 0   ? std::string("conformant")
                               : report.findings == 1 ? std::string("1 finding")
                                                      : std::to_string(report.findings) + " findings") +
                (trace.partialBytes ? ", as far as the trace goes (it is cut short)" : ""));
    return report.findings ? kExitFindings : 0;
}

}  // namespace tool
