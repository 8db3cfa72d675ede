#include "harness/runner/kit_device.h"

#include <map>
#include <sstream>

#include "formats/device_ini.h"
#include "formats/text.h"
#include "harness/runner/recording_back_end.h"
#include "harness/runner/run_device.h"
#include "harness/runner/sample_device.h"
#include "harness/runner/trace_calls.h"
#include "platform/sim/device_startup.h"

namespace runner {

using device_calls::Kind;
using formats::EqualsIgnoreCase;
using formats::Utf16ToUtf8Lossy;
using Type = JsonValue::Type;

namespace {

std::u16string WithoutTrailingSeparators(std::u16string path)
{
    while (!path.empty() && (path.back() == u'\\' || path.back() == u'/')) path.pop_back();
    return path;
}

// Moves the sample's files below folder from to folder to, where the
// device keeps them.
void MoveFolder(sim::DeviceImage& image, const std::u16string& fromPath, const std::u16string& toPath)
{
    const std::u16string from = WithoutTrailingSeparators(fromPath), to = WithoutTrailingSeparators(toPath);
    if (formats::SameDevicePath(from, to)) return;
    sim::DeviceFiles files = image.Files();
    for (const std::u16string& path : files.List()) {
        if (path.empty() || path.back() == u'\\' || path.size() <= from.size() || path[from.size()] != u'\\' ||
            !EqualsIgnoreCase(path.substr(0, from.size()), from))
            continue;
        std::string bytes;
        if (!files.ReadHead(path, size_t(1) << 20, bytes)) continue;
        files.DeleteFile(path);
        files.WriteFile(to + path.substr(from.size()), bytes);
    }
}

// Every string value of the registry that names the sample's install
// directory names the device's instead.
void RenameInstallDir(formats::RegKey& key, const std::u16string& from, const std::u16string& to)
{
    for (formats::RegValue& value : key.values) {
        if (value.type != REG_SZ) continue;
        std::optional<std::u16string> text = formats::StringOfData(value.data);
        if (!text) continue;
        bool changed = false;
        for (size_t at = text->find(from); at != std::u16string::npos; at = text->find(from, at + to.size())) {
            text->replace(at, from.size(), to);
            changed = true;
        }
        if (changed) value.data = formats::StringData(*text);
    }
    for (auto& sub : key.keys) RenameInstallDir(*sub, from, to);
}

std::string HoldPhrase(const std::string& how)
{
    if (how == "running program") return "for a running program";
    if (how == "open without sharing") return "for a file open without sharing";
    return "for a file held (" + how + ")";
}

bool IsNullValue(const JsonValue* v) { return !v || v->Is(Type::Null); }

std::string Raw(const JsonValue* v) { return v ? v->raw : std::string("nothing"); }

// What a buffer, word or count held, as a person reads it: text decoded.
std::string Held(const JsonValue* v)
{
    return v && v->Is(Type::String) ? "\"" + v->Utf8() + "\"" : Raw(v);
}

// The device's answers and the simulated device's to the same call.
class Answers {
public:
    Answers(const KitLog* holds, SameDeviceRun& out) : holds_(holds), out_(out) {}

    // Whether handle a of the device stands for handle b of the simulated device.
    bool SameHandle(uint32_t a, uint32_t b) const
    {
        auto it = simulated_.find(a);
        return it != simulated_.end() ? it->second == b : a == b;
    }

