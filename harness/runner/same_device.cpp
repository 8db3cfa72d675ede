#include "harness/runner/same_device.h"

#include "formats/text.h"

namespace runner {

using device_calls::Kind;
using formats::EqualsIgnoreCase;
using formats::Utf16ToUtf8Lossy;
using sim::CallValue;
using sim::HandleOrigins;
using sim::RecordedCall;
using Is = CallValue::Is;

namespace {

std::string HoldPhrase(const std::string& how)
{
    if (how == "running program") return "for a running program";
    if (how == "open without sharing") return "for a file open without sharing";
    return "for a file held (" + how + ")";
}

// An answer as the report shows it: a number; a handle as the record
// writes it, "0x..." in quotes; text decoded and bytes as hexadecimal, in
// quotes; "nothing" where the record has none.
std::string Answer(const CallValue& v)
{
    if (v.is == Is::Missing) return "nothing";
    if (v.is == Is::Handle) return "\"" + sim::ShowValue(v) + "\"";
    if (v.is == Is::Count) return std::to_string(v.number);
    return sim::ShowValue(v);
}

std::string Described(const TraceRecord& call)
{
    return call.record.call ? sim::DescribeCall(call.record) : call.call;
}

// The device's answers and the simulated device's to the same call.
class Answers {
public:
    Answers(const KitLog* holds, SameDeviceRun& out) : holds_(holds), out_(out) {}

    // Whether handle a of the device stands for handle b of the simulated device.
    bool SameHandle(uint32_t a, uint32_t b) const { return HandleOrigins::Same(device_, a, simulated_, b); }

    void Compare(int n, const RecordedCall& device, const RecordedCall& sim)
    {
        device_.Learn(n, device);
        simulated_.Learn(n, sim);
        const bool pointer = device.call->returns == device_calls::Returns::Pointer;
        // A handle differs by being null on one side only: the same handle
        // otherwise, given out by each device.
        const bool retDiffers = pointer ? (device.result.number == 0) != (sim.result.number == 0)
                                        : device.result != sim.result;
        const bool errorDiffers = device.error != sim.error;
        const std::string dRet = Answer(device.result), sRet = Answer(sim.result);
        const std::string dError = std::to_string(device.error), sError = std::to_string(sim.error);
        std::string text;
        if (retDiffers && errorDiffers)
            text = "the device returned " + dRet + " with error " + dError + ", the simulated device " + sRet +
                   " with error " + sError;
        else if (retDiffers)
            text = "the device returned " + dRet + ", the simulated device " + sRet;
        else if (errorDiffers)
            text = "the device answered " + dError + ", the simulated device " + sError;
        const std::string label = sim::CallLabel(device);
        if (!text.empty()) Find(n, label + ": " + text + HeldBy(device));
        if (!sim::Succeeded(device) || !sim::Succeeded(sim)) return;
        CompareGivenBack(n, label, device, sim);
    }

    // The device's call never returned; the simulated device's did.
    void NeverReturned(int n, const RecordedCall& sim)
    {
        const std::string name = sim.call->name;
        Find(n, name + ": the device never returned from it (" + Ending(name) + "), the simulated device returned " +
                    Answer(sim.result) + " with error " + std::to_string(sim.error));
    }

    // The simulated device's call never returned; the device's did.
    void SimulatedNeverReturned(int n, const RecordedCall& device)
    {
        Find(n, sim::CallLabel(device) + ": the device returned " + Answer(device.result) + " with error " +
                    std::to_string(device.error) + ", the simulated device never returned (" +
                    Ending(device.call->name) + ")");
    }

    static std::string Ending(const std::string& call)
    {
        if (call == device_calls::call::KernelIoControl.name) return "a soft reset";
        if (call == device_calls::call::MessageBoxW.name) return "a box nobody answered";
        return "the run ended there";
    }

private:
    // What the call gave back, where it says it gave something.
    void CompareGivenBack(int n, const std::string& label, const RecordedCall& device, const RecordedCall& sim)
    {
        const device_calls::Row& row = *device.call;
        for (unsigned i = 0; i < row.paramCount; ++i) {
            const Kind kind = row.params[i].kind.kind;
            if (device_calls::GivenByCaller(kind) && kind != Kind::CountInOut) continue;
            const CallValue& a = device.args[i];
            const CallValue& b = sim.args[i];
            if (a.Absent() || b.Absent()) continue;  // no pointer given: nothing given back
            const bool same = kind == Kind::HandleOut  ? (a.number == 0) == (b.number == 0)
                              : kind == Kind::CountInOut ? a.number == b.number
                                                         : a == b;
            if (!same)
                Find(n, label + ": its " + row.params[i].name + " held " + Answer(a) + " on the device, " + Answer(b) +
                            " on the simulated device");
        }
    }

