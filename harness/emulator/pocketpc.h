// A Pocket PC that runs the ARM TRQUninstall.exe: the executable loaded as
// Windows CE loads it, on an emulated StrongARM or XScale processor, its
// COREDLL calls served by the simulated device (coredll.h).
#ifndef TRQ_HARNESS_EMULATOR_POCKETPC_H
#define TRQ_HARNESS_EMULATOR_POCKETPC_H

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "harness/emulator/arm_machine.h"
#include "harness/emulator/coredll.h"
#include "harness/emulator/wince_loader.h"
#include "harness/runner/run_device.h"

namespace emulator {

// Where the process's parts lie in its 32 MiB slot: the image at its base,
// the heap above it, the stack below the command line at the top.
struct ProcessLayout {
    uint32_t stackBottom = 0, stackSize = 0;
    uint32_t heapStart = 0, heapEnd = 0;
};

struct PocketPcExe {
    std::string name;     // the file's name, for messages
    LoadedImage image;
    std::vector<const Export*> imports;  // in the order of image.imports
    ProcessLayout layout;
};

// The largest executable file read: the process slot it must fit in.
constexpr size_t kLargestExe = pe::kWinceSlotEnd;

// Reads and loads the executable. False, with the reason in error, for a
// file that is not a regular one or is larger than kLargestExe; for what a
// Pocket PC would refuse (wince_loader.h); for an import from any library
// but COREDLL.dll or of a name the emulated COREDLL does not serve (it
// serves the device calls of device/device_calls.h); and for an image that
// leaves no room in the slot for its stack. Nothing runs before this says
// yes, so every refusal comes before the first instruction.
bool LoadPocketPcExe(const std::filesystem::path& file, PocketPcExe& exe, std::string& error);
// The same from the file's bytes, read already (a program on the simulated
// device); name is the file's name, for messages. Bytes over kLargestExe
// are refused.
bool LoadPocketPcImage(const std::string& name, const std::string& bytes, PocketPcExe& exe, std::string& error);

// What one run may use of the host, whatever the program does: the
// uninstaller takes some tens of thousands of instructions and under a
// hundred calls, which copy a few KiB.
constexpr uint64_t kInstructionBudget = 20'000'000;
constexpr uint64_t kCallBudget = 1'000'000;      // calls into COREDLL
constexpr uint64_t kCopyBudget = 16ull << 20;    // bytes calls copy in and out
struct Budgets {
    uint64_t instructions = kInstructionBudget;
    uint64_t calls = kCallBudget;
    uint64_t copiedBytes = kCopyBudget;
};

// The executable as the program a simulated device runs (RunOptions). A
// fault of the emulated program (an invalid instruction, a coprocessor
// access or a software interrupt, memory it was not given, a call to no
// import, a heap block written past its end, an idle instruction, a run past
// a budget) ends the run with Stop::Fault and a message naming the address
// and the cause; what its calls did to the device stays done.
//
// A Pocket PC image it starts (CreateProcessW) runs as a process of its own,
// on the same processor, in a process slot of its own, with the command
// line it was given, until it returns, breaks down or waits; then the
// program that started it goes on. The budgets are the run's, shared by
// all its processes. A started program that breaks down ends alone (the
// device notes why); one that waits is not resumed (services.h).
runner::Program PocketPcProgram(std::shared_ptr<const PocketPcExe> exe, Cpu cpu, Budgets budgets = {});

}  // namespace emulator

#endif
