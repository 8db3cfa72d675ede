// One run of a device's trace played back to the device code built for this
// host: each call the host build makes is compared with the device's call of
// the same number, and answered as the device answered it (what it returned,
// its error code, what buffers, words, counts and handles out held, the
// buttons pressed). The host build must make exactly the device's calls,
// with the same arguments, in the same order.
//
// Handles and pointers differ between the device and the host: a handle the
// device returned is handed to the host as one of the replay's own, and a
// block the device's HeapAlloc returned as real host memory of the size the
// host asked for; the host's call is taken from its words as the device's
// record was (sim::CaptureCall), its handles the device's, and compared
// with the device's record value by value.
#ifndef TRQ_HARNESS_RUNNER_REPLAY_BACK_END_H
#define TRQ_HARNESS_RUNNER_REPLAY_BACK_END_H

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "harness/runner/bound_device.h"
#include "harness/runner/device_trace.h"
#include "platform/sim/back_end.h"

namespace runner {

class ReplayBackEnd final : public sim::BackEnd {
public:
    // cutShort: the trace ends in a partial line right after this run, so a
    // call past its last record is where the trace stops, not a difference.
    ReplayBackEnd(const TraceRun& run, bool cutShort) : run_(run), cutShort_(cutShort) {}

#define TRQ_REPLAYED_CALL(type, name, params, args, faults, success, kinds) \
    type name params override                                               \
    {                                                                       \
        auto words = CallWords args;                                        \
        return Answer<type>(device_calls::call::name, words.data() + 1);    \
    }
    TRQ_DEVICE_CALLS(TRQ_REPLAYED_CALL)
#undef TRQ_REPLAYED_CALL

    bool Stopped() const override { return stopped_; }
    DWORD ErrorCode() const override { return error_; }

    // The device code returned: a call the device made and the host did not
    // is a difference too.
    void Returned();

    int Calls() const { return calls_; }  // made by the host build
    // The first call where the two differ, from 1, and what each did there;
    // 0 when they never do.
    int divergedAt = 0;
    std::string divergence;
    bool endedAsDevice = false;  // the host made the call the device's run ended in
    bool reachedCut = false;     // the host went on where the trace is cut short

private:
    template <typename R>
    R Answer(const device_calls::Row& row, const TraceWord* words)
    {
        const TraceRecord* device = Next(row, words);
        if (device) GiveBack(row, words, device->record);
        if constexpr (std::is_void_v<R>) {
            return;
        } else {
            if (!device) return R{};
            const sim::CallValue& ret = device->record.result;
            if constexpr (std::is_pointer_v<R>) {
                return reinterpret_cast<R>(HostPointer(row, words, ret));
            } else {
                return static_cast<R>(ret.is == sim::CallValue::Is::Number ? ret.number : 0);
            }
        }
    }
    // The device's record to answer from, or null when the run stops here.
    const TraceRecord* Next(const device_calls::Row& row, const TraceWord* words);
    // The host's call as its caller gave it, with the device's handles.
    sim::RecordedCall HostCall(const device_calls::Row& row, const TraceWord* words) const;
    // Why the host's call differs from the device's record of it; "" when
    // it does not.
    static std::string Differs(const sim::RecordedCall& device, const sim::RecordedCall& host, const TraceWord* words);
    void GiveBack(const device_calls::Row& row, const TraceWord* words, const sim::RecordedCall& device);
    TraceWord HostPointer(const device_calls::Row& row, const TraceWord* words, const sim::CallValue& ret);
    TraceWord HostHandle(uint32_t device);
    uint32_t DeviceHandle(TraceWord host) const;
    void Diverge(int call, const std::string& what);

    const TraceRun& run_;
    const bool cutShort_;
    int calls_ = 0;
    bool stopped_ = false;
    DWORD error_ = 0;
    std::map<uint32_t, TraceWord> hostOf_;    // device handle -> the host's
    std::map<TraceWord, uint32_t> deviceOf_;  // host handle -> the device's
    TraceWord nextHandle_ = 0x10000;
    std::vector<std::unique_ptr<uint8_t[]>> blocks_;  // HeapAlloc's, kept until the replay ends
};

// The host build's RunUninstall on the replay of run: where it differs
// from the device's, if anywhere.
struct ReplayOutcome {
    int calls = 0;  // the host build made
    int divergedAt = 0;
    std::string divergence;
    bool endedAsDevice = false;
    bool reachedCut = false;
};
ReplayOutcome ReplayRun(const TraceRun& run, bool cutShort);

}  // namespace runner

#endif