    void Find(int n, std::string text) { out_.findings.push_back(AnswerFinding{n, std::move(text)}); }

    // How the kit held the file the call names, if it did.
    std::string HeldBy(const RecordedCall& device) const
    {
        const std::u16string file = sim::FirstString(device);
        const KitHold* hold = holds_ && !file.empty() ? holds_->HoldOf(file) : nullptr;
        return hold ? ", " + HoldPhrase(hold->how) : "";
    }

    const KitLog* holds_;
    SameDeviceRun& out_;
    HandleOrigins device_, simulated_;
};

std::string RunEnding(const TraceRun& run)
{
    return run.endedIn.empty() ? std::string("returned") : "ended in " + run.endedIn;
}

// Where two runs' calls both go on: the same call, given the same by the
// caller; else why the simulated device's run goes another way.
std::string OtherCall(const TraceRecord& d, const TraceRecord& s, const Answers& answers)
{
    std::string differs;
    if (d.record.call != s.record.call || !d.record.call)
        differs = "another call";
    else
        differs = sim::DifferingArgument(d.record, s.record, true,
                                         [&](uint32_t a, uint32_t b) { return answers.SameHandle(a, b); });
    if (differs.empty()) return "";
    return "the device called " + Described(d) + "; the simulated device's run called " + Described(s);
}

void CompareCalls(const TraceRun& device, const TraceRun& sim, const KitLog* holds, bool cutShort, SameDeviceRun& out)
{
    Answers answers(holds, out);
    auto otherWay = [&](int n, const std::string& what) {
        out.otherWayAt = n;
        out.otherWay = what;
    };
    for (size_t i = 0;; ++i) {
        const int n = static_cast<int>(i) + 1;
        const bool deviceHas = i < device.calls.size(), simHas = i < sim.calls.size();
        if (deviceHas && simHas) {
            const std::string other = OtherCall(device.calls[i], sim.calls[i], answers);
            if (!other.empty()) return otherWay(n, other);
            answers.Compare(n, device.calls[i].record, sim.calls[i].record);
            out.compared = n;
            continue;
        }
        if (deviceHas) {  // the simulated device's run ended here
            const TraceRecord& d = device.calls[i];
            if (sim.endedIn == d.call && d.record.call) answers.SimulatedNeverReturned(n, d.record);
            else otherWay(n, "the device called " + Described(d) + "; the simulated device's run " + RunEnding(sim));
            return;
        }
        if (simHas) {  // the device's run ended here
            const TraceRecord& s = sim.calls[i];
            if (cutShort && (device.endedIn.empty() || device.endedIn == s.call)) out.reachedCut = true;
            else if (device.endedIn == s.call) answers.NeverReturned(n, s.record);
            else
                otherWay(n, "the device's run " + RunEnding(device) + "; the simulated device's run called " +
                                Described(s));
            return;
        }
        if (cutShort) out.reachedCut = true;
        else if (device.endedIn != sim.endedIn)
            otherWay(n, "the device's run " + RunEnding(device) + "; the simulated device's run " + RunEnding(sim));
        return;
    }
}

}  // namespace

SameDeviceRun CompareRuns(const TraceRun& device, const TraceRun& simulated, const KitLog* holds, bool cutShort)
{
    SameDeviceRun out;
    CompareCalls(device, simulated, holds, cutShort, out);
    return out;
}

TraceRun AsTraceRun(const sim::Trace& trace)
{
    TraceRun run;
    for (const RecordedCall& call : trace.Records()) run.calls.push_back(TraceRecord{0, call.call->name, call});
    if (trace.EndedIn()) run.endedIn = trace.EndedIn()->call->name;
    return run;
}

}  // namespace runner
