// A back end that passes every call on to another and writes it down as the
// trace build does on a device ("\TRQ Uninstall trace.txt"): before the call
// a line {"calling":NAME}, after it the call's record (platform/trace/
// call_record.h), without "n", as the device writes it. A call that ends
// the run (a soft reset the device takes, a box nobody answers) gets no
// record: on a device it never returns.
#ifndef TRQ_HARNESS_RUNNER_RECORDING_BACK_END_H
#define TRQ_HARNESS_RUNNER_RECORDING_BACK_END_H

#include <ostream>
#include <string>

#include "harness/runner/run_device.h"
#include "harness/runner/trace_calls.h"
#include "platform/sim/back_end.h"

namespace runner {

class RecordingBackEnd final : public sim::BackEnd {
public:
    // Writes to out, which must outlive the recorder; nothing is flushed.
    RecordingBackEnd(sim::BackEnd& calls, std::ostream& out) : calls_(calls), out_(out) {}

#define TRQ_RECORDED_CALL(type, name, params, args, faults, kinds)                     \
    type name params override                                                          \
    {                                                                                  \
        const auto words = CallWords args;                                             \
        return Record<type>(call_shapes::name, words.data() + 1, [&] { return calls_.name args; }); \
    }
    TRQ_DEVICE_CALLS(TRQ_RECORDED_CALL)
#undef TRQ_RECORDED_CALL

    bool Stopped() const override { return calls_.Stopped(); }
    DWORD ErrorCode() const override { return calls_.ErrorCode(); }

private:
    template <typename R, typename Call>
    R Record(const CallShape& shape, const TraceWord* args, Call call)
    {
        WriteCalling(shape);
        DWORD countsIn[kMostParameters];
        TakeCountsIn(shape.kinds, shape.count, args, countsIn);
        if constexpr (std::is_void_v<R>) {
            call();
            if (!calls_.Stopped()) WriteRecord(shape, args, countsIn, NoResult());
        } else {
            R result = call();
            if (!calls_.Stopped()) WriteRecord(shape, args, countsIn, ResultOf(result));
            return result;
        }
    }
    void WriteCalling(const CallShape& shape);
    void WriteRecord(const CallShape& shape, const TraceWord* args, const DWORD* countsIn, TraceResult result);

    sim::BackEnd& calls_;
    std::ostream& out_;
};

// What the trace build reads from COREDLL for a run's first record.
struct DeviceFacts {
    DWORD major, minor, build, platform;
    const char16_t* csd;       // the service pack's name
    const char* platformType;  // SPI_GETPLATFORMTYPE
    const char* oem;           // SPI_GETOEMINFO
};

// The simulated device has no such facts of its own; these stand for a
// Pocket PC running Windows Mobile 6 (Windows CE 5.2, VER_PLATFORM_WIN32_CE),
// fixed, so that a trace made on it reads as one from a device.
constexpr DeviceFacts kSimulatedDeviceFacts = {5, 2, 1236, 3, u"", "PocketPC", "Simulated Pocket PC"};

// A run's first record, as the trace build writes it: {"trace":"TRQ
// Uninstall","build":BUILD,"os":{...},"platformType":...,"oem":...}.
void WriteFactsRecord(std::ostream& out, const std::string& build, const DeviceFacts& facts);

// RunUninstall, its calls written to out as a device's trace build writes
// them: the simulated device's facts first, naming build, then each call.
// Nothing is flushed; out must outlive the run.
Program TracedAsDevice(std::ostream& out, const std::string& build);

}  // namespace runner

#endif
