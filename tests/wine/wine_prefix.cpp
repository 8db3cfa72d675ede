#include "tests/wine/wine_prefix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

extern char** environ;

namespace trq::wine {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Inside each prefix: where the harness keeps the uninstaller, the stand-in,
// the request and the result. A name no device path uses.
const char kHarnessDir[] = "trq-harness";
const char kHarnessDirWindows[] = "C:\\trq-harness";

const auto kWinebootTimeout = std::chrono::seconds(180);
const auto kToolTimeout = std::chrono::seconds(60);
const auto kServerExitTimeout = std::chrono::seconds(10);
// Beyond the conversation's own timeout, for Wine to start and the driver to
// write its result.
const auto kRunMargin = std::chrono::seconds(30);
// A scenario prefix this old was left by a test that did not finish.
const auto kStaleScenario = std::chrono::hours(1);

double MsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteAll(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    out.close();
    if (!out) throw WineError("cannot write " + path.string());
}

std::string Tail(const std::string& text, std::size_t size = 2000)
{
    return text.size() <= size ? text : "..." + text.substr(text.size() - size);
}

bool SameIgnoringCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

fs::path FindOnPath(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty()) continue;
        fs::path candidate = fs::path(dir) / name;
        if (access(candidate.c_str(), X_OK) == 0 && fs::is_regular_file(candidate))
            return candidate;
    }
    return {};
}

fs::path MakeTempDir(const fs::path& parent, const std::string& stem)
{
    fs::create_directories(parent);
    std::string pattern = (parent / (stem + "XXXXXX")).string();
    if (!mkdtemp(pattern.data()))
        throw WineError("cannot make a directory in " + parent.string() + ": " + std::strerror(errno));
    return pattern;
}

// A short private TMPDIR: Wine puts its server socket there.
fs::path MakeWineTmpDir()
{
    const char* tmp = std::getenv("TMPDIR");
    return MakeTempDir(tmp && *tmp ? tmp : "/tmp", "trq-wine-");
}

// ------------------------------------------------------------ processes --

struct Spawned {
    int exitCode = -1;  // -1: killed or did not start
    bool timedOut = false;
    double ms = 0;
};

// The environment for a Wine process: the caller's, less anything that would
// point Wine at a display or another prefix.
std::vector<std::string> WineEnvironment(const fs::path& prefix, const fs::path& tmpDir)
{
    static const char* const dropped[] = {"DISPLAY", "WAYLAND_DISPLAY", "WINEPREFIX", "WINEDEBUG",
                                          "WINEDLLOVERRIDES", "WINEARCH", "TMPDIR"};
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        std::string name = text.substr(0, text.find('='));
        if (std::find(std::begin(dropped), std::end(dropped), name) == std::end(dropped))
            env.push_back(text);
    }
    env.push_back("WINEPREFIX=" + prefix.string());
    env.push_back("WINEDEBUG=-all");
    // No offer to install Mono or Gecko while the prefix is made: nobody is
    // there to answer it.
    env.push_back("WINEDLLOVERRIDES=mscoree,mshtml=");
    env.push_back("TMPDIR=" + tmpDir.string());
    return env;
}

