// Fault rules: a short text form of the faults a simulated device injects
// into a program's platform calls (the uninstaller's, its trace build's and
// the device kit's), for the command line (--fail RULE) and for tests.
//
//   RULE     = SELECTOR ":" EFFECTS
//   SELECTOR = CALL ["(" ARGUMENT ")"] ["#" N]
//   CALL     = "call" (any call) or the name of a call of any tier that
//              the list of device/device_calls.h marks Faultable, any case:
//              every device call but GetProcessHeap and Sleep
//   ARGUMENT = what the call is about, compared without regard to case: a
//              path, a value name, a CSIDL number (7 Startup, 2 Programs),
//              the byte count of a HeapAlloc, a box text, an IOCTL number,
//              a copy's source, an event's name, a program started, an
//              SPI_ action number, an EventModify function.
//              It ends at the first ")" that is followed by "#N:" or ":".
//   N        = which of the calls the selector matches, from 1: "call#17" is
//              the 17th call of the run, "DeleteFileW#3" the third deletion,
//              "DeleteFileW(\Temp\TRQSetup.log)#2" the second deletion of that
//              path. Without it, every call the selector matches fails.
//   EFFECTS  = "fail" (the call's own way of failing, see services.h), or
//              effects separated by ",":
//                error=CODE    the thread's error code, or the status returned
//                result=NUM    the call's return value
//                type=TYPE     RegQueryValueExW: the value type it reports
//                data=BYTES    RegQueryValueExW: the bytes it returns; must be
//                              last, as it runs to the end of the rule:
//                              "hex:41,00,42,00" or "hex:" (no bytes), or
//                              "text:\Some Dir" (UTF-16LE with a terminator)
//              CODE, NUM and TYPE are decimal, 0x hexadecimal, or a name:
//              ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED,
//              ERROR_SHARING_VIOLATION, ERROR_DISK_FULL, ... REG_SZ,
//              REG_DWORD, ... IDYES, ... WAIT_TIMEOUT, ...
//
// Examples: "DeleteFileW#3:error=32", "HeapAlloc:fail",
// "SHGetSpecialFolderPath(7):fail", "GetTempPathW:result=300",
// "RegQueryValueExW(InstallDir):type=REG_BINARY,data=hex:41,00",
// "call#17:fail".
//
// When several rules match a call, the first one given wins.
#ifndef TRQ_SIM_FAULT_RULES_H
#define TRQ_SIM_FAULT_RULES_H

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/services.h"

namespace sim {

struct FaultRule {
    std::string op;                       // a call's name; empty: any call
    std::optional<std::string> argument;  // compared without regard to case
    int nth = 0;                          // 0: every match
    Fault fault;
    std::string text;                     // the rule as written
};

// False with a reason in error ("unknown call \"X\"", ...).
bool ParseFaultRule(const std::string& text, FaultRule& out, std::string& error);

// Called each time a rule makes a call fail: the rule, the call's name, its
// position in the run and its argument.
using FaultObserver = std::function<void(const FaultRule& rule, const std::string& op, int index,
                                         const std::string& argument)>;

// A fault plan that applies the rules. Counting for "#N" starts again with
// each run (at the run's first call), so one plan serves several runs.
FaultPlan MakeFaultPlan(std::vector<FaultRule> rules, FaultObserver observer = {});

}  // namespace sim

#endif
