// The uninstaller's message boxes on the terminal: each box drawn as a
// person would see it, and its answer taken from --answer or read from
// standard input.
#ifndef TRQ_TOOLS_TERMINAL_BOXES_H
#define TRQ_TOOLS_TERMINAL_BOXES_H

#include <string>
#include <vector>

#include "platform/sim/services.h"

namespace tool {

struct Dialogue {
    bool scripted = false;     // the answers come from --answer, not from standard input
    std::vector<int> answers;  // IDYES, IDNO, IDCANCEL, in order
    size_t next = 0;
    std::string problem;       // why the run stopped at a box
};

// Shows each box on standard output and answers it from the dialogue,
// which must outlive the answerer. A question box without an answer stops
// the run, with the reason in dialogue.problem. A box with only OK waits
// for Enter when standard input is a terminal and no answers were given.
sim::BoxAnswerer TerminalAnswerer(Dialogue& dialogue);

}  // namespace tool

#endif