// Runs argv[0] (an absolute path) with stdin from /dev/null and stdout and
// stderr appended to log. On timeout the process is killed.
Spawned Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              const fs::path& cwd, const fs::path& log, std::chrono::milliseconds timeout)
{
    std::vector<char*> args, envp;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    for (const std::string& var : env) envp.push_back(const_cast<char*>(var.c_str()));
    envp.push_back(nullptr);

    int logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (logFd < 0) throw WineError("cannot open " + log.string());
    Clock::time_point start = Clock::now();
    pid_t pid = fork();
    if (pid < 0) {
        close(logFd);
        throw WineError("fork failed");
    }
    if (pid == 0) {
        int nullFd = open("/dev/null", O_RDONLY);
        if (chdir(cwd.c_str()) != 0 || nullFd < 0 || dup2(nullFd, 0) < 0 || dup2(logFd, 1) < 0 ||
            dup2(logFd, 2) < 0)
            _exit(126);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(logFd);

    Spawned result;
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) throw WineError("waitpid failed");
        if (Clock::now() - start > timeout) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    result.ms = MsSince(start);
    if (!result.timedOut && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    return result;
}

std::string Describe(const std::vector<std::string>& argv, const Spawned& run)
{
    std::string text;
    for (const std::string& arg : argv) text += (text.empty() ? "" : " ") + arg;
    return text + (run.timedOut ? ": timed out" : ": exit code " + std::to_string(run.exitCode));
}

// Runs one Wine tool in prefix and throws unless it succeeds.
void RunWineTool(const std::vector<std::string>& argv, const fs::path& prefix, const fs::path& tmpDir,
                 const fs::path& log, std::chrono::milliseconds timeout)
{
    // The prefix itself may not be there yet (wineboot makes it).
    Spawned run = Spawn(argv, WineEnvironment(prefix, tmpDir), prefix.parent_path(), log, timeout);
    if (run.exitCode != 0)
        throw WineError(Describe(argv, run) + "\n" + Tail(ReadAll(log)));
}

void StopServer(const WineTools& tools, const fs::path& prefix, const fs::path& tmpDir,
                const fs::path& log)
{
    std::vector<std::string> env = WineEnvironment(prefix, tmpDir);
    fs::path cwd = prefix.parent_path();
    std::string server = tools.wineserver.string();
    // SIGINT, as a plain -k sends, without -k's own polling for the end:
    // -w waits on the server's lock, which is quicker. The server saves the
    // registry and ends its processes. -k fails when no server runs; fine.
    Spawn({server, "-k2"}, env, cwd, log, kToolTimeout);
    if (!Spawn({server, "-w"}, env, cwd, log, kServerExitTimeout).timedOut) return;
    // Stuck: a plain -k follows up with SIGKILL.
    Spawn({server, "-k"}, env, cwd, log, kToolTimeout);
    if (Spawn({server, "-w"}, env, cwd, log, kToolTimeout).timedOut)
        throw WineError("wineserver -w did not return for " + prefix.string());
}

// ---------------------------------------------------------------- paths --

// "C:\a\b", "c:/a/b", "\a\b" -> {"a", "b"}. Other drives are not laid out.
std::vector<std::string> SplitWindowsPath(std::string_view path)
{
    std::string_view rest = path;
    if (rest.size() >= 2 && rest[1] == ':') {
        if (std::tolower(static_cast<unsigned char>(rest[0])) != 'c')
            throw WineError("only drive C: is laid out: " + std::string(path));
        rest.remove_prefix(2);
    }
    std::vector<std::string> parts;
    std::string part;
    for (char c : std::string(rest) + "\\") {
        if (c != '\\' && c != '/') {
            part += c;
            continue;
        }
        if (part == "..") throw WineError("\"..\" in a path: " + std::string(path));
        if (!part.empty() && part != ".") parts.push_back(part);
        part.clear();
    }
    return parts;
}

// Follows parts down from base, matching existing entries without regard to
// case; parts past the first missing one are taken as written.
fs::path ResolveUnder(const fs::path& base, const std::vector<std::string>& parts)
{
    fs::path path = base;
    bool existing = true;
    for (const std::string& part : parts) {
        if (existing && !fs::exists(path / part)) {
            existing = false;
            std::error_code error;
            if (fs::is_directory(path)) {
                for (const fs::directory_entry& entry : fs::directory_iterator(path, error)) {
                    if (SameIgnoringCase(entry.path().filename().string(), part)) {
                        path = entry.path();
                        existing = true;
                        break;
                    }
                }
            }
            if (existing) continue;
        }
        path /= part;
    }
    return path;
}

WineFolder ReadFolder(const nlohmann::json& json, const char* name, const fs::path& driveC)
{
    if (!json.contains(name) || !json[name].value("found", false))
        throw WineError(std::string("Wine does not say where the ") + name + " folder is");
    WineFolder folder;
    folder.windows = json[name].at("path").get<std::string>();
    folder.host = ResolveUnder(driveC, SplitWindowsPath(folder.windows)).lexically_relative(driveC);
    return folder;
}

WineFolders ParseFolders(const std::string& text, const fs::path& driveC)
{
    nlohmann::json json = nlohmann::json::parse(text);
    return {ReadFolder(json, "startup", driveC), ReadFolder(json, "programs", driveC),
            ReadFolder(json, "temp", driveC)};
}

// ------------------------------------------------------------- template --

// Holds an exclusive lock on a file for as long as it lives.
class FileLock {
public:
    explicit FileLock(const fs::path& path)
        : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644))
    {
        if (fd_ < 0) throw WineError("cannot open " + path.string());
        while (flock(fd_, LOCK_EX) != 0)
            if (errno != EINTR) throw WineError("cannot lock " + path.string());
    }
    ~FileLock() { close(fd_); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_;
};

