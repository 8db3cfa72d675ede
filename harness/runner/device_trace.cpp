#include "harness/runner/device_trace.h"

#include <functional>

#include "formats/device_ini.h"
#include "formats/text.h"

namespace runner {

namespace {

using Type = JsonValue::Type;

// Each whole line of text as a JSON object, with its number; a last line
// without its end is left to partialBytes.
bool ForEachLine(std::string_view text, size_t& lines, size_t& partialBytes, std::string& error,
                 const std::function<bool(size_t line, JsonValue& value, std::string& why)>& take)
{
    lines = partialBytes = 0;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        if (end == std::string_view::npos) {
            partialBytes = text.size() - at;
            break;
        }
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        ++lines;
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
    run.facts = std::move(value);
    out.runs.push_back(std::move(run));
}

}  // namespace

bool ReadDeviceTrace(std::string_view text, DeviceTrace& out, std::string& error)
{
    out = DeviceTrace{};
    // A "calling" line waits for its record.
    std::string calling;
    size_t callingLine = 0;
    auto endRun = [&] {
        if (!out.runs.empty() && !calling.empty()) {
            out.runs.back().endedIn = calling;
            out.runs.back().endedInLine = callingLine;
        }
        calling.clear();
    };
    const bool read = ForEachLine(text, out.lines, out.partialBytes, error,
                                  [&](size_t line, JsonValue& value, std::string& why) {
        if (value.Find("trace")) {
            endRun();
            TakeFacts(line, value, out, why);
            return true;
        }
        if (out.runs.empty()) {
            why = "a record before the first record of a run";
            return false;
        }
        if (const JsonValue* name = value.Find("calling")) {
            if (!name->Is(Type::String)) why = "a \"calling\" line without a call's name";
            else if (!calling.empty())
                why = "the call " + calling + " of line " + std::to_string(callingLine) +
                      " did not return, yet the run goes on";
            else calling = name->Utf8(), callingLine = line;
            return why.empty();
        }
        const JsonValue* call = StringMember(value, "call");
        const JsonValue* args = value.Find("args");
        const JsonValue* errorCode = value.Find("error");
        const JsonValue* ret = value.Find("ret");
        if (!call || !args || !args->Is(Type::Object) || !errorCode || !errorCode->integral ||
            (ret && !ret->integral && !ret->Is(Type::String))) {
            why = "neither a run's first record, a call nor a call's record";
            return false;
        }
        if (!calling.empty() && calling != call->Utf8()) {
            why = "a record of " + call->Utf8() + " where line " + std::to_string(callingLine) + " called " + calling;
            return false;
        }
        calling.clear();
        out.runs.back().calls.push_back(TraceRecord{line, call->Utf8(), std::move(value)});
        return true;
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

bool ReadKitLog(std::string_view text, KitLog& out, std::string& error)
{
    out = KitLog{};
    return ForEachLine(text, out.lines, out.partialBytes, error, [&](size_t, JsonValue& value, std::string& why) {
        const JsonValue* kind = StringMember(value, "kit");
        if (!kind) {
            why = "not a line of the kit's log";
            return false;
        }
        const std::string k = kind->Utf8();
        auto str = [&](const char* key) -> const std::u16string* {
            const JsonValue* m = StringMember(value, key);
            if (!m && why.empty()) why = "a \"" + k + "\" line without its \"" + key + "\"";
            return m ? &m->text : nullptr;
        };
        auto raw = [&](const char* key) {
            const JsonValue* m = value.Find(key);
            return m ? m->raw : std::string("null");
        };
        if (k == "start") {
            const std::u16string* mode = str("mode");
            if (!mode) return false;
            out.modes.push_back(formats::Utf16ToUtf8Lossy(*mode));
            if (out.modes.back() == "prepare") out.holds.clear();
        } else if (k == "folder") {
            const std::u16string* name = str("name");
            const std::u16string* path = str("path");
            if (!name || !path) return false;
            const std::string n = formats::Utf16ToUtf8Lossy(*name);
            bool known = false;
            for (auto& [folder, p] : out.folders)
                if (folder == n) p = *path, known = true;
            if (!known) out.folders.emplace_back(n, *path);
        } else if (k == "holds") {
            const std::u16string* file = str("file");
            const std::u16string* how = str("how");
            if (!file || !how) return false;
            const JsonValue* by = StringMember(value, "by");
            out.holds.push_back(KitHold{*file, formats::Utf16ToUtf8Lossy(*how), by ? by->text : u""});
        } else if (k == "probe") {
            const std::u16string* file = str("file");
            if (!file) return false;
            const JsonValue* how = StringMember(value, "how");
            const JsonValue* restored = value.Find("restored");
            out.probes.push_back(KitProbe{*file, how ? how->Utf8() : "", raw("result"), raw("error"),
                                          restored && restored->boolean});
        } else if (k == "made") {
            ++out.made;
        } else if (k == "exists") {
            ++out.existed;
        } else if (k == "stopped") {
            const std::u16string* program = str("program");
            if (!program) return false;
            out.stopped.push_back(*program);
        }
        return why.empty();
    });
}

}  // namespace runner
