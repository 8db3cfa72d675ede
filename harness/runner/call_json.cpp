#include "harness/runner/call_json.h"

#include "formats/text.h"

namespace runner {

using device_calls::Kind;
using device_calls::Returns;
using device_calls::Unit;
using sim::CallValue;
using Type = JsonValue::Type;

namespace {

bool ReadHandle(const JsonValue& v, CallValue& out)
{
    const std::u16string& t = v.text;
    if (!v.Is(Type::String) || t.size() < 3 || t.size() > 10 || t[0] != u'0' || t[1] != u'x') return false;
    uint32_t h = 0;
    for (size_t i = 2; i < t.size(); ++i) {
        const int d = formats::HexDigit(t[i]);
        if (d < 0) return false;
        h = h << 4 | static_cast<uint32_t>(d);
    }
    out = CallValue::Handle(h);
    return true;
}

bool ReadBytes(const JsonValue& v, CallValue& out)
{
    if (!v.Is(Type::String) || v.text.size() % 2) return false;
    out.is = CallValue::Is::Bytes;
    for (size_t i = 0; i < v.text.size(); i += 2) {
        const int hi = formats::HexDigit(v.text[i]), lo = formats::HexDigit(v.text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

bool ReadNumber(const JsonValue& v, CallValue& out)
{
    if (!v.Is(Type::Number) || !v.integral) return false;
    out = CallValue::Number(v.number);
    return true;
}

bool ReadCount(const JsonValue& v, CallValue& out)
{
    const JsonValue* in = v.Find("in");
    const JsonValue* said = v.Find("out");
    if (!in || !said || !ReadNumber(*said, out) || !in->integral) return false;
    out.is = CallValue::Is::Count;
    out.in = in->number;
    return true;
}

// One argument by its kind; null is what a null pointer writes, for
// every kind that is a pointer.
bool ReadArgument(const JsonValue& v, const device_calls::Arg& arg, CallValue& out)
{
    if (v.Is(Type::Null) && arg.kind != Kind::Value && arg.kind != Kind::Handle) {
        out.is = CallValue::Is::Null;
        return true;
    }
    switch (arg.kind) {
    case Kind::Value:
    case Kind::WordOut:
        return ReadNumber(v, out);
    case Kind::Handle:
    case Kind::HandleOut:
        return ReadHandle(v, out);
    case Kind::StringIn:
        out.is = CallValue::Is::Text;
        out.text = v.text;
        return v.Is(Type::String);
    case Kind::BufferIn:
        return ReadBytes(v, out);
    case Kind::BufferOut:
        if (arg.unit == Unit::Bytes) return ReadBytes(v, out);
        out.is = CallValue::Is::Text;
        out.text = v.text;
        return v.Is(Type::String);
    case Kind::CountInOut:
        return ReadCount(v, out);
    default:
        return false;  // a Reserved argument is null
    }
}

bool ReadResult(const JsonValue& v, Returns returns, CallValue& out)
{
    if (returns == Returns::Pointer) return ReadHandle(v, out);
    return returns != Returns::None && ReadNumber(v, out);
}

// A text of at most kFactChars units, its NUL included; false for one that is not said.
BOOL CopyFact(const JsonValue* v, WCHAR* buffer)
{
    buffer[0] = 0;
    if (!v || !v->Is(Type::String)) return FALSE;
    const size_t n = v->text.size() < kFactChars ? v->text.size() : kFactChars - 1;
    for (size_t i = 0; i < n; ++i) buffer[i] = v->text[i];
    buffer[n] = 0;
    return TRUE;
}

// A version's member of "os": a whole number of 32 bits, as GetVersionExW's DWORD.
bool FactNumber(const JsonValue& os, const char* key, DWORD& out, std::string& why)
{
    const JsonValue* v = os.Find(key);
    if (v && v->Is(Type::Number) && v->integral && v->number >= 0 && v->number <= 0xFFFFFFFF) {
        out = static_cast<DWORD>(v->number);
        return true;
    }
    why = std::string("\"") + key + "\" in \"os\" is not a whole number from 0 to 4294967295";
    return false;
}

}  // namespace

bool ReadCallRecord(const JsonValue& record, const device_calls::Row& row, sim::RecordedCall& out, std::string& why)
{
    out = sim::RecordedCall{};
    out.call = &row;
    const JsonValue* cut = record.Find("cut");
    const bool wasCut = cut && cut->Is(Type::Bool) && cut->boolean;
    const JsonValue* args = record.Find("args");
    out.args.resize(row.paramCount);
    for (unsigned i = 0; i < row.paramCount; ++i) {
        const JsonValue* v = args ? args->Find(row.params[i].name) : nullptr;
        if (v && !ReadArgument(*v, row.params[i].kind, out.args[i])) {
            out.args[i] = CallValue{};
            if (!wasCut) return why = std::string("its ") + row.params[i].name + " is not what " + row.name +
                                      " writes there", false;
        }
    }
    if (const JsonValue* ret = record.Find("ret"); ret && !ReadResult(*ret, row.returns, out.result)) {
        out.result = CallValue{};
        if (!wasCut) return why = std::string("its result is not what ") + row.name + " returns", false;
    }
    const JsonValue* error = record.Find("error");
    out.error = error && error->integral ? static_cast<uint32_t>(error->number) : 0;
    return true;
}

bool FactsOfRecord(const JsonValue& record, DeviceFacts& out, std::string& why)
{
    out = DeviceFacts{};
    const JsonValue* os = record.Find("os");
    if (os && !os->Is(Type::Null) && !os->Is(Type::Object)) return why = "\"os\" is neither null nor an object", false;
    out.osKnown = os && os->Is(Type::Object);
    if (out.osKnown) {
        out.os.dwOSVersionInfoSize = sizeof out.os;
        if (!FactNumber(*os, "major", out.os.dwMajorVersion, why) ||
            !FactNumber(*os, "minor", out.os.dwMinorVersion, why) ||
            !FactNumber(*os, "build", out.os.dwBuildNumber, why) ||
            !FactNumber(*os, "platform", out.os.dwPlatformId, why))
            return false;
        CopyFact(os->Find("csd"), out.os.szCSDVersion);
    }
    out.platformTypeKnown = CopyFact(record.Find("platformType"), out.platformType);
    out.oemKnown = CopyFact(record.Find("oem"), out.oem);
    return true;
}

}  // namespace runner