std::string WineVersion(const WineTools& tools, const fs::path& workDir)
{
    fs::path log = workDir / "wine-version.txt";
    fs::remove(log);
    Spawned run = Spawn({tools.wine.string(), "--version"}, WineEnvironment(workDir, "/tmp"),
                        workDir, log, kToolTimeout);
    std::string version = ReadAll(log);
    version.erase(std::remove(version.begin(), version.end(), '\n'), version.end());
    if (run.exitCode != 0 || version.empty()) throw WineError("wine --version failed");
    return version;
}

void MakeTemplate(const WineTools& tools, const WineBuild& build, const fs::path& prefix,
                  const fs::path& foldersFile)
{
    fs::path log = prefix.parent_path() / "template.log";
    fs::remove(log);
    fs::path tmpDir = MakeWineTmpDir();
    try {
        std::string wine = tools.wine.string();
        RunWineTool({wine, "wineboot", "-i"}, prefix, tmpDir, log, kWinebootTimeout);
        RunWineTool({wine, "reg", "add", "HKCU\\Software\\Wine\\Drivers", "/v", "Graphics", "/d",
                     "null", "/f"},
                    prefix, tmpDir, log, kToolTimeout);
        // A crash of the uninstaller should end the run, not wait on a dialog.
        RunWineTool({wine, "reg", "add", "HKCU\\Software\\Wine\\WineDbg", "/v", "ShowCrashDialog",
                     "/t", "REG_DWORD", "/d", "0", "/f"},
                    prefix, tmpDir, log, kToolTimeout);
        StopServer(tools, prefix, tmpDir, log);

        // Ask Wine where the folders are, with the null driver now in force.
        std::string result = std::string(kHarnessDirWindows) + "-folders.json";
        RunWineTool({wine, (build.driverDir / "trq-wine-driver.exe").string(), "folders", result},
                    prefix, tmpDir, log, kToolTimeout);
        StopServer(tools, prefix, tmpDir, log);
        fs::path written = prefix / "drive_c" / (std::string(kHarnessDir) + "-folders.json");
        fs::rename(written, foldersFile);
    } catch (...) {
        fs::remove_all(tmpDir);
        throw;
    }
    fs::remove_all(tmpDir);
    // Some Wine builds note their server's temporary directory here; each
    // clone gets its own.
    fs::remove(prefix / "wineserver");
}

// --------------------------------------------------------------- result --

std::string AnswerWord(WineAnswer answer)
{
    switch (answer) {
    case WineAnswer::Yes: return "yes";
    case WineAnswer::No: return "no";
    case WineAnswer::Cancel: return "cancel";
    }
    return "";
}

void CheckLine(const std::string& value)
{
    if (value.find_first_of("\r\n") != std::string::npos)
        throw WineError("a line break in a request value: " + value);
}

}  // namespace

// --------------------------------------------------------------- public --

bool FindWineTools(WineTools& tools)
{
    tools.wine = FindOnPath("wine");
    tools.wineserver = FindOnPath("wineserver");
    return !tools.wine.empty() && !tools.wineserver.empty();
}

