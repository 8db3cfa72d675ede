// trq-wine-driver.exe: plays the device user for TRQUninstall.exe (or the
// device kit, TRQUninstallKit.exe) under Wine.
//
//   trq-wine-driver.exe run REQUEST RESULT
//       Reads REQUEST, starts the uninstaller, answers its message boxes,
//       probes registry keys after it has gone, writes RESULT (JSON) and
//       returns the uninstaller's exit code (kDriverFailed when the run did
//       not end by itself).
//   trq-wine-driver.exe folders RESULT
//       Writes where this prefix puts CSIDL_STARTUP, CSIDL_PROGRAMS and the
//       temporary directory (JSON), as the uninstaller would see them.
//   trq-wine-driver.exe idle
//       Waits until it is ended: a running program for a start directive.
//
// REQUEST is UTF-8 text, one directive per line; blank lines and lines
// starting with '#' are ignored:
//   exe C:\trq\TRQUninstall.exe     the program to run (required)
//   timeout-ms 20000                how long the whole run may take
//   hold C:\Program Files\TRQ\TRQ.exe
//                                   open before the start (share read and
//                                   write, no share delete), closed after exit
//   start C:\Windows\TRQUtil.exe     a copy of this driver laid over the file
//                                   and started before the run (idle), ended
//                                   after exit: a running program's image
//   answer yes|no|cancel            the next answer to a question box
//   probe HKLM\Software\Some\Key    after exit: is the key there? (HKLM, HKCU,
//                                   HKCR or the HKEY_... names)
//   kernel-io-log C:\trq\kernelio.log
//                                   where the coredll stand-in records calls
//                                   (default: kernelio.log beside the exe)
//   caption TRQ Uninstall Kit       the caption of the boxes to answer
//                                   (default: TRQ Uninstall)
//   delete C:\Windows\TRQUtil.exe   after exit: what DeleteFileW answers
//   running TRQUtil.exe             after exit: how many processes of this
//                                   file name run
//
// The deletions and the process counts are made after the probes, in the
// order given, while anything the program started still runs.
//
// A question box is one with a Yes button; it takes the next answer. A box
// with OK and no Yes gets OK. Anything else ends the run: a question with no
// answer left, an answer the box has no button for, a box with neither, or
// any other window.
#include <windows.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "box_hook.h"

namespace {

const WCHAR kDefaultCaption[] = L"TRQ Uninstall";
const WCHAR kDialogClass[] = L"#32770";
const int kTextControl = 0xFFFF;
const int kDriverFailed = 250;
const DWORD kDefaultTimeoutMs = 20000;
const DWORD kPollMs = 10;
const DWORD kStyleWaitMs = 500;
const DWORD kOtherWindowGraceMs = 500;

// ---------------------------------------------------------------- text ---

std::wstring Widen(const std::string& utf8)
{
    if (utf8.empty()) return std::wstring();
    int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), 0, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], length);
    return wide;
}

// A JSON string literal, ASCII only: everything else as \uXXXX (UTF-16 units,
// so characters beyond the BMP come out as surrogate pairs, as JSON wants).
std::string Quote(const std::wstring& text)
{
    static const char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (WCHAR c : text) {
        if (c == L'"') {
            out += "\\\"";
        } else if (c == L'\\') {
            out += "\\\\";
        } else if (c == L'\n') {
            out += "\\n";
        } else if (c == L'\r') {
            out += "\\r";
        } else if (c == L'\t') {
            out += "\\t";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) out += hex[(c >> shift) & 0xF];
        }
    }
    return out + "\"";
}

std::string Number(unsigned long long value)
{
    return std::to_string(value);
}

std::wstring Trim(const std::wstring& text)
{
    size_t begin = text.find_first_not_of(L" \t\r\n");
    if (begin == std::wstring::npos) return std::wstring();
    size_t end = text.find_last_not_of(L" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

bool ReadFileBytes(const std::wstring& path, std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
    if (file == INVALID_HANDLE_VALUE) return false;
    bytes.clear();
    char chunk[4096];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, chunk, sizeof chunk, &got, 0) != 0) && got > 0)
        bytes.append(chunk, got);
    CloseHandle(file);
    return ok;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, 0);
    CloseHandle(file);
    return ok && written == bytes.size();
}

