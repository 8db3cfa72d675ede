#include "tools/trq-uninstall-sim/terminal_boxes.h"

#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <sstream>

#include "device/device.h"
#include "formats/host_file.h"
#include "formats/text.h"
#include "harness/runner/run_device.h"

namespace tool {

namespace {

std::string IconName(uint32_t flags)
{
    switch (flags & MB_ICONMASK) {
    case MB_ICONERROR: return "error";
    case MB_ICONQUESTION: return "question";
    case MB_ICONEXCLAMATION: return "exclamation";
    case MB_ICONINFORMATION: return "information";
    default: return "none";
    }
}

std::string Buttons(uint32_t flags)
{
    std::string out;
    for (auto [id, name] : {std::pair{IDYES, "Yes"}, {IDNO, "No"}, {IDOK, "OK"}, {IDCANCEL, "Cancel"}})
        if (runner::HasButton(flags, id)) out += std::string(out.empty() ? "" : " ") + "[" + name + "]";
    return out;
}

std::string ButtonName(int id)
{
    switch (id) {
    case IDYES: return "Yes";
    case IDNO: return "No";
    case IDOK: return "OK";
    case IDCANCEL: return "Cancel";
    default: return std::to_string(id);
    }
}

// A message box as a person would see it on the terminal.
void ShowBox(std::ostream& out, const sim::BoxRecord& box)
{
    std::string caption = host::Printable(formats::Utf16ToUtf8Lossy(box.caption));
    out << "\n+-- " << caption << " (" << IconName(box.flags) << ")\n";
    std::istringstream words(formats::Utf16ToUtf8Lossy(box.text));
    std::string word, line;
    while (words >> word) {
        if (!line.empty() && line.size() + 1 + word.size() > 66) {
            out << "| " << line << "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + host::Printable(word);
    }
    if (!line.empty()) out << "| " << line << "\n";
    out << "|   " << Buttons(box.flags) << "\n+--\n";
}

std::string Quote(const sim::BoxRecord& box)
{
    std::string text = formats::Utf16ToUtf8Lossy(box.text);
    if (text.size() > 60) text.replace(57, std::string::npos, "...");
    return "\"" + host::Printable(text) + "\"";
}

// One line of standard input, read a byte at a time: what follows it stays
// unread for whoever reads standard input next (the next run, when a
// script pipes in the answers of several). At most kLongestAnswer bytes of
// it are kept. False at the end of input before any byte of a line.
bool ReadAnswerLine(std::string& line)
{
    constexpr size_t kLongestAnswer = 256;
    line.clear();
    bool any = false;
    for (char c;;) {
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n != 1) return any;
        any = true;
        if (c == '\n') return true;
        if (line.size() < kLongestAnswer) line.push_back(c);
    }
}

}  // namespace

sim::BoxAnswerer TerminalAnswerer(Dialogue& d)
{
    const bool terminal = isatty(STDIN_FILENO);
    return [&d, terminal](const sim::BoxRecord& box) -> std::optional<int> {
        ShowBox(std::cout, box);
        if (!runner::IsQuestion(box.flags)) {
            if (!d.scripted && terminal) {
                std::cout << "Press Enter for OK. " << std::flush;
                std::string ignored;
                ReadAnswerLine(ignored);
            }
            std::cout << "-> OK\n";
            return IDOK;
        }
        if (d.scripted) {
            if (d.next >= d.answers.size()) {
                d.problem = "no answer left for the box " + Quote(box);
                return std::nullopt;
            }
            int answer = d.answers[d.next++];
            if (!runner::HasButton(box.flags, answer)) {
                d.problem = "the box " + Quote(box) + " has no " + ButtonName(answer) + " button";
                return std::nullopt;
            }
            std::cout << "-> " << ButtonName(answer) << "\n";
            return answer;
        }
        for (;;) {
            std::cout << "Answer (" << (runner::HasButton(box.flags, IDCANCEL) ? "yes/no/cancel" : "yes/no")
                      << "): " << std::flush;
            std::string line;
            if (!ReadAnswerLine(line)) {
                std::cout << "\n";
                d.problem = "no answer on standard input for the box " + Quote(box);
                return std::nullopt;
            }
            int answer = runner::ParseAnswer(line);
            if (answer && runner::HasButton(box.flags, answer)) return answer;
        }
    };
}

}  // namespace tool