    void Compare(int n, const TraceRecord& device, const TraceRecord& sim)
    {
        const CallInfo* call = FindCall(device.call);
        const std::string label = CallLabel(device.call, device.record);
        const JsonValue* dRet = device.record.Find("ret");
        const JsonValue* sRet = sim.record.Find("ret");
        bool retDiffers;
        if (call && call->returnsPointer) {
            uint32_t a = 0, b = 0;
            ParseHandle(dRet, a);
            ParseHandle(sRet, b);
            retDiffers = (a == 0) != (b == 0);
            if (a && b) simulated_[a] = b;
        } else {
            retDiffers = Raw(dRet) != Raw(sRet);
        }
        const std::string dError = Raw(device.record.Find("error")), sError = Raw(sim.record.Find("error"));
        const bool errorDiffers = dError != sError;
        std::string text;
        if (retDiffers && errorDiffers)
            text = "the device returned " + Raw(dRet) + " with error " + dError + ", the simulated device " + Raw(sRet) +
                   " with error " + sError;
        else if (retDiffers)
            text = "the device returned " + Raw(dRet) + ", the simulated device " + Raw(sRet);
        else if (errorDiffers)
            text = "the device answered " + dError + ", the simulated device " + sError;
        if (!text.empty()) Find(n, label + ": " + text + HeldBy(device));
        if (!call || !Succeeded(*call, device.record) || !Succeeded(*call, sim.record)) return;

        // What the call gave back, where it says it gave something.
        const CallShape& shape = *call->shape;
        const JsonValue* dArgs = device.record.Find("args");
        const JsonValue* sArgs = sim.record.Find("args");
        for (unsigned i = 0; i < shape.count; ++i) {
            const Kind kind = shape.kinds[i].kind;
            if (GivenByCaller(kind) && kind != Kind::CountInOut) continue;
            const std::string parameter = ParameterName(shape, i);
            const JsonValue* a = dArgs->Find(parameter);
            const JsonValue* b = sArgs->Find(parameter);
            if (IsNullValue(a) || IsNullValue(b)) continue;  // no pointer given: nothing given back
            if (kind == Kind::CountInOut) a = a->Find("out"), b = b->Find("out");
            bool same;
            if (kind == Kind::HandleOut) {
                uint32_t x = 0, y = 0;
                ParseHandle(a, x);
                ParseHandle(b, y);
                same = (x == 0) == (y == 0);
                if (x && y) simulated_[x] = y;
            } else {
                same = Raw(a) == Raw(b);
            }
            if (!same)
                Find(n, label + ": its " + parameter + " held " + Held(a) + " on the device, " + Held(b) +
                            " on the simulated device");
        }
    }

    // The device's call never returned; the simulated device's did.
    void NeverReturned(int n, const std::string& name, const TraceRecord& sim)
    {
        Find(n, name + ": the device never returned from it (" + Ending(name) + "), the simulated device returned " +
                    Raw(sim.record.Find("ret")) + " with error " + Raw(sim.record.Find("error")));
    }

    // The simulated device's call never returned; the device's did.
    void SimulatedNeverReturned(int n, const TraceRecord& device)
    {
        Find(n, CallLabel(device.call, device.record) + ": the device returned " + Raw(device.record.Find("ret")) +
                    " with error " + Raw(device.record.Find("error")) + ", the simulated device never returned (" +
                    Ending(device.call) + ")");
    }

    static std::string Ending(const std::string& call)
    {
        if (call == "KernelIoControl") return "a soft reset";
        if (call == "MessageBoxW") return "a box nobody answered";
        return "the run ended there";
    }

private:
    void Find(int n, std::string text) { out_.findings.push_back(AnswerFinding{n, std::move(text)}); }

    // How the kit held the file the call names, if it did.
    std::string HeldBy(const TraceRecord& device) const
    {
        const std::u16string file = FirstString(device.call, device.record);
        const KitHold* hold = holds_ && !file.empty() ? holds_->HoldOf(file) : nullptr;
        return hold ? ", " + HoldPhrase(hold->how) : "";
    }

