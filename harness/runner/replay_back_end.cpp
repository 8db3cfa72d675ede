#include "harness/runner/replay_back_end.h"

#include <algorithm>
#include <cstring>

#include "flow/uninstall.h"
#include "harness/runner/bound_device.h"

namespace runner {

using device_calls::Arg;
using device_calls::Kind;
using device_calls::Unit;
using sim::CallValue;
using Is = CallValue::Is;

namespace {

// The device's call as a report names it, whether the list has it or not.
std::string Described(const TraceRecord& device)
{
    return device.record.call ? sim::DescribeCall(device.record) : device.call;
}

}  // namespace

void ReplayBackEnd::Diverge(int call, const std::string& what)
{
    stopped_ = true;
    if (divergedAt) return;
    divergedAt = call;
    divergence = what;
}

uint32_t ReplayBackEnd::DeviceHandle(TraceWord host) const
{
    auto it = deviceOf_.find(host);
    return it != deviceOf_.end() ? it->second : static_cast<uint32_t>(host);
}

TraceWord ReplayBackEnd::HostHandle(uint32_t device)
{
    if (!device) return 0;
    if (device >= 0x80000000u && device <= 0x8000000Fu)  // the registry's roots, sign-extended as on the host
        return static_cast<TraceWord>(static_cast<intptr_t>(static_cast<int32_t>(device)));
    auto it = hostOf_.find(device);
    if (it != hostOf_.end()) return it->second;
    const TraceWord host = nextHandle_;
    nextHandle_ += 0x10;
    hostOf_[device] = host;
    deviceOf_[host] = device;
    return host;
}

TraceWord ReplayBackEnd::HostPointer(const device_calls::Row& row, const TraceWord* words, const CallValue& ret)
{
    const uint32_t device = ret.is == Is::Handle ? static_cast<uint32_t>(ret.number) : 0;
    if (!device) return 0;
    if (&row != &device_calls::call::HeapAlloc) return HostHandle(device);
    // A block of the size the host asked for; the device may give the same
    // address again once a block is freed.
    const size_t bytes = static_cast<size_t>(words[2]);
    blocks_.push_back(std::make_unique<uint8_t[]>(bytes ? bytes : 1));
    std::memset(blocks_.back().get(), 0xCD, bytes);
    const TraceWord host = reinterpret_cast<TraceWord>(blocks_.back().get());
    hostOf_[device] = host;
    deviceOf_[host] = device;
    return host;
}

sim::RecordedCall ReplayBackEnd::HostCall(const device_calls::Row& row, const TraceWord* words) const
{
    // What the host's caller gave, its handles the device's: what the call
    // gives back is left out (it has not been made).
    TraceWord given[device_calls::kMostParameters + 1];
    DWORD countsIn[device_calls::kMostParameters + 1];
    for (unsigned i = 0; i < row.paramCount; ++i) {
        const Kind kind = row.params[i].kind.kind;
        given[i] = !device_calls::GivenByCaller(kind) ? 0 : kind == Kind::Handle ? DeviceHandle(words[i]) : words[i];
    }
    TakeCountsIn(row, given, countsIn);
    return sim::CaptureCall(TracedCall{&row, given, countsIn, 0, 0});
}

std::string ReplayBackEnd::Differs(const sim::RecordedCall& device, const sim::RecordedCall& host,
                                   const TraceWord* words)
{
    const device_calls::Row& row = *host.call;
    const std::string differs =
        sim::DifferingArgument(device, host, false, [](uint32_t a, uint32_t b) { return a == b; });
    if (!differs.empty()) return differs + " differs";
    for (unsigned i = 0; i < row.paramCount; ++i) {
        if (device_calls::GivenByCaller(row.params[i].kind.kind)) continue;
        const CallValue& v = device.args[i];
        if (v.Absent() != !words[i])
            return std::string(row.params[i].name) + " null on one side only";
    }
    return "";
}

const TraceRecord* ReplayBackEnd::Next(const device_calls::Row& row, const TraceWord* words)
{
    const int n = ++calls_;
    if (stopped_) return nullptr;
    const sim::RecordedCall host = HostCall(row, words);
    const std::string hostCall = sim::DescribeCall(host);
    const size_t recorded = run_.calls.size();
    if (static_cast<size_t>(n) > recorded) {
        stopped_ = true;
        if (static_cast<size_t>(n) == recorded + 1 && !run_.endedIn.empty()) {
            if (run_.endedIn == row.name) (cutShort_ ? reachedCut : endedAsDevice) = true;
            else Diverge(n, "the device's run ended in " + run_.endedIn + ", which never returned; the host build called " + hostCall);
        } else if (cutShort_) {
            reachedCut = true;
        } else {
            Diverge(n, "the device made no such call (its run returned); the host build called " + hostCall);
        }
        return nullptr;
    }
    const TraceRecord& device = run_.calls[static_cast<size_t>(n) - 1];
    if (device.record.call != &row) {
        Diverge(n, "the device called " + Described(device) + "; the host build called " + hostCall);
        return nullptr;
    }
    const std::string differs = Differs(device.record, host, words);
    if (!differs.empty()) {
        Diverge(n, "the device called " + Described(device) + "; the host build called " + hostCall + " (" + differs + ")");
        return nullptr;
    }
    error_ = device.record.error;
    return &device;
}

void ReplayBackEnd::GiveBack(const device_calls::Row& row, const TraceWord* words, const sim::RecordedCall& device)
{
    // Sizes first, as the caller gave them: a count the call sets may give
    // a buffer its size.
    DWORD countsIn[device_calls::kMostParameters + 1];
    TakeCountsIn(row, words, countsIn);
    unsigned units[device_calls::kMostParameters + 1];
    for (unsigned i = 0; i < row.paramCount; ++i) {
        const Arg& arg = row.params[i].kind;
        units[i] = device_calls::BufferUnits(arg, device_calls::SizeValue(row, arg, words, countsIn));
    }
    for (unsigned i = 0; i < row.paramCount; ++i) {
        const Arg& arg = row.params[i].kind;
        void* out = reinterpret_cast<void*>(static_cast<ULONG_PTR>(words[i]));
        const CallValue& v = device.args[i];
        if (!out || (device_calls::GivenByCaller(arg.kind) && arg.kind != Kind::CountInOut)) continue;
        if (arg.kind == Kind::BufferOut && v.is == Is::Text) {
            const size_t n = std::min<size_t>(v.text.size(), units[i]);
            std::memcpy(out, v.text.data(), n * sizeof(char16_t));
            if (n < units[i]) static_cast<char16_t*>(out)[n] = 0;
        } else if (arg.kind == Kind::BufferOut && v.is == Is::Bytes) {
            std::memcpy(out, v.bytes.data(), std::min<size_t>(v.bytes.size(), units[i]));
        } else if ((arg.kind == Kind::WordOut && v.is == Is::Number) ||
                   (arg.kind == Kind::CountInOut && v.is == Is::Count)) {
            *static_cast<DWORD*>(out) = static_cast<DWORD>(v.number);
        } else if (arg.kind == Kind::HandleOut && v.is == Is::Handle) {
            const TraceWord host = HostHandle(static_cast<uint32_t>(v.number));
            std::memcpy(out, &host, sizeof host);
        }
    }
}

void ReplayBackEnd::Returned()
{
    if (stopped_) return;
    const size_t made = static_cast<size_t>(calls_);
    const std::string returned = "the host build's run returned after " + std::to_string(made) + " calls; ";
    if (made < run_.calls.size()) {
        Diverge(calls_ + 1, returned + "the device called " + Described(run_.calls[made]));
    } else if (!run_.endedIn.empty()) {
        Diverge(calls_ + 1, returned + "the device's run ended in " + run_.endedIn + ", which never returned");
    }
}

ReplayOutcome ReplayRun(const TraceRun& run, bool cutShort)
{
    ReplayBackEnd replay(run, cutShort);
    RunBound(replay, RunUninstall);
    replay.Returned();
    return ReplayOutcome{replay.Calls(), replay.divergedAt, replay.divergence, replay.endedAsDevice, replay.reachedCut};
}

}  // namespace runner
