// The device code built for this host, run on a back end: the simulated
// device, or anything else that answers the device calls (platform/sim/back_end.h).
//
// The device code calls the platform by its own names (device/device.h),
// as free functions with no device to hand. Here those functions are made,
// one from each entry of device/device_calls.h, and each reaches the back
// end that RunBound bound for the run through its member of the same name
// (one virtual call), telling it of the call before and after
// (BackEnd::Calling, Returned): one back end per thread, bound for as long
// as the device code runs.
//
// A call that ends the run on a real device (a soft reset, a box nobody
// answers: BackEnd::Stopped) must leave the device code at once, as the
// device would never return to it. The device code keeps nothing that
// needs undoing, so the one way out is here: the call's free function
// jumps back to RunBound (longjmp), past frames of the device code only.
#ifndef TRQ_HARNESS_RUNNER_BOUND_DEVICE_H
#define TRQ_HARNESS_RUNNER_BOUND_DEVICE_H

#include <array>
#include <functional>

#include "platform/sim/back_end.h"

namespace runner {

using sim::BackEnd;

// A call's arguments as the words of its record (platform/trace/
// call_record.h), after a stand-in, so that a call without arguments has
// an array too: the call's words start at data() + 1.
template <typename... A>
std::array<TraceWord, sizeof...(A) + 1> CallWords(A... args)
{
    return {{0, WordOf(args)...}};
}

// Runs code (device code, or a test's call of part of it) with the device
// calls bound to calls; its result, or 0 when the back end stopped the run.
int RunBound(BackEnd& calls, const std::function<int()>& code);

}  // namespace runner

#endif
