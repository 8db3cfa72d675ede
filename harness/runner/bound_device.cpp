#include "harness/runner/bound_device.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <type_traits>

namespace runner {

using sim::DeviceSession;

namespace {

// The device the device code's calls reach, and where a call that ends the
// run leaves to.
struct Binding {
    DeviceSession* device = nullptr;
    std::jmp_buf* stopped = nullptr;
};

thread_local Binding bound;

DeviceSession& BoundDevice()
{
    if (!bound.device) {
        std::fputs("simulated device: a device call with no device bound to it\n", stderr);
        std::abort();
    }
    return *bound.device;
}

// Makes one call on the bound device and returns its result to the device
// code, unless the call ended the run.
template <typename Call>
auto Serve(Call call) -> decltype(call(BoundDevice()))
{
    DeviceSession& device = BoundDevice();
    if constexpr (std::is_void_v<decltype(call(device))>) {
        call(device);
        if (device.Stopped()) std::longjmp(*bound.stopped, 1);
    } else {
        auto result = call(device);
        if (device.Stopped()) std::longjmp(*bound.stopped, 1);
        return result;
    }
}

// Nothing in the frames a stop leaves has a destructor: the device code's
// own, Serve's, and RunDevice's below, whose locals are plain.
int RunDevice(DeviceSession& device, const std::function<int()>& code)
{
    const Binding outer = bound;
    std::jmp_buf stopped;
    bound = Binding{&device, &stopped};
    if (setjmp(stopped) != 0) {
        bound = outer;
        return 0;
    }
    const int result = code();
    bound = outer;
    return result;
}

}  // namespace

int RunBound(DeviceSession& device, const std::function<int()>& code)
{
    return RunDevice(device, code);
}

}  // namespace runner

// The device calls of device/device.h, with C linkage as COREDLL exports them.
#define TRQ_BIND_DEVICE_CALL(type, name, params, args, faults, kinds)                 \
    extern "C" type name params                                                       \
    {                                                                                 \
        return runner::Serve([&](sim::DeviceSession& device) { return device.name args; }); \
    }
TRQ_DEVICE_CALLS(TRQ_BIND_DEVICE_CALL)
#undef TRQ_BIND_DEVICE_CALL