    const KitLog* holds_;
    SameDeviceRun& out_;
    std::map<uint32_t, uint32_t> simulated_;  // the device's handle -> the simulated device's
};

// Compares the device's run with the simulated device's, call by call.
void CompareRuns(const TraceRun& device, const TraceRun& sim, const KitLog* holds, bool cutShort, SameDeviceRun& out)
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
            const TraceRecord& d = device.calls[i];
            const TraceRecord& s = sim.calls[i];
            const CallInfo* call = FindCall(d.call);
            std::string differs;
            if (d.call != s.call || !call) differs = "another call";
            else differs = DifferingArgument(*call->shape, d.record, s.record, true,
                                             [&](uint32_t a, uint32_t b) { return answers.SameHandle(a, b); });
            if (!differs.empty()) {
                otherWay(n, "the device called " + DescribeCall(d.call, d.record) + "; the simulated device's run called " +
                                DescribeCall(s.call, s.record));
                return;
            }
            answers.Compare(n, d, s);
            out.compared = n;
            continue;
        }
        if (deviceHas) {  // the simulated device's run ended here
            const TraceRecord& d = device.calls[i];
            if (sim.endedIn == d.call) answers.SimulatedNeverReturned(n, d);
            else otherWay(n, "the device called " + DescribeCall(d.call, d.record) + "; the simulated device's run " +
                                 (sim.endedIn.empty() ? "returned" : "ended in " + sim.endedIn));
            return;
        }
        if (simHas) {  // the device's run ended here
            const TraceRecord& s = sim.calls[i];
            if (cutShort && (device.endedIn.empty() || device.endedIn == s.call)) out.reachedCut = true;
            else if (device.endedIn == s.call) answers.NeverReturned(n, s.call, s);
            else otherWay(n, "the device's run " + (device.endedIn.empty() ? std::string("returned") : "ended in " + device.endedIn) +
                                 "; the simulated device's run called " + DescribeCall(s.call, s.record));
            return;
        }
        if (cutShort)
            out.reachedCut = true;
        else if (device.endedIn != sim.endedIn)
            otherWay(n, "the device's run " + (device.endedIn.empty() ? std::string("returned") : "ended in " + device.endedIn) +
                            "; the simulated device's run " + (sim.endedIn.empty() ? std::string("returned") : "ended in " + sim.endedIn));
        return;
    }
}

}  // namespace

sim::DeviceImage KitDeviceImage(const KitLog* kit)
{
    sim::DeviceImage image = SampleDeviceInMemory(SampleState::Installed);
    if (!kit) return image;
    formats::DeviceConfig& config = image.config;
    for (auto [name, folder] : {std::pair{"Startup", &config.startup}, std::pair{"Programs", &config.programs},
                                std::pair{"Temp", &config.temp}}) {
        const std::u16string* read = kit->Folder(name);
        if (!read || read->empty()) continue;
        MoveFolder(image, *folder, *read);
        *folder = *read;
    }
    if (const std::u16string* dir = kit->Folder("InstallDir"); dir && !dir->empty()) {
        const std::u16string to = WithoutTrailingSeparators(*dir);
        if (!formats::SameDevicePath(to, kSampleInstallDir)) {
            MoveFolder(image, kSampleInstallDir, to);
            for (formats::Root root : {formats::Root::ClassesRoot, formats::Root::CurrentUser, formats::Root::LocalMachine})
                RenameInstallDir(image.registry.keys.RootKey(root), kSampleInstallDir, to);
        }
    }
    for (const KitHold& hold : kit->holds) config.heldOpen.push_back(hold.file);
    return image;
}

SameDeviceRun KitDevice::Play(const TraceRun& run, bool cutShort)
{
    if (runs_++ && !restarted_) sim::StartDevice(image_);

    // The buttons the device's user pressed, box by box.
    std::vector<int> buttons;
    for (const TraceRecord& call : run.calls)
        if (call.call == "MessageBoxW") {
            const JsonValue* ret = call.record.Find("ret");
            buttons.push_back(ret && ret->integral ? static_cast<int>(ret->number) : 0);
        }
    size_t pressed = 0;
    std::ostringstream recorded;
    RunOptions options;
    options.writeBack = false;
    options.answerer = [&](const sim::BoxRecord&) -> std::optional<int> {
        if (pressed == buttons.size()) return std::nullopt;
        return buttons[pressed++];
    };
    options.program = TracedAsDevice(recorded, run.build);
    RunOutcome outcome;
    std::string error;
    RunUninstallOn(image_, options, outcome, error);  // in memory: nothing to write back
    restarted_ = outcome.stop == sim::Stop::Reset;

    SameDeviceRun out;
    DeviceTrace simulated;
    if (!ReadDeviceTrace(recorded.str(), simulated, error)) {
        out.otherWayAt = 1;
        out.otherWay = "the simulated device's own trace cannot be read: " + error;
        return out;
    }
    CompareRuns(run, simulated.runs.front(), runs_ == 1 ? kit_ : nullptr, cutShort, out);
    return out;
}

}  // namespace runner
