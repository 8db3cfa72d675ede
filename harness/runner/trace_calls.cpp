#include "harness/runner/trace_calls.h"

#include "device/device.h"
#include "formats/text.h"

namespace runner {

using device_calls::Kind;
using device_calls::Unit;
using Type = JsonValue::Type;

namespace {

#define TRQ_CALL_INFO(type, name, params, args, faults, kinds) \
    CallInfo{&call_shapes::name, #type, std::is_pointer_v<type>},
const CallInfo kCalls[] = {TRQ_DEVICE_CALLS(TRQ_CALL_INFO)};
#undef TRQ_CALL_INFO

const JsonValue* Argument(const JsonValue& record, const std::string& name)
{
    const JsonValue* args = record.Find("args");
    return args ? args->Find(name) : nullptr;
}

bool IsNull(const JsonValue* v) { return !v || v->Is(Type::Null); }

std::string Shown(const JsonValue* v, Kind kind)
{
    if (!v) return "(none)";
    if (v->Is(Type::String) && kind != Kind::Handle) return "\"" + v->Utf8() + "\"";
    if (v->Is(Type::String)) return v->Utf8();
    return v->raw;
}

}  // namespace

const CallInfo* FindCall(std::string_view name)
{
    for (const CallInfo& call : kCalls)
        if (name == call.shape->name) return &call;
    return nullptr;
}

std::string ParameterName(const CallShape& shape, unsigned i)
{
    std::string names = shape.parameterNames;  // "(root, subKey, options)"
    size_t at = names.find_first_not_of("( ");
    for (unsigned k = 0; k < i && at != std::string::npos; ++k) {
        at = names.find(',', at);
        if (at != std::string::npos) at = names.find_first_not_of(", ", at);
    }
    if (at == std::string::npos) return "";
    return names.substr(at, names.find_first_of(",) ", at) - at);
}

bool GivenByCaller(Kind kind)
{
    return kind == Kind::Value || kind == Kind::Handle || kind == Kind::StringIn || kind == Kind::BufferIn ||
           kind == Kind::CountInOut || kind == Kind::Reserved;
}

bool ParseHandle(const JsonValue* value, uint32_t& handle)
{
    if (!value || !value->Is(Type::String)) return false;
    const std::u16string& t = value->text;
    if (t.size() < 3 || t.size() > 10 || t[0] != u'0' || t[1] != u'x') return false;
    uint32_t h = 0;
    for (size_t i = 2; i < t.size(); ++i) {
        const char16_t c = t[i];
        const int d = c >= u'0' && c <= u'9' ? c - u'0' : c >= u'a' && c <= u'f' ? c - u'a' + 10 : -1;
        if (d < 0) return false;
        h = h << 4 | static_cast<uint32_t>(d);
    }
    handle = h;
    return true;
}

bool Succeeded(const CallInfo& call, const JsonValue& record)
{
    const std::string returns = call.returns;
    const JsonValue* ret = record.Find("ret");
    if (returns == "void") return true;
    if (call.returnsPointer) {
        uint32_t h;
        return ParseHandle(ret, h) && h != 0;
    }
    if (!ret || !ret->integral) return false;
    if (returns == "LONG") return ret->number == ERROR_SUCCESS;
    if (returns == "BOOL") return ret->number != 0;
    if (returns != "DWORD") return true;
    if (ret->number == 0) return false;
    const CallShape& shape = *call.shape;
    for (unsigned i = 0; i < shape.count; ++i) {
        const device_calls::Arg& arg = shape.kinds[i];
        if (arg.kind != Kind::BufferOut || arg.unit != Unit::Chars || arg.sizeArg < 0) continue;
        const unsigned k = static_cast<unsigned>(arg.sizeArg);
        const JsonValue* size = Argument(record, ParameterName(shape, k));
        if (shape.kinds[k].kind == Kind::Value && size && size->integral && ret->number >= size->number) return false;
    }
    return true;
}

std::string DescribeCall(const std::string& name, const JsonValue& record)
{
    std::string text = name;
    const CallInfo* call = FindCall(name);
    if (!call) {
        const JsonValue* args = record.Find("args");
        return text + " " + (args ? args->raw : std::string("(no arguments)"));
    }
    const CallShape& shape = *call->shape;
    for (unsigned i = 0; i < shape.count; ++i) {
        const Kind kind = shape.kinds[i].kind;
        if (!GivenByCaller(kind) || kind == Kind::Reserved) continue;
        const std::string parameter = ParameterName(shape, i);
        const JsonValue* v = Argument(record, parameter);
        if (kind == Kind::CountInOut) {
            text += " " + parameter + "=" + (v && v->Find("in") ? v->Find("in")->raw : Shown(v, kind));
            continue;
        }
        text += " " + parameter + "=" + Shown(v, kind);
    }
    return text;
}

std::u16string FirstString(const std::string& name, const JsonValue& record)
{
    const CallInfo* call = FindCall(name);
    if (!call) return u"";
    const CallShape& shape = *call->shape;
    for (unsigned i = 0; i < shape.count; ++i) {
        if (shape.kinds[i].kind != Kind::StringIn) continue;
        const JsonValue* v = Argument(record, ParameterName(shape, i));
        return v && v->Is(Type::String) ? v->text : u"";
    }
    return u"";
}

std::string CallLabel(const std::string& name, const JsonValue& record)
{
    const std::u16string first = FirstString(name, record);
    return first.empty() ? name : name + " " + formats::Utf16ToUtf8Lossy(first);
}

std::string DifferingArgument(const CallShape& shape, const JsonValue& a, const JsonValue& b, bool outPointers,
                              const std::function<bool(uint32_t, uint32_t)>& sameHandle)
{
    for (unsigned i = 0; i < shape.count; ++i) {
        const Kind kind = shape.kinds[i].kind;
        const std::string parameter = ParameterName(shape, i);
        const JsonValue* x = Argument(a, parameter);
        const JsonValue* y = Argument(b, parameter);
        bool same;
        if (!GivenByCaller(kind)) {
            same = !outPointers || IsNull(x) == IsNull(y);
        } else if (!x || !y) {
            same = !x && !y;
        } else if (kind == Kind::Handle) {
            uint32_t hx, hy;
            same = ParseHandle(x, hx) && ParseHandle(y, hy) ? sameHandle(hx, hy) : x->raw == y->raw;
        } else if (kind == Kind::CountInOut && !IsNull(x) && !IsNull(y)) {
            const JsonValue* inX = x->Find("in");
            const JsonValue* inY = y->Find("in");
            same = inX && inY && inX->raw == inY->raw;
        } else {
            same = x->raw == y->raw;
        }
        if (!same) return parameter;
    }
    return "";
}

}  // namespace runner
