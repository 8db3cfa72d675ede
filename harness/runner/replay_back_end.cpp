#include "harness/runner/replay_back_end.h"

#include <algorithm>
#include <cstring>

#include "flow/uninstall.h"
#include "harness/runner/bound_device.h"

namespace runner {

using device_calls::Arg;
using device_calls::Kind;
using device_calls::Unit;
using Type = JsonValue::Type;

namespace {

// The host's call, given what the caller gave, as the record writer writes
// it: what the call gives back is left null (it has not been made), and
// handles are those the device used.
std::string GivenRecord(const CallShape& shape, const TraceWord* words, const std::function<uint32_t(TraceWord)>& device)
{
    Arg kinds[kMostParameters];
    TraceWord args[kMostParameters];
    DWORD countsIn[kMostParameters];
    for (unsigned i = 0; i < shape.count; ++i) {
        kinds[i] = GivenByCaller(shape.kinds[i].kind) ? shape.kinds[i] : device_calls::Reserved();
        args[i] = kinds[i].kind == Kind::Handle ? device(words[i]) : words[i];
    }
    TakeCountsIn(kinds, shape.count, args, countsIn);
    const TracedCall call{0, shape.name, shape.parameterNames, kinds, shape.count, args, countsIn, NoResult(), 0};
    char text[kTraceLineSize];
    std::string line(text, WriteCallRecord(call, text, sizeof text));
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

// Hexadecimal pairs as bytes, as far as they go.
std::vector<uint8_t> HexBytes(const std::u16string& hex)
{
    std::vector<uint8_t> bytes;
    auto digit = [](char16_t c) { return c >= u'0' && c <= u'9' ? c - u'0' : c >= u'a' && c <= u'f' ? c - u'a' + 10 : -1; };
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int hi = digit(hex[i]), lo = digit(hex[i + 1]);
        if (hi < 0 || lo < 0) break;
        bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return bytes;
}

// A buffer's size in its units, as the caller gave it.
unsigned Units(const CallShape& shape, const TraceWord* words, const Arg& arg)
{
    if (arg.sizeArg < 0) return arg.fixedSize;
    const unsigned k = static_cast<unsigned>(arg.sizeArg);
    if (shape.kinds[k].kind == Kind::CountInOut)
        return words[k] ? *reinterpret_cast<const DWORD*>(static_cast<ULONG_PTR>(words[k])) : 0;
    return static_cast<DWORD>(words[k]);
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

TraceWord ReplayBackEnd::HostPointer(const CallShape& shape, const TraceWord* words, const JsonValue* ret)
{
    uint32_t device = 0;
    if (!ParseHandle(ret, device) || !device) return 0;
    if (&shape != &call_shapes::HeapAlloc) return HostHandle(device);
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

const TraceRecord* ReplayBackEnd::Next(const CallShape& shape, const TraceWord* words)
{
    const int n = ++calls_;
    if (stopped_) return nullptr;
    const std::string given =
        GivenRecord(shape, words, [this](TraceWord host) { return DeviceHandle(host); });
    JsonValue host;
    std::string error;
    ParseJsonLine(given, host, error);  // the writer's own line
    const std::string hostCall = DescribeCall(shape.name, host);
    const size_t recorded = run_.calls.size();
    if (static_cast<size_t>(n) > recorded) {
        stopped_ = true;
        if (static_cast<size_t>(n) == recorded + 1 && !run_.endedIn.empty()) {
            if (run_.endedIn == shape.name) (cutShort_ ? reachedCut : endedAsDevice) = true;
            else Diverge(n, "the device's run ended in " + run_.endedIn + ", which never returned; the host build called " + hostCall);
        } else if (cutShort_) {
            reachedCut = true;
        } else {
            Diverge(n, "the device made no such call (its run returned); the host build called " + hostCall);
        }
        return nullptr;
    }
    const TraceRecord& device = run_.calls[static_cast<size_t>(n) - 1];
    const std::string deviceCall = DescribeCall(device.call, device.record);
    std::string differs;
    if (device.call != shape.name) {
        Diverge(n, "the device called " + deviceCall + "; the host build called " + hostCall);
        return nullptr;
    }
    {
        differs = DifferingArgument(shape, device.record, host, false, [](uint32_t a, uint32_t b) { return a == b; });
        if (differs.empty()) {
            const JsonValue* args = device.record.Find("args");
            for (unsigned i = 0; i < shape.count && differs.empty(); ++i) {
                if (GivenByCaller(shape.kinds[i].kind)) continue;
                const JsonValue* v = args->Find(ParameterName(shape, i));
                if ((!v || v->Is(Type::Null)) != !words[i]) differs = ParameterName(shape, i) + " null on one side only";
            }
        }
        if (!differs.empty() && differs.find(' ') == std::string::npos) differs += " differs";
    }
    if (!differs.empty()) {
        Diverge(n, "the device called " + deviceCall + "; the host build called " + hostCall + " (" + differs + ")");
        return nullptr;
    }
    const JsonValue* errorCode = device.record.Find("error");
    error_ = static_cast<DWORD>(errorCode->number);
    return &device;
}

void ReplayBackEnd::GiveBack(const CallShape& shape, const TraceWord* words, const TraceRecord& device)
{
    const JsonValue& args = *device.record.Find("args");
    // Sizes first: a count the call sets may give a buffer its size.
    unsigned units[kMostParameters];
    for (unsigned i = 0; i < shape.count; ++i) units[i] = Units(shape, words, shape.kinds[i]);
    for (unsigned i = 0; i < shape.count; ++i) {
        const Arg& arg = shape.kinds[i];
        void* out = reinterpret_cast<void*>(static_cast<ULONG_PTR>(words[i]));
        const JsonValue* v = args.Find(ParameterName(shape, i));
        if (!out || !v || (GivenByCaller(arg.kind) && arg.kind != Kind::CountInOut)) continue;
        switch (arg.kind) {
        case Kind::BufferOut:
            if (!v->Is(Type::String)) break;
            if (arg.unit == Unit::Chars) {
                const size_t n = std::min<size_t>(v->text.size(), units[i]);
                std::memcpy(out, v->text.data(), n * sizeof(char16_t));
                if (n < units[i]) static_cast<char16_t*>(out)[n] = 0;
            } else {
                const std::vector<uint8_t> bytes = HexBytes(v->text);
                std::memcpy(out, bytes.data(), std::min<size_t>(bytes.size(), units[i]));
            }
            break;
        case Kind::WordOut:
            if (v->integral) *static_cast<DWORD*>(out) = static_cast<DWORD>(v->number);
            break;
        case Kind::CountInOut:
            if (const JsonValue* said = v->Find("out"); said && said->integral)
                *static_cast<DWORD*>(out) = static_cast<DWORD>(said->number);
            break;
        case Kind::HandleOut: {
            uint32_t handle;
            if (!ParseHandle(v, handle)) break;
            const TraceWord host = HostHandle(handle);
            std::memcpy(out, &host, sizeof host);
            break;
        }
        default:
            break;
        }
    }
}

void ReplayBackEnd::Returned()
{
    if (stopped_) return;
    const size_t made = static_cast<size_t>(calls_);
    const std::string returned = "the host build's run returned after " + std::to_string(made) + " calls; ";
    if (made < run_.calls.size()) {
        const TraceRecord& device = run_.calls[made];
        Diverge(calls_ + 1, returned + "the device called " + DescribeCall(device.call, device.record));
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
