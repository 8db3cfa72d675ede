#include "harness/runner/device_trace.h"

#include "device/call_names.h"
#include "formats/device_ini.h"
#include "formats/text.h"
#include "harness/runner/call_json.h"
#include "harness/runner/device_lines.h"
#include "platform/trace/trace_line.h"

namespace runner {

namespace {

using Type = JsonValue::Type;

// A run's first record; why says what is wrong with it.
void TakeFacts(size_t line, JsonValue& value, DeviceTrace& out, std::string& why)
{
    const JsonValue* trace = StringMember(value, "trace");
    const JsonValue* build = StringMember(value, "build");
    if (!trace || trace->text != u"TRQ Uninstall") {
        why = "a first record that is not of the trace of TRQ Uninstall";
        return;
    }
    if (!build) {
        why = "a first record without the build it comes from";
        return;
    }
    TraceRun run;
    run.line = line;
    run.build = build->Utf8();
    if (!FactsOfRecord(value, run.facts, why)) {
        why = "a first record whose " + why;
        return;
    }
    out.runs.push_back(std::move(run));
}

// A "calling" line waits for its record: the call of line, when not "".
struct Calling {
    std::string call;
    size_t line = 0;
};

// A call's record, after the "calling" line of the same call; why says
// what is wrong with it.
void TakeRecord(size_t line, const JsonValue& value, Calling& calling, TraceRun& run, std::string& why)
{
    const JsonValue* call = StringMember(value, "call");
    const JsonValue* args = value.Find("args");
    const JsonValue* errorCode = value.Find("error");
    const JsonValue* ret = value.Find("ret");
    if (!call || !args || !args->Is(Type::Object) || !errorCode || !errorCode->integral ||
        (ret && !ret->integral && !ret->Is(Type::String))) {
        why = "neither a run's first record, a call nor a call's record";
        return;
    }
    const std::string name = call->Utf8();
    if (!calling.call.empty() && calling.call != name) {
        why = "a record of " + name + " where line " + std::to_string(calling.line) + " called " + calling.call;
        return;
    }
    calling.call.clear();
    TraceRecord record{line, name, {}};
    if (const device_calls::Row* row = device_calls::FindCall(name);
        row && !ReadCallRecord(value, *row, record.record, why)) {
        why = "a record of " + name + ": " + why;
        return;
    }
    run.calls.push_back(std::move(record));
}

// A line after a run's first record: a "calling" line or a call's record.
void TakeCallLine(size_t line, const JsonValue& value, Calling& calling, TraceRun& run, std::string& why)
{
    // The simulated device's lines of a program the run's program
    // started: none of the run's own calls.
    if (const JsonValue* sim = value.Find("sim"); sim && sim->Find("process")) return;
    const JsonValue* name = value.Find("calling");
    if (!name) return TakeRecord(line, value, calling, run, why);
    if (!name->Is(Type::String))
        why = "a \"calling\" line without a call's name";
    else if (!calling.call.empty())
        why = "the call " + calling.call + " of line " + std::to_string(calling.line) +
              " did not return, yet the run goes on";
    else
        calling = Calling{name->Utf8(), line};
}

}  // namespace

bool ReadDeviceTrace(std::string_view text, DeviceTrace& out, std::string& error)
{
    out = DeviceTrace{};
    Calling calling;
    auto endRun = [&] {
        if (!out.runs.empty() && !calling.call.empty()) {
            out.runs.back().endedIn = calling.call;
            out.runs.back().endedInLine = calling.line;
        }
        calling = Calling{};
    };
    const bool read = ForEachLine(text, kTraceLineSize, out.lines, out.partialBytes, error,
                                  [&](size_t line, JsonValue& value, std::string& why) {
        if (value.Find("trace")) {
            endRun();
            TakeFacts(line, value, out, why);
        } else if (out.runs.empty()) {
            why = "a record before the first record of a run";
        } else {
            TakeCallLine(line, value, calling, out.runs.back(), why);
        }
        return why.empty();
    });
    if (!read) return false;
    endRun();
    if (out.runs.empty()) {
        error = "no run: not one whole first record";
        return false;
    }
    return true;
}

}  // namespace runner
