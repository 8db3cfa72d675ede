#include "harness/runner/bound_device.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <type_traits>

namespace runner {

using sim::BackEnd;

namespace {

// The back end the device code's calls reach, and where a call that ends
// the run leaves to.
struct Binding {
    BackEnd* calls = nullptr;
    std::jmp_buf* stopped = nullptr;
};

thread_local Binding bound;

BackEnd& BoundBackEnd()
{
    if (!bound.calls) {
        (void)std::fputs("simulated device: a device call with no device bound to it\n", stderr);
        std::abort();
    }
    return *bound.calls;
}

// Makes one call on the bound back end, telling it of the call before and
// after with the call's words, and returns its result to the device code,
// unless the call ended the run.
template <typename R, typename Call>
R Serve(const device_calls::Row& row, const TraceWord* words, Call call)
{
    BackEnd& calls = BoundBackEnd();
    DWORD countsIn[device_calls::kMostParameters + 1];
    TakeCountsIn(row, words, countsIn);
    calls.Calling(row);
    TracedCall made{&row, words, countsIn, 0, 0};
    if constexpr (std::is_void_v<R>) {
        call(calls);
        made.error = calls.ErrorCode();
        calls.Returned(made);
        // NOLINTNEXTLINE(cert-err52-cpp): the device code has no exceptions; a stop leaves its frames this way
        if (calls.Stopped()) std::longjmp(*bound.stopped, 1);
    } else {
        R result = call(calls);
        made.result = ResultWord(result);
        made.error = calls.ErrorCode();
        calls.Returned(made);
        // NOLINTNEXTLINE(cert-err52-cpp): the device code has no exceptions; a stop leaves its frames this way
        if (calls.Stopped()) std::longjmp(*bound.stopped, 1);
        return result;
    }
}

}  // namespace

// Nothing in the frames a stop leaves has a destructor: the device code's
// own, Serve's, and this one's, whose locals are plain.
int RunBound(BackEnd& calls, const std::function<int()>& code)
{
    const Binding outer = bound;
    std::jmp_buf stopped;
    bound = Binding{&calls, &stopped};
    // NOLINTNEXTLINE(cert-err52-cpp): where a stop leaves the device code to; it has no exceptions
    if (setjmp(stopped) != 0) {
        bound = outer;
        return 0;
    }
    const int result = code();
    bound = outer;
    return result;
}

}  // namespace runner

// The device calls of device/device.h, with C linkage as COREDLL exports them.
#define TRQ_BIND_DEVICE_CALL(type, name, params, args, faults, success, kinds)                     \
    extern "C" type name params                                                                    \
    {                                                                                              \
        const auto words = runner::CallWords args;                                                 \
        return runner::Serve<type>(device_calls::call::name, words.data() + 1,                     \
                                   [&](sim::BackEnd& calls) { return calls.name args; });          \
    }
TRQ_DEVICE_CALLS(TRQ_BIND_DEVICE_CALL)
#undef TRQ_BIND_DEVICE_CALL
