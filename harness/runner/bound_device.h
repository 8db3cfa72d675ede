// The device code built for this host, run on a simulated device.
//
// The device code calls the platform by its own names (device/device.h),
// as free functions with no device to hand. Here those functions are made,
// one from each entry of device/device_calls.h, and each reaches the
// device that RunBound bound for the run: one device per thread, bound for
// as long as the device code runs.
//
// A call that ends the run on a real device (a soft reset, a box nobody
// answers: DeviceSession::Stopped) must leave the device code at once, as
// the device would never return to it. The device code keeps nothing that
// needs undoing, so the one way out is here: the call's free function
// jumps back to RunBound (longjmp), past frames of the device code only.
#ifndef TRQ_HARNESS_RUNNER_BOUND_DEVICE_H
#define TRQ_HARNESS_RUNNER_BOUND_DEVICE_H

#include <functional>

#include "platform/sim/services.h"

namespace runner {

using sim::DeviceSession;

// Runs code (device code, or a test's call of part of it) with the device
// calls bound to device; its result, or 0 when the device stopped the run.
int RunBound(DeviceSession& device, const std::function<int()>& code);

}  // namespace runner

#endif