std::wstring DirectoryOf(const std::wstring& path)
{
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

// ------------------------------------------------------------- request ---

enum class Answer { Yes, No, Cancel };

const char* AnswerName(Answer answer)
{
    switch (answer) {
    case Answer::Yes: return "yes";
    case Answer::No: return "no";
    default: return "cancel";
    }
}

int AnswerButton(Answer answer)
{
    switch (answer) {
    case Answer::Yes: return IDYES;
    case Answer::No: return IDNO;
    default: return IDCANCEL;
    }
}

struct Request {
    std::wstring exe;
    DWORD timeoutMs = kDefaultTimeoutMs;
    std::vector<std::wstring> holds;
    std::vector<std::wstring> starts;
    std::vector<Answer> answers;
    std::vector<std::wstring> probes;
    std::wstring kernelIoLog;
    std::wstring caption = kDefaultCaption;
    std::vector<std::wstring> deletes;
    std::vector<std::wstring> running;
};

bool ParseRequest(const std::string& bytes, Request& request, std::wstring& error)
{
    std::wstring text = Widen(bytes);
    if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);
    size_t start = 0;
    int lineNumber = 0;
    while (start <= text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = Trim(text.substr(start, end - start));
        start = end + 1;
        ++lineNumber;
        if (line.empty() || line[0] == L'#') continue;
        size_t space = line.find_first_of(L" \t");
        std::wstring word = line.substr(0, space);
        std::wstring value = space == std::wstring::npos ? std::wstring() : Trim(line.substr(space));
        if (word == L"exe") {
            request.exe = value;
        } else if (word == L"timeout-ms") {
            request.timeoutMs = wcstoul(value.c_str(), 0, 10);
        } else if (word == L"hold") {
            request.holds.push_back(value);
        } else if (word == L"start") {
            request.starts.push_back(value);
        } else if (word == L"answer") {
            if (value == L"yes")
                request.answers.push_back(Answer::Yes);
            else if (value == L"no")
                request.answers.push_back(Answer::No);
            else if (value == L"cancel")
                request.answers.push_back(Answer::Cancel);
            else {
                error = L"line " + std::to_wstring(lineNumber) + L": unknown answer " + value;
                return false;
            }
        } else if (word == L"probe") {
            request.probes.push_back(value);
        } else if (word == L"kernel-io-log") {
            request.kernelIoLog = value;
        } else if (word == L"caption") {
            request.caption = value;
        } else if (word == L"delete") {
            request.deletes.push_back(value);
        } else if (word == L"running") {
            request.running.push_back(value);
        } else {
            error = L"line " + std::to_wstring(lineNumber) + L": unknown directive " + word;
            return false;
        }
        if (value.empty()) {
            error = L"line " + std::to_wstring(lineNumber) + L": " + word + L" needs a value";
            return false;
        }
    }
    if (request.exe.empty()) {
        error = L"no exe line";
        return false;
    }
    if (request.timeoutMs == 0) request.timeoutMs = kDefaultTimeoutMs;
    if (request.kernelIoLog.empty()) request.kernelIoLog = DirectoryOf(request.exe) + L"\\kernelio.log";
    return true;
}

// --------------------------------------------------------------- boxes ---

struct Box {
    std::wstring caption;
    std::wstring text;
    std::vector<const char*> buttons;
    bool styleKnown = false;
    DWORD style = 0;
    std::string pressed;  // empty: nothing pressed
};

const char* IconName(const Box& box)
{
    if (!box.styleKnown) return "unknown";
    switch (box.style & MB_ICONMASK) {
    case 0: return "none";
    case MB_ICONERROR: return "error";
    case MB_ICONQUESTION: return "question";
    case MB_ICONEXCLAMATION: return "warning";
    case MB_ICONINFORMATION: return "information";
    default: return "other";
    }
}

std::wstring WindowText(HWND window)
{
    WCHAR buffer[2048];
    buffer[0] = 0;
    GetWindowTextW(window, buffer, 2048);
    return buffer;
}

std::wstring ControlText(HWND dialog, int id)
{
    WCHAR buffer[2048];
    buffer[0] = 0;
    GetDlgItemTextW(dialog, id, buffer, 2048);
    return buffer;
}

struct ButtonName {
    int id;
    const char* name;
};
const ButtonName kButtons[] = {{IDOK, "ok"}, {IDYES, "yes"}, {IDNO, "no"}, {IDCANCEL, "cancel"}};