std::string MissingBuildPieces(const WineBuild& build)
{
    std::string missing;
    const fs::path pieces[] = {build.uninstaller, build.driverDir / "trq-wine-driver.exe",
                               build.driverDir / "trq-wine-hook.dll", build.driverDir / "coredll.dll"};
    for (const fs::path& piece : pieces)
        if (piece.empty() || !fs::is_regular_file(piece))
            missing += (missing.empty() ? "" : ", ") + (piece.empty() ? "(no path)" : piece.string());
    return missing;
}

WineTemplate WineTemplate::Open(const WineTools& tools, const WineBuild& build, const fs::path& workDir)
{
    WineTemplate tmpl;
    tmpl.tools_ = tools;
    tmpl.build_ = build;
    tmpl.workDir_ = fs::absolute(workDir);
    tmpl.root_ = tmpl.workDir_ / "template";
    fs::create_directories(tmpl.workDir_);

    FileLock lock(tmpl.workDir_ / "template.lock");
    fs::path stampFile = tmpl.workDir_ / "template.stamp";
    fs::path foldersFile = tmpl.workDir_ / "template-folders.json";
    std::string stamp = WineVersion(tools, tmpl.workDir_) + "\n";
    bool reusable = fs::is_directory(tmpl.root_) && fs::exists(foldersFile) &&
                    fs::exists(stampFile) && ReadAll(stampFile) == stamp;
    if (!reusable) {
        Clock::time_point start = Clock::now();
        fs::remove(stampFile);
        fs::remove_all(tmpl.root_);
        fs::path fresh = tmpl.workDir_ / "template.new";
        fs::remove_all(fresh);
        MakeTemplate(tools, build, fresh, foldersFile);
        fs::rename(fresh, tmpl.root_);
        WriteAll(stampFile, stamp);
        tmpl.madeNow_ = true;
        tmpl.makeMs_ = MsSince(start);
    }
    tmpl.folders_ = ParseFolders(ReadAll(foldersFile), tmpl.root_ / "drive_c");

    std::error_code error;
    fs::file_time_type stale = fs::file_time_type::clock::now() - kStaleScenario;
    for (const fs::directory_entry& entry :
         fs::directory_iterator(tmpl.workDir_ / "scenarios", error))
        if (entry.last_write_time(error) < stale) fs::remove_all(entry.path(), error);
    return tmpl;
}

std::string FormatDriverRequest(const WineScenario& scenario, const std::string& uninstallerPath)
{
    std::string text = "exe " + uninstallerPath + "\n";
    text += "timeout-ms " + std::to_string(scenario.timeout.count()) + "\n";
    for (const std::string& path : scenario.holdOpen) {
        CheckLine(path);
        text += "hold " + path + "\n";
    }
    for (const std::string& path : scenario.runPrograms) {
        CheckLine(path);
        text += "start " + path + "\n";
    }
    for (WineAnswer answer : scenario.answers) text += "answer " + AnswerWord(answer) + "\n";
    for (const std::string& key : scenario.keyProbes) {
        CheckLine(key);
        text += "probe " + key + "\n";
    }
    if (!scenario.caption.empty()) {
        CheckLine(scenario.caption);
        text += "caption " + scenario.caption + "\n";
    }
    for (const std::string& path : scenario.deletes) {
        CheckLine(path);
        text += "delete " + path + "\n";
    }
    for (const std::string& name : scenario.running) {
        CheckLine(name);
        text += "running " + name + "\n";
    }
    return text;
}

