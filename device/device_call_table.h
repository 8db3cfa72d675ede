// The list of device/device_calls.h as a table for host code, which has
// no Windows types: each call's name and whether --fail and the fault sweep
// may fail it, in the list's order; and the names made from it that the
// host's tools ask for.
#ifndef TRQ_DEVICE_CALL_TABLE_H
#define TRQ_DEVICE_CALL_TABLE_H

#include <cstddef>
#include <string>
#include <vector>

#include "device/device_calls.h"

namespace device_calls {

struct Call {
    const char* name;
    Faults faults;
    Tier tier;  // the lowest tier of program that may import it
};

#define TRQ_UNINSTALLER_CALL_ENTRY(type, name, params, args, faults, kinds) {#name, faults, Uninstaller},
#define TRQ_TRACE_CALL_ENTRY(type, name, params, args, faults, kinds) {#name, faults, Trace},
#define TRQ_KIT_CALL_ENTRY(type, name, params, args, faults, kinds) {#name, faults, Kit},
inline constexpr Call kCalls[] = {TRQ_DEVICE_CALLS(TRQ_UNINSTALLER_CALL_ENTRY)
                                      TRQ_TRACE_CALLS(TRQ_TRACE_CALL_ENTRY)
                                          TRQ_KIT_CALLS(TRQ_KIT_CALL_ENTRY)};
#undef TRQ_UNINSTALLER_CALL_ENTRY
#undef TRQ_TRACE_CALL_ENTRY
#undef TRQ_KIT_CALL_ENTRY

inline constexpr size_t kCallCount = sizeof kCalls / sizeof kCalls[0];

// How many calls a program of the tier may import.
constexpr size_t CallCount(Tier tier)
{
    size_t count = 0;
    for (const Call& call : kCalls) count += call.tier <= tier;
    return count;
}

// What a Pocket PC executable of a tier may import from COREDLL: the names
// of the calls of its tier and below. The uninstaller's are its 17 alone.
inline std::vector<std::string> CallNames(Tier tier = Uninstaller)
{
    std::vector<std::string> names;
    for (const Call& call : kCalls)
        if (call.tier <= tier) names.push_back(call.name);
    return names;
}

// The names of the calls of a tier and below that --fail and the fault
// sweep may fail.
inline std::vector<std::string> FaultableCallNames(Tier tier = Uninstaller)
{
    std::vector<std::string> names;
    for (const Call& call : kCalls)
        if (call.faults == Faultable && call.tier <= tier) names.push_back(call.name);
    return names;
}

}  // namespace device_calls

#endif
