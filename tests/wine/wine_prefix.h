// Runs TRQUninstall.exe under Wine, one scenario at a time, and reports what
// the device user would have seen.
//
// In:  a .reg file, files to lay under drive_c, files another process holds
//      open, the answers to the question boxes, registry keys to probe.
// Out: the exit code, the boxes in order (caption, text, buttons, icon, the
//      button pressed), the soft-reset requests that reached KernelIoControl,
//      the probe results, timings; and the prefix itself, to look at.
//
// A scenario is laid out in its own Wine prefix, cloned from a template
// prefix that is made once per build directory:
//
//   WineTools tools;                     // where wine and wineserver are
//   if (!FindWineTools(tools)) ...;      // no Wine here: skip (or fail in CI)
//   WineBuild build{uninstallerExe, driverDir};
//   WineTemplate tmpl = WineTemplate::Open(tools, build, workDir);
//
//   WineScenario scenario;
//   scenario.regFile = "install.reg";                 // what the package manager left
//   scenario.files.push_back({"C:\\Program Files\\TRQ\\TRQ.exe", "MZ", false});
//   scenario.holdOpen = {"C:\\Program Files\\TRQ\\TRQ.exe"};
//   scenario.answers = {WineAnswer::Yes, WineAnswer::Yes};
//   scenario.keyProbes = {"HKLM\\SOFTWARE\\Apps\\Vantrelle PocketPC Edition"};
//
//   WinePrefix prefix(tmpl);             // the clone; removed again when it goes
//                                        // (tmpl must outlive it)
//   WineRunResult result = prefix.Run(scenario);
//   // result.boxes, result.kernelIoCalls, result.probes, result.exitCode;
//   // prefix.HostPath("C:\\Program Files\\TRQ\\TRQ.exe") to see what is left.
//
// Device paths: the uninstaller's paths without a drive ("\Windows\...")
// land on C:, so "\Windows" is the prefix's C:\windows. The device's Startup,
// Programs and temporary folders are wherever Wine keeps them in the prefix:
// WinePrefix::Folders() says where (asked of Wine when the template was
// made, not guessed), so a caller can lay a device's folders onto them.
//
// The driver answers a box with a Yes button with the next answer and any
// box with only OK with OK. It stops the uninstaller, and says why in
// outcome, on a question with no answer left, an answer the box has no
// button for, a window that is not a box, or the scenario's timeout.
//
// Every Wine process runs with WINEDEBUG=-all, its own WINEPREFIX, no
// DISPLAY (the template uses Wine's null graphics driver) and a private
// TMPDIR. Harness failures (Wine would not start, no result written) throw
// WineError; what the uninstaller did, however odd, comes back in the result.
#ifndef TRQ_TESTS_WINE_WINE_PREFIX_H
#define TRQ_TESTS_WINE_WINE_PREFIX_H

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace trq::wine {

struct WineError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// ------------------------------------------------------------- set-up ---

struct WineTools {
    std::filesystem::path wine;
    std::filesystem::path wineserver;
};

// Looks for wine and wineserver on PATH. False when either is missing.
bool FindWineTools(WineTools& tools);

// What the Windows build produced.
struct WineBuild {
    std::filesystem::path uninstaller;  // TRQUninstall.exe
    std::filesystem::path driverDir;    // trq-wine-driver.exe, trq-wine-hook.dll, coredll.dll
};

// Empty when every piece is there, else which is missing.
std::string MissingBuildPieces(const WineBuild& build);

// One of the uninstaller's special folders in a prefix.
struct WineFolder {
    std::string windows;          // as Wine reports it, e.g. "C:\users\root\Temp\"
    std::filesystem::path host;   // the same directory on Linux: relative to drive_c
                                  // from WineTemplate, absolute from WinePrefix
};

struct WineFolders {
    WineFolder startup;   // SHGetSpecialFolderPath(CSIDL_STARTUP), no separator at the end
    WineFolder programs;  // SHGetSpecialFolderPath(CSIDL_PROGRAMS), no separator at the end
    WineFolder temp;      // GetTempPathW, with the separator at the end
};

// The template prefix, made once in workDir/template (wineboot -i, null
// graphics driver, no crash dialog) and reused while the Wine version stays
// the same. Safe to open from several test processes at once. Scenario
// prefixes go to workDir/scenarios (hard links need the same file system);
// ones left there for an hour by a killed test are removed here.
class WineTemplate {
public:
    static WineTemplate Open(const WineTools& tools, const WineBuild& build,
                             const std::filesystem::path& workDir);

    const WineTools& Tools() const { return tools_; }
    const WineBuild& Build() const { return build_; }
    const std::filesystem::path& WorkDir() const { return workDir_; }
    const std::filesystem::path& Root() const { return root_; }
    const WineFolders& Folders() const { return folders_; }
    bool MadeNow() const { return madeNow_; }          // false: reused
    double MakeMs() const { return makeMs_; }          // 0 when reused

private:
    WineTools tools_;
    WineBuild build_;
    std::filesystem::path workDir_;
    std::filesystem::path root_;
    WineFolders folders_;
    bool madeNow_ = false;
    double makeMs_ = 0;
};

// ---------------------------------------------------------- scenarios ---

enum class WineAnswer { Yes, No, Cancel };

struct WineFile {
    std::string windowsPath;  // "C:\dir\name" or "\dir\name" (on C:)
    std::string content;
    bool readOnly = false;
};

struct WineScenario {
    // A .reg file to import first ("wine reg import": ASCII "REGEDIT4" or
    // UTF-16LE with BOM "Windows Registry Editor Version 5.00"). Empty: none.
    std::filesystem::path regFile;
    std::vector<WineFile> files;            // laid under drive_c before the run
    std::vector<std::string> directories;   // empty directories to make
    std::vector<std::string> holdOpen;      // opened by another process for the whole run
    // Programs that run for the whole run: each a copy of the driver laid
    // over the file and started there, so that its image is a running one.
    std::vector<std::string> runPrograms;
    std::vector<WineAnswer> answers;        // for question boxes, in order
    std::vector<std::string> keyProbes;     // "HKLM\...", "HKCU\...", "HKCR\..." checked after exit
    bool coredllStandIn = true;             // put coredll.dll beside the uninstaller
    std::chrono::milliseconds timeout{20000};  // the whole conversation
    // Another program to run instead of the build's uninstaller (a host
    // path; it keeps its file name): the trace build, the device kit; and
    // the caption of its boxes.
    std::filesystem::path program;
    std::string caption;                    // empty: "TRQ Uninstall"
    std::vector<std::string> deletes;       // after exit: what DeleteFileW answers for each
    std::vector<std::string> running;       // after exit: how many processes of each file name run
    // Leave what the program started running after the run (the prefix's
    // server is not stopped), for the next run in the same prefix to find.
    bool leaveRunning = false;
};

struct WineBox {
    std::string caption;
    std::string text;
    std::vector<std::string> buttons;  // of "ok", "yes", "no", "cancel", in that order
    std::string icon;                  // "error", "question", "warning", "information", "none", "unknown"
    std::optional<std::uint32_t> style;  // the MB_ flags, when the hook saw them
    std::string pressed;               // "yes", "no", "cancel", "ok"; empty: none
};

struct WineKernelIoCall {
    std::uint64_t code = 0, in = 0, inSize = 0, out = 0, outSize = 0, returned = 0;
};

struct WineDeletion {
    std::string path;
    bool deleted = false;
    unsigned long error = 0;  // GetLastError() after DeleteFileW
};

struct WineRunning {
    std::string name;
    int count = 0;
};

struct WineKeyProbe {
    std::string key;
    bool present = false;
    long error = 0;  // RegOpenKeyExW's result
};

struct WineTimings {
    double cloneMs = 0;   // hard-link clone of the template
    double seedMs = 0;    // files laid, .reg imported
    double runMs = 0;     // the driver, start to exit, as seen from Linux
    double stopMs = 0;    // wineserver -k, -w
    double driverMs = 0;  // the uninstaller, start to exit, as the driver timed it
};

struct WineRunResult {
    // "exited" when the uninstaller ended by itself; otherwise why the driver
    // stopped it: "timed_out", "out_of_answers", "no_such_button",
    // "unexpected_box", "unexpected_window", "hold_failed", "start_failed",
    // "bad_request".
    std::string outcome;
    std::string error;
    std::optional<int> exitCode;  // only when it exited
    std::vector<WineBox> boxes;   // in the order they came up
    std::size_t answersUsed = 0;
    bool iconsKnown = false;      // the box hook was in place
    std::vector<WineKernelIoCall> kernelIoCalls;  // as the coredll stand-in saw them
    std::vector<WineKeyProbe> probes;
    std::vector<WineDeletion> deletions;
    std::vector<WineRunning> running;
    WineTimings timings;
    std::string json;  // the driver's result as written
};

// Reads the driver's result file (exposed for tests of the runner itself).
WineRunResult ParseDriverResult(const std::string& json);

// The request file the driver reads for a scenario.
std::string FormatDriverRequest(const WineScenario& scenario, const std::string& uninstallerPath);

// A prefix of its own for one scenario: a clone of the template, hard links
// for everything except the registry files, which are copied. A file that
// came from the template shares its data with it: replace it (LayFile does),
// never write into it. The directory is removed when the object goes, unless
// TRQ_WINE_KEEP=1 is set.
class WinePrefix {
public:
    explicit WinePrefix(const WineTemplate& tmpl);
    ~WinePrefix();
    WinePrefix(const WinePrefix&) = delete;
    WinePrefix& operator=(const WinePrefix&) = delete;

    const std::filesystem::path& Root() const { return root_; }
    std::filesystem::path DriveC() const { return root_ / "drive_c"; }
    double CloneMs() const { return cloneMs_; }

    // Where a Windows path on C: ("C:\a\b", "\a\b") is on Linux. Existing
    // directories are matched without regard to case, as Wine does.
    std::filesystem::path HostPath(std::string_view windowsPath) const;

    // The template's folders with host paths in this prefix.
    WineFolders Folders() const;

    // The steps of Run, for callers that need to do more in between.
    void ImportReg(const std::filesystem::path& regFile);
    void LayFile(const WineFile& file);
    void MakeDirectory(std::string_view windowsPath);

    // Lays the scenario out, runs the uninstaller under the driver, then stops
    // the prefix's wineserver (unless the scenario leaves it running), so
    // system.reg and user.reg under Root() are up to date when this returns. May run again in the same prefix (a run
    // after a reset): a scenario with no regFile and no files keeps what the
    // last run left.
    WineRunResult Run(const WineScenario& scenario);

    // wineserver -k, then -w. Done by Run; harmless when nothing runs.
    void Stop();

private:
    struct ProcessResult;
    ProcessResult Wine(const std::vector<std::string>& args, std::chrono::milliseconds timeout);

    const WineTemplate& tmpl_;
    std::filesystem::path root_;    // the prefix
    std::filesystem::path tmpDir_;  // TMPDIR of its Wine processes
    double cloneMs_ = 0;
};

}  // namespace trq::wine

#endif