WineRunResult ParseDriverResult(const std::string& text)
{
    WineRunResult result;
    nlohmann::json json;
    try {
        json = nlohmann::json::parse(text);
        result.outcome = json.at("outcome").get<std::string>();
        result.error = json.value("error", "");
        if (!json.at("exit_code").is_null()) result.exitCode = json["exit_code"].get<int>();
        result.timings.driverMs = json.value("elapsed_ms", 0.0);
        result.iconsKnown = json.value("icons_known", false);
        result.answersUsed = json.value("answers_used", std::size_t{0});
        for (const nlohmann::json& item : json.at("boxes")) {
            WineBox box;
            box.caption = item.at("caption").get<std::string>();
            box.text = item.at("text").get<std::string>();
            box.buttons = item.at("buttons").get<std::vector<std::string>>();
            box.icon = item.at("icon").get<std::string>();
            if (!item.at("style").is_null()) box.style = item["style"].get<std::uint32_t>();
            if (!item.at("pressed").is_null()) box.pressed = item["pressed"].get<std::string>();
            result.boxes.push_back(box);
        }
        for (const nlohmann::json& item : json.at("kernel_io_control")) {
            WineKernelIoCall call;
            call.code = item.at("code").get<std::uint64_t>();
            call.in = item.at("in").get<std::uint64_t>();
            call.inSize = item.at("in_size").get<std::uint64_t>();
            call.out = item.at("out").get<std::uint64_t>();
            call.outSize = item.at("out_size").get<std::uint64_t>();
            call.returned = item.at("returned").get<std::uint64_t>();
            result.kernelIoCalls.push_back(call);
        }
        for (const nlohmann::json& item : json.at("probes")) {
            WineKeyProbe probe;
            probe.key = item.at("key").get<std::string>();
            probe.present = item.at("present").get<bool>();
            probe.error = item.at("error").get<long>();
            result.probes.push_back(probe);
        }
        for (const nlohmann::json& item : json.value("deletions", nlohmann::json::array())) {
            WineDeletion deletion;
            deletion.path = item.at("path").get<std::string>();
            deletion.deleted = item.at("result").get<int>() != 0;
            deletion.error = item.at("error").get<unsigned long>();
            result.deletions.push_back(deletion);
        }
        for (const nlohmann::json& item : json.value("running", nlohmann::json::array()))
            result.running.push_back({item.at("name").get<std::string>(), item.at("count").get<int>()});
    } catch (const nlohmann::json::exception& error) {
        throw WineError(std::string("unreadable driver result: ") + error.what() + "\n" + Tail(text));
    }
    result.json = text;
    return result;
}

// --------------------------------------------------------------- prefix --

struct WinePrefix::ProcessResult {
    Spawned run;
    std::string log;
};

WinePrefix::WinePrefix(const WineTemplate& tmpl) : tmpl_(tmpl)
{
    Clock::time_point start = Clock::now();
    root_ = MakeTempDir(tmpl.WorkDir() / "scenarios", "prefix-");
    try {
        const fs::path& from = tmpl.Root();
        for (auto it = fs::recursive_directory_iterator(from); it != fs::recursive_directory_iterator();
             ++it) {
            fs::path relative = it->path().lexically_relative(from);
            fs::path to = root_ / relative;
            fs::file_status status = it->symlink_status();
            if (fs::is_symlink(status))
                fs::copy_symlink(it->path(), to);
            else if (fs::is_directory(status))
                fs::create_directory(to);
            else if (it->path().extension() == ".reg")
                fs::copy_file(it->path(), to);  // Wine rewrites these: never share them
            else if (relative != "wineserver")
                fs::create_hard_link(it->path(), to);
        }
        tmpDir_ = MakeWineTmpDir();
    } catch (...) {
        fs::remove_all(root_);
        throw;
    }
    cloneMs_ = MsSince(start);
}

WinePrefix::~WinePrefix()
{
    try {
        Stop();
    } catch (...) {
    }
    const char* keep = std::getenv("TRQ_WINE_KEEP");
    if (keep && std::string(keep) == "1") return;
    std::error_code ignored;
    fs::remove_all(root_, ignored);
    if (!tmpDir_.empty()) fs::remove_all(tmpDir_, ignored);
}

fs::path WinePrefix::HostPath(std::string_view windowsPath) const
{
    return ResolveUnder(DriveC(), SplitWindowsPath(windowsPath));
}

WineFolders WinePrefix::Folders() const
{
    WineFolders folders = tmpl_.Folders();
    for (WineFolder* folder : {&folders.startup, &folders.programs, &folders.temp})
        folder->host = HostPath(folder->windows);
    return folders;
}