bool HasButton(HWND box, int id)
{
    HWND button = GetDlgItem(box, id);
    return button && IsWindowVisible(button);
}

// The program's box, if one is up and ready to be read.
HWND FindBox(DWORD processId, const std::wstring& caption)
{
    HWND window = 0;
    while ((window = FindWindowExW(0, window, kDialogClass, caption.c_str())) != 0) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == processId && IsWindowVisible(window)) return window;
    }
    return 0;
}

struct WindowSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK FindOtherWindowProc(HWND window, LPARAM param)
{
    WindowSearch* search = reinterpret_cast<WindowSearch*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId || !IsWindowVisible(window)) return TRUE;
    search->found = window;
    return FALSE;
}

// Any other visible window of the uninstaller: a box under another caption,
// or something that is not a box at all.
HWND FindOtherWindow(DWORD processId)
{
    WindowSearch search = {processId, 0};
    EnumWindows(FindOtherWindowProc, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool ReadStyle(HWND box, DWORD& style)
{
    ULONG_PTR value = reinterpret_cast<ULONG_PTR>(GetPropW(box, kBoxStyleProperty));
    if (!(value & kBoxStylePresent)) return false;
    style = static_cast<DWORD>(value);
    return true;
}

Box ReadBox(HWND box, bool hooked)
{
    Box result;
    // The hook sets the style before the box proper gets WM_INITDIALOG, and so
    // before the caption is set; waiting here only covers a slow hook load.
    DWORD waited = 0;
    while (hooked && !(result.styleKnown = ReadStyle(box, result.style)) && waited < kStyleWaitMs) {
        Sleep(kPollMs);
        waited += kPollMs;
    }
    result.caption = WindowText(box);
    result.text = ControlText(box, kTextControl);
    for (const ButtonName& button : kButtons)
        if (HasButton(box, button.id)) result.buttons.push_back(button.name);
    return result;
}

// ----------------------------------------------------------------- run ---

struct Hold {
    std::wstring path;
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD error = 0;
};

struct Probe {
    std::wstring key;
    bool present = false;
    LONG error = 0;
};

struct Deletion {
    std::wstring path;
    bool deleted = false;
    DWORD error = 0;
};

struct Running {
    std::wstring name;
    int count = 0;
};

struct Run {
    std::string outcome = "exited";
    std::wstring error;
    bool exited = false;
    DWORD exitCode = 0;
    DWORD elapsedMs = 0;
    bool hooked = false;
    std::vector<Box> boxes;
    size_t answersUsed = 0;
    std::vector<Hold> holds;
    std::vector<Probe> probes;
    std::vector<std::string> kernelIoCalls;  // JSON objects as the stand-in wrote them
    std::vector<Deletion> deletions;
    std::vector<Running> running;
};

bool ProbeKey(const std::wstring& name, Probe& probe)
{
    struct Root {
        const WCHAR* name;
        HKEY key;
    };
    static const Root roots[] = {{L"HKLM", HKEY_LOCAL_MACHINE},
                                 {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                                 {L"HKCU", HKEY_CURRENT_USER},
                                 {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                                 {L"HKCR", HKEY_CLASSES_ROOT},
                                 {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT}};
    probe.key = name;
    size_t slash = name.find(L'\\');
    std::wstring rootName = name.substr(0, slash);
    std::wstring path = slash == std::wstring::npos ? std::wstring() : name.substr(slash + 1);
    for (const Root& root : roots) {
        if (lstrcmpiW(root.name, rootName.c_str()) != 0) continue;
        HKEY key;
        probe.error = RegOpenKeyExW(root.key, path.c_str(), 0, KEY_READ, &key);
        probe.present = probe.error == ERROR_SUCCESS;
        if (probe.present) RegCloseKey(key);
        return true;
    }
    return false;
}

int CountProcesses(const std::wstring& name)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    int count = 0;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        count += lstrcmpiW(entry.szExeFile, name.c_str()) == 0;
    CloseHandle(snapshot);
    return count;
}

void ReadKernelIoLog(const std::wstring& path, std::vector<std::string>& calls)
{
    std::string bytes;
    if (!ReadFileBytes(path, bytes)) return;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (!line.empty()) calls.push_back(line);
        start = end + 1;
    }
}

void Fail(Run& run, const char* outcome, const std::wstring& error)
{
    run.outcome = outcome;
    run.error = error;
}

// Waits until the pressed box has gone (or the process, or the time).
void WaitBoxGone(HWND box, HANDLE process, DWORD deadline)
{
    while (IsWindow(box) && WaitForSingleObject(process, 0) == WAIT_TIMEOUT &&
           static_cast<LONG>(deadline - GetTickCount()) > 0)
        Sleep(kPollMs);
}

// Answers boxes until the process ends. Returns false when the run had to be
// stopped; run says why.
bool Converse(const Request& request, const PROCESS_INFORMATION& process, Run& run, DWORD deadline)
{
    HWND otherWindow = 0;
    DWORD otherSince = 0;
    for (;;) {
        if (WaitForSingleObject(process.hProcess, kPollMs) == WAIT_OBJECT_0) return true;
        if (static_cast<LONG>(deadline - GetTickCount()) <= 0) {
            Fail(run, "timed_out", L"no exit within " + std::to_wstring(request.timeoutMs) + L" ms");
            return false;
        }
        HWND window = FindBox(process.dwProcessId, request.caption);
        if (!window) {
            // A window may show before its caption is set; give it a moment.
            HWND other = FindOtherWindow(process.dwProcessId);
            if (other != otherWindow) otherSince = GetTickCount();
            otherWindow = other;
            if (other && GetTickCount() - otherSince >= kOtherWindowGraceMs) {
                run.boxes.push_back(ReadBox(other, run.hooked));
                Fail(run, "unexpected_window", L"a window that is not a " + request.caption + L" box");
                return false;
            }
            continue;
        }

        run.boxes.push_back(ReadBox(window, run.hooked));
        Box& box = run.boxes.back();
        bool question = HasButton(window, IDYES);
        int button = 0;
        if (question) {
            if (run.answersUsed == request.answers.size()) {
                Fail(run, "out_of_answers", L"a question came with no answer left");
                return false;
            }
            Answer answer = request.answers[run.answersUsed++];
            button = AnswerButton(answer);
            if (!HasButton(window, button)) {
                Fail(run, "no_such_button",
                     L"the box has no button for the answer " + Widen(AnswerName(answer)));
                return false;
            }
            box.pressed = AnswerName(answer);
        } else if (HasButton(window, IDOK)) {
            button = IDOK;
            box.pressed = "ok";
        } else {
            Fail(run, "unexpected_box", L"a box with neither Yes nor OK");
            return false;
        }
        DWORD_PTR ignored;
        SendMessageTimeoutW(GetDlgItem(window, button), BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000,
                            &ignored);
        WaitBoxGone(window, process.hProcess, deadline);
    }
}

void RunUninstaller(const Request& request, Run& run)
{
    DWORD started = GetTickCount();
    DWORD deadline = started + request.timeoutMs;
    DeleteFileW(request.kernelIoLog.c_str());

    // Each program to keep running is this driver, copied over the file and
    // started there: it waits until the run is over.
    WCHAR self[MAX_PATH];
    GetModuleFileNameW(0, self, MAX_PATH);
    std::vector<PROCESS_INFORMATION> programs;
    bool allHeld = true;
    for (const std::wstring& path : request.starts) {
        std::wstring commandLine = L"\"" + path + L"\" idle";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        if (!CopyFileW(self, path.c_str(), FALSE) ||
            !CreateProcessW(path.c_str(), &commandLine[0], 0, 0, FALSE, 0, 0, L"C:\\", &startup, &process)) {
            Hold failed;
            failed.path = path;
            failed.error = GetLastError();
            run.holds.push_back(failed);
            allHeld = false;
            continue;
        }
        programs.push_back(process);
    }
    for (const std::wstring& path : request.holds) {
        Hold hold;
        hold.path = path;
        hold.handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
        if (hold.handle == INVALID_HANDLE_VALUE) {
            hold.error = GetLastError();
            allHeld = false;
        }
        run.holds.push_back(hold);
    }

    if (!allHeld) {
        Fail(run, "hold_failed", L"a file to hold open could not be opened");
    } else {
        std::wstring commandLine = L"\"" + request.exe + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        if (!CreateProcessW(request.exe.c_str(), &commandLine[0], 0, 0, FALSE, CREATE_SUSPENDED, 0,
                            L"C:\\", &startup, &process)) {
            Fail(run, "start_failed",
                 L"CreateProcessW failed with error " + std::to_wstring(GetLastError()));
        } else {
            // The hook library sits beside this driver.
            std::wstring hookPath = DirectoryOf(self) + L"\\trq-wine-hook.dll";
            HMODULE hookLibrary = LoadLibraryW(hookPath.c_str());
            HOOKPROC hookProc = hookLibrary ? reinterpret_cast<HOOKPROC>(reinterpret_cast<void (*)()>(
                                                  GetProcAddress(hookLibrary, kBoxHookProcName)))
                                            : 0;
            HHOOK hook = hookProc ? SetWindowsHookExW(WH_CALLWNDPROC, hookProc, hookLibrary,
                                                      process.dwThreadId)
                                  : 0;
            run.hooked = hook != 0;
            ResumeThread(process.hThread);

            if (Converse(request, process, run, deadline)) {
                GetExitCodeProcess(process.hProcess, &run.exitCode);
                run.exited = true;
            } else {
                TerminateProcess(process.hProcess, kDriverFailed);
                WaitForSingleObject(process.hProcess, 5000);
            }
            if (hook) UnhookWindowsHookEx(hook);
            if (hookLibrary) FreeLibrary(hookLibrary);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
    }
    run.elapsedMs = GetTickCount() - started;

    for (Hold& hold : run.holds)
        if (hold.handle != INVALID_HANDLE_VALUE) CloseHandle(hold.handle);
    for (PROCESS_INFORMATION& process : programs) {
        TerminateProcess(process.hProcess, 0);
        WaitForSingleObject(process.hProcess, 5000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }

    for (const std::wstring& key : request.probes) {
        Probe probe;
        if (!ProbeKey(key, probe)) {
            probe.error = ERROR_INVALID_PARAMETER;
        }
        run.probes.push_back(probe);
    }
    for (const std::wstring& path : request.deletes) {
        Deletion deletion;
        deletion.path = path;
        SetLastError(0);
        deletion.deleted = DeleteFileW(path.c_str()) != 0;
        deletion.error = GetLastError();
        run.deletions.push_back(deletion);
    }
    for (const std::wstring& name : request.running) run.running.push_back({name, CountProcesses(name)});
    ReadKernelIoLog(request.kernelIoLog, run.kernelIoCalls);
}

std::string RunJson(const Request& request, const Run& run)
{
    std::string json = "{\n";
    json += "  \"outcome\": \"" + run.outcome + "\",\n";
    json += "  \"error\": " + Quote(run.error) + ",\n";
    json += "  \"exit_code\": " + (run.exited ? Number(run.exitCode) : std::string("null")) + ",\n";
    json += "  \"elapsed_ms\": " + Number(run.elapsedMs) + ",\n";
    json += "  \"icons_known\": " + std::string(run.hooked ? "true" : "false") + ",\n";
    json += "  \"answers_given\": " + Number(request.answers.size()) + ",\n";
    json += "  \"answers_used\": " + Number(run.answersUsed) + ",\n";
    json += "  \"boxes\": [";
    for (size_t i = 0; i < run.boxes.size(); ++i) {
        const Box& box = run.boxes[i];
        json += i ? ",\n    {" : "\n    {";
        json += "\"caption\": " + Quote(box.caption);
        json += ", \"text\": " + Quote(box.text);
        json += ", \"buttons\": [";
        for (size_t b = 0; b < box.buttons.size(); ++b)
            json += std::string(b ? ", \"" : "\"") + box.buttons[b] + "\"";
        json += "], \"icon\": \"" + std::string(IconName(box)) + "\"";
        json += ", \"style\": " + (box.styleKnown ? Number(box.style) : std::string("null"));
        json += ", \"pressed\": " + (box.pressed.empty() ? std::string("null") : "\"" + box.pressed + "\"");
        json += "}";
    }
    json += run.boxes.empty() ? "],\n" : "\n  ],\n";
    json += "  \"holds\": [";
    for (size_t i = 0; i < run.holds.size(); ++i) {
        const Hold& hold = run.holds[i];
        json += i ? ",\n    {" : "\n    {";
        json += "\"path\": " + Quote(hold.path);
        json += ", \"held\": " + std::string(hold.handle != INVALID_HANDLE_VALUE ? "true" : "false");
        json += ", \"error\": " + Number(hold.error) + "}";
    }
    json += run.holds.empty() ? "],\n" : "\n  ],\n";
    json += "  \"probes\": [";
    for (size_t i = 0; i < run.probes.size(); ++i) {
        const Probe& probe = run.probes[i];
        json += i ? ",\n    {" : "\n    {";
        json += "\"key\": " + Quote(probe.key);
        json += ", \"present\": " + std::string(probe.present ? "true" : "false");
        json += ", \"error\": " + Number(static_cast<DWORD>(probe.error)) + "}";
    }
    json += run.probes.empty() ? "],\n" : "\n  ],\n";
    json += "  \"kernel_io_control\": [";
    for (size_t i = 0; i < run.kernelIoCalls.size(); ++i)
        json += (i ? ",\n    " : "\n    ") + run.kernelIoCalls[i];
    json += run.kernelIoCalls.empty() ? "],\n" : "\n  ],\n";
    json += "  \"deletions\": [";
    for (size_t i = 0; i < run.deletions.size(); ++i) {
        const Deletion& deletion = run.deletions[i];
        json += i ? ",\n    {" : "\n    {";
        json += "\"path\": " + Quote(deletion.path);
        json += ", \"result\": " + Number(deletion.deleted ? 1 : 0);
        json += ", \"error\": " + Number(deletion.error) + "}";
    }
    json += run.deletions.empty() ? "],\n" : "\n  ],\n";
    json += "  \"running\": [";
    for (size_t i = 0; i < run.running.size(); ++i) {
        json += i ? ",\n    {" : "\n    {";
        json += "\"name\": " + Quote(run.running[i].name);
        json += ", \"count\": " + std::to_string(run.running[i].count) + "}";
    }
    json += run.running.empty() ? "]\n" : "\n  ]\n";
    json += "}\n";
    return json;
}

int RunMode(const std::wstring& requestPath, const std::wstring& resultPath)
{
    Request request;
    Run run;
    std::string bytes;
    std::wstring error;
    if (!ReadFileBytes(requestPath, bytes)) {
        Fail(run, "bad_request", L"cannot read " + requestPath);
    } else if (!ParseRequest(bytes, request, error)) {
        Fail(run, "bad_request", error);
    } else {
        RunUninstaller(request, run);
    }
    if (!WriteFileBytes(resultPath, RunJson(request, run))) return kDriverFailed;
    return run.exited ? static_cast<int>(run.exitCode) : kDriverFailed;
}

// -------------------------------------------------------------- folders ---

// One folder as the uninstaller asks for it (SHGetSpecialFolderPath, no
// create), and the path it would have even when that fails.
std::string FolderJson(const char* name, int csidl)
{
    WCHAR asked[MAX_PATH] = {};
    bool found = SHGetSpecialFolderPathW(0, asked, csidl, FALSE) != 0;
    WCHAR path[MAX_PATH] = {};
    if (found)
        lstrcpynW(path, asked, MAX_PATH);
    else
        SHGetFolderPathW(0, csidl | CSIDL_FLAG_DONT_VERIFY, 0, SHGFP_TYPE_CURRENT, path);
    return std::string("  \"") + name + "\": {\"path\": " + Quote(path) +
           ", \"found\": " + (found ? "true" : "false") + "},\n";
}

int FoldersMode(const std::wstring& resultPath)
{
    WCHAR temp[MAX_PATH] = {};
    DWORD length = GetTempPathW(MAX_PATH, temp);
    std::string json = "{\n";
    json += FolderJson("startup", CSIDL_STARTUP);
    json += FolderJson("programs", CSIDL_PROGRAMS);
    json += std::string("  \"temp\": {\"path\": ") + Quote(temp) +
            ", \"found\": " + (length && length < MAX_PATH ? "true" : "false") + "}\n";
    json += "}\n";
    return WriteFileBytes(resultPath, json) ? 0 : kDriverFailed;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    // Paths without a drive resolve on the current drive, as they do for the
    // uninstaller, which is started in C:\ too.
    SetCurrentDirectoryW(L"C:\\");
    std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"run" && argc == 4) return RunMode(argv[2], argv[3]);
    if (mode == L"folders" && argc == 3) return FoldersMode(argv[2]);
    if (mode == L"idle" && argc == 2) {  // a program that runs until it is ended
        Sleep(INFINITE);
        return 0;
    }
    const char usage[] =
        "usage: trq-wine-driver.exe run REQUEST RESULT\n"
        "       trq-wine-driver.exe folders RESULT\n";
    DWORD written;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), usage, sizeof usage - 1, &written, 0);
    return kDriverFailed;
}
