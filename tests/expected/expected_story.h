// A run told as lines, call by call: once as the written words say it must
// go on a given device, once as a trace says it went. Tests compare the two.
#ifndef TRQ_TESTS_EXPECTED_EXPECTED_STORY_H
#define TRQ_TESTS_EXPECTED_EXPECTED_STORY_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/device_image.h"
#include "platform/sim/trace.h"
#include "tests/expected/expected_plan.h"

namespace expected {

struct Story {
    std::vector<std::string> boxes;   // "TRQ Uninstall | text | 0x10023"
    std::vector<std::string> files;   // folder queries, attributes, deletions and their outcome
    std::vector<std::string> keys;    // "RegDeleteKeyW HKEY_CLASSES_ROOT\trpfile"
    std::vector<std::string> resets;  // "KernelIoControl 0x101003c"
};

// What a run that shows `boxes`, given `answers`, must do on `device` as it
// is before the run.
struct Run {
    std::vector<Box> boxes;
    std::vector<int> answers;
    bool resetRequested = false;
};
Story ExpectedStory(const Run& run, const sim::DeviceImage& device);

// What a trace says was done.
Story StoryOf(const sim::Trace& trace);

// A box as Story::boxes spells it.
std::string BoxLine(const std::string& caption, const std::string& text, std::uint32_t flags);

}  // namespace expected

#endif
