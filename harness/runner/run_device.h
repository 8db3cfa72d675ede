// Running the uninstaller on a simulated device, start to finish, the way
// the device would: what it deletes stays deleted, and a soft reset restarts
// the device and ends the run there.
#ifndef TRQ_HARNESS_RUNNER_RUN_DEVICE_H
#define TRQ_HARNESS_RUNNER_RUN_DEVICE_H

#include <ostream>
#include <string>
#include <vector>

#include "platform/sim/services.h"

namespace runner {

using sim::BoxAnswerer;
using sim::BoxRecord;
using sim::DeviceImage;
using sim::DeviceSession;
using sim::FaultPlan;
using sim::Stop;
using sim::Trace;

// What runs on the device: by default RunUninstall, the device code built
// for this host. Another program (the Pocket PC executable in the ARM
// emulator, harness/emulator/) makes the same calls through the session
// and returns the exit code; if it breaks down it sets Stop::Fault.
using Program = std::function<int(DeviceSession&)>;

struct RunOptions {
    Program program;             // none: RunUninstall
    BoxAnswerer answerer;        // none: every box stops the run
    FaultPlan faults;            // none: every call behaves
    bool resetReturns = false;   // the reset request comes back, nothing changed
    // The trace, in the trace build's format, as the calls happen: the
    // run's first record the device's facts, naming build (the device
    // code's id), then each call.
    std::ostream* trace = nullptr;
    std::string build;
    // true: RunOutcome keeps every trace record and box for the caller to
    // read. Off, the run holds none of them (the command line writes the
    // trace as it goes and needs neither).
    bool keepRecords = false;
    // false: registry.reg and device.ini are not written back; the image in
    // memory has the changes (its files/ changes on disk all the same). For
    // runs that go on from the image in memory, many times over.
    bool writeBack = true;
    // The device path the program is known by (GetModuleFileNameW answers
    // it), and whether it is the program's image among the device's files,
    // which is then held open while it runs. Empty: "\TRQUninstall.exe".
    std::u16string programPath;
    bool programOnDevice = false;
};

struct RunOutcome : sim::RunReport {
    int exitCode = 0;  // RunUninstall's result; 0 after a reset
    Trace trace;       // records with RunOptions::keepRecords only
};

// Runs RunUninstall on the image and writes back what changed (registry.reg,
// and device.ini after a restart or when the programs still running
// changed). False, with error, only when the image could not be written
// back.
bool RunUninstallOn(DeviceImage& image, const RunOptions& options, RunOutcome& outcome,
                    std::string& error);

// A soft reset of the device: the programs the user started are gone, so the
// files they held open are released, and the device starts again and holds
// open what its start-up rules name (device_startup.h). Writes device.ini.
bool RestartDevice(DeviceImage& image, std::string& error);

// Answers question boxes from a list (IDYES, IDNO, IDCANCEL) in order and
// acknowledges boxes that only have OK.
BoxAnswerer ScriptedAnswers(std::vector<int> answers);

// "yes", "no", "cancel" (any case, or y/n/c) as IDYES, IDNO, IDCANCEL; 0 if none.
int ParseAnswer(const std::string& word);
bool IsQuestion(uint32_t flags);  // has Yes and No buttons
bool HasButton(uint32_t flags, int id);

}  // namespace runner

#endif
