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
};

#define TRQ_DEVICE_CALL_ENTRY(type, name, params, args, faults, kinds) {#name, faults},
inline constexpr Call kCalls[] = {TRQ_DEVICE_CALLS(TRQ_DEVICE_CALL_ENTRY)};
#undef TRQ_DEVICE_CALL_ENTRY

inline constexpr size_t kCallCount = sizeof kCalls / sizeof kCalls[0];

// Every call's name: what a Pocket PC executable may import from COREDLL.
inline std::vector<std::string> CallNames()
{
    std::vector<std::string> names;
    for (const Call& call : kCalls) names.push_back(call.name);
    return names;
}

// The names of the calls --fail and the fault sweep may fail.
inline std::vector<std::string> FaultableCallNames()
{
    std::vector<std::string> names;
    for (const Call& call : kCalls)
        if (call.faults == Faultable) names.push_back(call.name);
    return names;
}

}  // namespace device_calls

#endif
