// A Pocket PC that runs the ARM TRQUninstall.exe: the executable loaded as
// Windows CE loads it, on an emulated StrongARM or XScale processor, its
// COREDLL calls served by the simulated device (coredll.h).
#ifndef TRQ_EMULATOR_POCKETPC_H
#define TRQ_EMULATOR_POCKETPC_H

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/emulator/arm_machine.h"
#include "platform/emulator/coredll.h"
#include "platform/emulator/wince_loader.h"
#include "platform/sim/run_device.h"

namespace emulator {

struct PocketPcExe {
    std::string name;     // the file's name, for messages
    LoadedImage image;
    std::vector<ServeCall> imports;  // in the order of image.imports
};

// Reads and loads the executable. False, with the reason in error, for
// what a Pocket PC would refuse (wince_loader.h), and for an import from
// any library but COREDLL.dll or of a name the emulated COREDLL does not
// serve: it serves the device calls of platform/device.h.
bool LoadPocketPcExe(const std::filesystem::path& file, PocketPcExe& exe, std::string& error);

// How many instructions a run may take before it counts as hung. The
// uninstaller takes some tens of thousands.
constexpr uint64_t kInstructionBudget = 20'000'000;

// The executable as the program a simulated device runs (RunOptions). A
// fault of the emulated program (an invalid instruction, memory it was not
// given, a call to no import, a run past the budget) ends the run with
// Stop::Fault and a message naming the address and the cause; what its
// calls did to the device stays done.
sim::Program PocketPcProgram(std::shared_ptr<const PocketPcExe> exe, Cpu cpu,
                             uint64_t budget = kInstructionBudget);

}  // namespace emulator

#endif
