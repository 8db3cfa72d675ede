// What the handles of a simulated device stand for, beyond registry keys:
// open files, events and programs, as one command's DeviceSession keeps
// them (services.h), and the bounds that keep any program's run within the
// host's means.
#ifndef TRQ_SIM_DEVICE_OBJECTS_H
#define TRQ_SIM_DEVICE_OBJECTS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim {

class DeviceSession;

// A file a CreateFileW handle has open: the device path as stored, how it
// was opened and where it reads and writes next.
struct OpenFile {
    std::u16string path;
    uint32_t access = 0;  // GENERIC_READ, GENERIC_WRITE
    uint32_t share = 0;   // FILE_SHARE_READ, FILE_SHARE_WRITE
    uint64_t position = 0;
};

// An event: named ones are found again by name (case counts) for as long as
// a handle or a waiting program keeps them.
struct EventObject {
    std::u16string name;  // empty: unnamed
    bool manualReset = false;
    bool set = false;
};

// A program on the device during one command: the one the command runs,
// those programs start (CreateProcessW), and those that earlier commands'
// programs started and that still run (device.ini [Running]).
struct DeviceProgram {
    enum class State {
        Running,  // runs: the command's own program, or one that never waits (a stand-in, see CreateProcessW)
        Waiting,  // waits on an event that is not set (or for good: waitsOn null); it runs no further
        Ended,
    };
    int id = 0;
    std::u16string image;   // its image on the device, held while it runs; empty when it is none of the device's files
    std::u16string module;  // what GetModuleFileNameW answers
    uintptr_t moduleHandle = 0;  // the instance handle it knows itself by (WinMain's first argument)
    State state = State::Running;
    std::shared_ptr<EventObject> waitsOn;
    // Files its handles had open in an earlier command (device.ini): held,
    // without sharing, until it ends.
    std::vector<std::u16string> heldFiles;
    uint32_t lastError = 0;  // its thread's error code while another program runs
};

// What a handle of CreateFileW, CreateEventW or CreateProcessW stands for.
struct DeviceHandle {
    enum class Kind { File, Event, Process, Thread } kind = Kind::File;
    int owner = 0;  // the program whose handle it is; no other may use it
    OpenFile file;
    std::shared_ptr<EventObject> event;
    int program = 0;  // Process, Thread: which program
};

// How one of the programs a command started came to its end there, for the
// report: "returned 0", "waits on the event \"X\"", ...
struct ProgramNote {
    std::u16string program;
    std::string what;
};

// How a program the device started (CreateProcessW) ran, as its runner
// tells: it returned with exitCode, or broke down (fault says why). A
// program that waits, or that stopped the device (a reset, a box nobody
// answered), has returned too: the device knows it from its own state.
struct ProgramRun {
    int exitCode = 0;
    std::string fault;
};

// A Pocket PC image the device was asked to start, loaded by whoever runs
// programs on the device (the emulator, harness/emulator/): run makes it
// run on the device, with its command line, until it returns, breaks down
// or waits.
struct LoadedProgram {
    uintptr_t moduleHandle = 0;
    std::function<ProgramRun(DeviceSession& device, const std::u16string& commandLine)> run;
};
// Loads the image (a PE file's bytes) of the device file named name; false
// with the reason when the device's loader would refuse it.
using ProgramLoader =
    std::function<bool(const std::string& name, const std::string& image, LoadedProgram& out, std::string& error)>;

// The bounds of one command on the device, whatever its programs do.
constexpr size_t kMostHandles = 1024;              // open at once, of every program
constexpr uint64_t kLargestDeviceFile = 32u << 20;  // what WriteFile and CopyFileW let a file grow to
constexpr uint64_t kMostBytesWritten = 64u << 20;   // WriteFile and CopyFileW, in all
constexpr int kMostMade = 4096;                    // files and folders made by CreateFileW, CreateDirectoryW, CopyFileW
constexpr size_t kMostRunning = 8;                 // programs started by programs, running at once
constexpr int kMostStarts = 64;                    // CreateProcessW that start a program, in all
// The registry may grow to what registry.reg can hold when it is read
// again (formats::kMaxRegFileBytes), counted generously: 8 bytes for each
// character of a name and each byte of data, 64 for each key and value.
constexpr uint64_t kRegistryBytesPerUnit = 8, kRegistryBytesPerItem = 64;

}  // namespace sim

#endif
