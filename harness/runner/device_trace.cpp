#include "harness/runner/device_trace.h"

#include <functional>
#include <map>

#include "device/call_names.h"
#include "formats/device_ini.h"
#include "formats/text.h"
#include "harness/runner/call_json.h"
#include "platform/trace/trace_line.h"

namespace runner {

namespace {

using Type = JsonValue::Type;

// The kit writes each line of its log whole in a buffer of this many bytes,
// its "\r\n" included (kit/kit_log.cpp), as the trace build writes its
// records in kTraceLineSize; neither writes a longer line.
constexpr size_t kKitLogLineSize = 2048;

// Whether a line's text, without the "\r\n" that ends it, fits the buffer
// its writer writes whole lines in. A last line cut short is a beginning
// of such a line, and must fit too.
bool FitsItsWriter(std::string_view line, size_t lineSize, size_t number, std::string& error)
{
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() + 2 <= lineSize) return true;
    error = "line " + std::to_string(number) + ": longer than the " + std::to_string(lineSize) +
            " bytes its writer writes a line in";
    return false;
}

// Each whole line of text as a JSON object, with its number; a last line
// without its end is left to partialBytes. Every line, the last one too,
// must fit lineSize bytes with its "\r\n".
bool ForEachLine(std::string_view text, size_t lineSize, size_t& lines, size_t& partialBytes, std::string& error,
                 const std::function<bool(size_t line, JsonValue& value, std::string& why)>& take)
{
    lines = partialBytes = 0;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        if (end == std::string_view::npos) {
            partialBytes = text.size() - at;
            return FitsItsWriter(text.substr(at), lineSize, lines + 1, error);
        }
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        ++lines;
        if (!FitsItsWriter(line, lineSize, lines, error)) return false;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        JsonValue value;
        std::string why;
        if (!ParseJsonLine(line, value, why)) {
            error = "line " + std::to_string(lines) + ": not JSON: " + why;
            return false;
        }
        if (!value.Is(Type::Object)) why = "not a JSON object";
        else take(lines, value, why);
        if (!why.empty()) {
            error = "line " + std::to_string(lines) + ": " + why;
            return false;
        }
    }
    return true;
}

const JsonValue* StringMember(const JsonValue& v, std::string_view key)
{
    const JsonValue* m = v.Find(key);
    return m && m->Is(Type::String) ? m : nullptr;
}

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
    run.facts = FactsOfRecord(value);
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

const std::u16string* KitLog::Folder(std::string_view name) const
{
    for (const auto& [folder, path] : folders)
        if (folder == name) return &path;
    return nullptr;
}

const KitHold* KitLog::HoldOf(std::u16string_view file) const
{
    for (const KitHold& hold : holds)
        if (formats::SameDevicePath(hold.file, file)) return &hold;
    return nullptr;
}

namespace {

// One line of the kit's log, its members read as the kit writes them; why
// says the first thing wrong with it.
class KitLine {
public:
    KitLine(const JsonValue& value, std::string kind) : value_(value), kind_(std::move(kind)) {}

    const std::string& Kind() const { return kind_; }
    const std::string& Why() const { return why_; }

    // A member that must be a string.
    const std::u16string* Text(const char* key)
    {
        const JsonValue* m = StringMember(value_, key);
        if (!m) Refuse("a \"" + kind_ + "\" line without its \"" + key + "\"");
        return m ? &m->text : nullptr;
    }
    // A path the kit wrote: a string of at most MAX_PATH UTF-16 units, as
    // the kit writes every path, cut there.
    const std::u16string* Path(const char* key)
    {
        const std::u16string* path = Text(key);
        if (path && path->size() > MAX_PATH)
            Refuse("a \"" + kind_ + "\" line whose \"" + key + "\" is longer than MAX_PATH (" +
                   std::to_string(MAX_PATH) + ") UTF-16 units, longer than any path the kit writes");
        return why_.empty() ? path : nullptr;
    }
    // The same where the kit writes null when the device did not say (and
    // may leave the member out, where mayBeMissing): "" then.
    const std::u16string* PathIfSaid(const char* key, bool mayBeMissing)
    {
        const JsonValue* m = value_.Find(key);
        if (m ? m->Is(Type::Null) : mayBeMissing) return &kNone;
        return Path(key);
    }
    // A number the kit wrote, as the report shows it; "null" where it
    // wrote none.
    std::string Number(const char* key) const
    {
        const JsonValue* m = value_.Find(key);
        return m && m->integral ? std::to_string(m->number) : std::string("null");
    }
    const JsonValue* Find(const char* key) const { return value_.Find(key); }

private:
    void Refuse(const std::string& why)
    {
        if (why_.empty()) why_ = why;
    }

    static inline const std::u16string kNone;
    const JsonValue& value_;
    std::string kind_;
    std::string why_;
};

// What one line adds to the log read so far; folderAt: where each folder's
// name stands in out.folders.
void TakeKitLine(KitLine& line, KitLog& out, std::map<std::string, size_t>& folderAt)
{
    const std::string& k = line.Kind();
    if (k == "start") {
        if (const std::u16string* mode = line.Text("mode")) {
            out.modes.push_back(formats::Utf16ToUtf8Lossy(*mode));
            if (out.modes.back() == "prepare") out.holds.clear();
        }
    } else if (k == "folder") {
        const std::u16string* name = line.Text("name");
        const std::u16string* path = line.PathIfSaid("path", false);
        if (!name || !path) return;
        const std::string n = formats::Utf16ToUtf8Lossy(*name);
        const auto [at, isNew] = folderAt.try_emplace(n, out.folders.size());
        if (isNew) out.folders.emplace_back(n, *path);
        else out.folders[at->second].second = *path;
    } else if (k == "holds") {
        const std::u16string* file = line.Path("file");
        const std::u16string* how = line.Text("how");
        const std::u16string* by = line.PathIfSaid("by", true);
        if (file && how && by) out.holds.push_back(KitHold{*file, formats::Utf16ToUtf8Lossy(*how), *by});
    } else if (k == "probe") {
        const std::u16string* file = line.Path("file");
        if (!file) return;
        const JsonValue* how = line.Find("how");
        const JsonValue* restored = line.Find("restored");
        out.probes.push_back(KitProbe{*file, how && how->Is(Type::String) ? how->Utf8() : "", line.Number("result"),
                                      line.Number("error"), restored && restored->boolean});
    } else if (k == "made") {
        ++out.made;
    } else if (k == "exists") {
        ++out.existed;
    } else if (k == "stopped") {
        if (const std::u16string* program = line.Path("program")) out.stopped.push_back(*program);
    }
}

}  // namespace

bool ReadKitLog(std::string_view text, KitLog& out, std::string& error)
{
    out = KitLog{};
    std::map<std::string, size_t> folderAt;
    return ForEachLine(text, kKitLogLineSize, out.lines, out.partialBytes, error,
                       [&](size_t, JsonValue& value, std::string& why) {
        const JsonValue* kind = StringMember(value, "kit");
        if (!kind) {
            why = "not a line of the kit's log";
            return false;
        }
        KitLine line(value, kind->Utf8());
        TakeKitLine(line, out, folderAt);
        why = line.Why();
        return why.empty();
    });
}

}  // namespace runner