WinePrefix::ProcessResult WinePrefix::Wine(const std::vector<std::string>& args,
                                           std::chrono::milliseconds timeout)
{
    std::vector<std::string> argv = {tmpl_.Tools().wine.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    fs::path log = root_ / "harness.log";
    ProcessResult result;
    result.run = Spawn(argv, WineEnvironment(root_, tmpDir_), DriveC(), log, timeout);
    if (result.run.exitCode != 0) result.log = Describe(argv, result.run) + "\n" + Tail(ReadAll(log));
    return result;
}

void WinePrefix::ImportReg(const fs::path& regFile)
{
    fs::path dir = DriveC() / kHarnessDir;
    fs::create_directories(dir);
    fs::copy_file(regFile, dir / "import.reg", fs::copy_options::overwrite_existing);
    ProcessResult run = Wine({"reg", "import", std::string(kHarnessDirWindows) + "\\import.reg"},
                             kToolTimeout);
    if (run.run.exitCode != 0)
        throw WineError("importing " + regFile.string() + " failed: " + run.log);
}

void WinePrefix::LayFile(const WineFile& file)
{
    fs::path path = HostPath(file.windowsPath);
    fs::create_directories(path.parent_path());
    // Never write through a hard link into the template: replace the file.
    std::error_code ignored;
    fs::remove(path, ignored);
    WriteAll(path, file.content);
    if (file.readOnly)
        fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
}

void WinePrefix::MakeDirectory(std::string_view windowsPath)
{
    fs::create_directories(HostPath(windowsPath));
}

WineRunResult WinePrefix::Run(const WineScenario& scenario)
{
    Clock::time_point seedStart = Clock::now();
    if (!scenario.regFile.empty()) ImportReg(scenario.regFile);
    for (const std::string& dir : scenario.directories) MakeDirectory(dir);
    for (const WineFile& file : scenario.files) LayFile(file);

    fs::path harness = DriveC() / kHarnessDir;
    fs::create_directories(harness);
    const fs::path program = scenario.program.empty() ? tmpl_.Build().uninstaller : scenario.program;
    const std::string programName = scenario.program.empty() ? "TRQUninstall.exe" : program.filename().string();
    fs::copy_file(program, harness / programName, fs::copy_options::overwrite_existing);
    fs::remove(harness / "coredll.dll");
    if (scenario.coredllStandIn)
        fs::copy_file(tmpl_.Build().driverDir / "coredll.dll", harness / "coredll.dll");
    std::string windowsHarness = kHarnessDirWindows;
    WriteAll(harness / "request.txt",
             FormatDriverRequest(scenario, windowsHarness + "\\" + programName));
    fs::remove(harness / "result.json");
    double seedMs = MsSince(seedStart);

    std::chrono::milliseconds timeout =
        scenario.timeout + std::chrono::duration_cast<std::chrono::milliseconds>(kRunMargin);
    ProcessResult run = Wine({(tmpl_.Build().driverDir / "trq-wine-driver.exe").string(), "run",
                              windowsHarness + "\\request.txt", windowsHarness + "\\result.json"},
                             timeout);
    Clock::time_point stopStart = Clock::now();
    if (!scenario.leaveRunning) Stop();
    double stopMs = MsSince(stopStart);

    fs::path resultFile = harness / "result.json";
    if (!fs::exists(resultFile))
        throw WineError("the driver wrote no result: " + Describe({"trq-wine-driver.exe"}, run.run) +
                        "\n" + Tail(ReadAll(root_ / "harness.log")));
    WineRunResult result = ParseDriverResult(ReadAll(resultFile));
    result.timings.cloneMs = cloneMs_;
    result.timings.seedMs = seedMs;
    result.timings.runMs = run.run.ms;
    result.timings.stopMs = stopMs;
    return result;
}

void WinePrefix::Stop()
{
    StopServer(tmpl_.Tools(), root_, tmpDir_, root_ / "harness.log");
}

}  // namespace trq::wine
