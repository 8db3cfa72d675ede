// The device kit's "\TRQ Uninstall Kit log.txt" as a Pocket PC wrote it: what
// the kit read of the device, made, held and probed, read as a file a device
// appends lines to (device_lines.h).
#ifndef TRQ_HARNESS_RUNNER_KIT_LOG_READER_H
#define TRQ_HARNESS_RUNNER_KIT_LOG_READER_H

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace runner {

// A file the kit holds open on the device, and how: "running program" (a
// copy of the kit running as the package's program) or "open without
// sharing"; by: the program that holds it.
struct KitHold {
    std::u16string file;
    std::string how;
    std::u16string by;
};

// A deletion the kit tried itself on a file it held, and put back.
struct KitProbe {
    std::u16string file;
    std::string how;
    std::string result, error;  // as written
    bool restored = false;
};

// What the kit's log says of the device: the folders it read, what it made,
// what it holds. Lines of kinds it does not know are passed over.
struct KitLog {
    size_t lines = 0;
    size_t partialBytes = 0;
    std::vector<std::string> modes;  // of each "start" line, in order
    // Each folder the kit read ("Startup", "Programs", "Temp", "InstallDir",
    // "Windows"), as the device gave it ("" where it did not say); the last
    // reading of each.
    std::vector<std::pair<std::string, std::u16string>> folders;
    // What is held, since the last "prepare" (the whole log when there is none).
    std::vector<KitHold> holds;
    std::vector<KitProbe> probes;
    int made = 0, existed = 0;
    std::vector<std::u16string> stopped;  // programs the kit stopped

    const std::u16string* Folder(std::string_view name) const;
    // The hold on file (as the device names files: case-insensitive), or null.
    const KitHold* HoldOf(std::u16string_view file) const;
};

// Reads a kit log's bytes. False with "line N: why" in error for a line too
// long, a line that is no JSON object with a "kit" member, a line of a known
// kind without what that kind must say, or a path longer than MAX_PATH
// UTF-16 units (the kit writes no longer one: a device has none).
bool ReadKitLog(std::string_view text, KitLog& out, std::string& error);

}  // namespace runner

#endif
