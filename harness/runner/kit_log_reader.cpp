#include "harness/runner/kit_log_reader.h"

#include <map>

#include "device/device.h"
#include "formats/device_ini.h"
#include "formats/text.h"
#include "harness/runner/device_lines.h"

namespace runner {

using Type = JsonValue::Type;

namespace {

// The kit writes each line of its log whole in a buffer of this many bytes,
// its "\r\n" included (kit/kit_log.cpp).
constexpr size_t kKitLogLineSize = 2048;

}  // namespace

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
