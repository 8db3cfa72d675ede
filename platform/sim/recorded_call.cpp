#include "platform/sim/recorded_call.h"

#include <cstdio>

#include "formats/text.h"

namespace sim {

using device_calls::Kind;
using device_calls::Returns;
using device_calls::Success;
using device_calls::Unit;
using Is = CallValue::Is;

namespace {

CallValue ValueOf(const ArgumentView& view)
{
    CallValue value;
    switch (view.form) {
    case ArgumentView::Number:
        return CallValue::Number(view.number);
    case ArgumentView::Handle:
        return CallValue::Handle(view.number);
    case ArgumentView::Text:
        value.is = Is::Text;
        for (unsigned i = 0; i < view.units && view.text[i]; ++i) value.text.push_back(view.text[i]);
        return value;
    case ArgumentView::Bytes:
        value.is = Is::Bytes;
        value.bytes.assign(view.bytes, view.bytes + view.units);
        return value;
    case ArgumentView::Count:
        value = CallValue::Number(view.number);
        value.is = Is::Count;
        value.in = view.countIn;
        return value;
    default:
        value.is = Is::Null;
        return value;
    }
}

std::string Hex(uint64_t value)
{
    char text[24];
    (void)std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace

CallValue CallValue::Number(int64_t n)
{
    CallValue value;
    value.is = Is::Number;
    value.number = n;
    return value;
}

CallValue CallValue::Handle(uint32_t h)
{
    CallValue value;
    value.is = Is::Handle;
    value.number = h;
    return value;
}

const CallValue& RecordedCall::Arg(std::string_view parameter) const
{
    static const CallValue kMissing;
    for (unsigned i = 0; call && i < call->paramCount && i < args.size(); ++i)
        if (parameter == call->params[i].name) return args[i];
    return kMissing;
}

RecordedCall CaptureCall(const TracedCall& call)
{
    RecordedCall recorded;
    recorded.call = call.call;
    for (unsigned i = 0; i < call.call->paramCount; ++i) recorded.args.push_back(ValueOf(ArgumentOf(call, i)));
    switch (call.call->returns) {
    case Returns::Signed:
        recorded.result = CallValue::Number(static_cast<int32_t>(call.result));
        break;
    case Returns::Unsigned:
        recorded.result = CallValue::Number(call.result);
        break;
    case Returns::Pointer:
        recorded.result = CallValue::Handle(call.result);
        break;
    case Returns::None:
        break;
    }
    recorded.error = call.error;
    return recorded;
}

bool Succeeded(const RecordedCall& call)
{
    const CallValue& ret = call.result;
    const bool number = ret.is == Is::Number || ret.is == Is::Handle;
    switch (call.call->success) {
    case Success::Always:
        return true;
    case Success::Status:
        return number && ret.number == 0;
    case Success::NotFalse:
    case Success::NonNull:
        return number && ret.number != 0;
    case Success::NotInvalid:
        return number && static_cast<uint32_t>(ret.number) != 0xFFFFFFFFu;
    case Success::Length:
        break;
    }
    if (!number || ret.number == 0) return false;
    // A length that fills a character buffer sized by a value did not fit.
    const device_calls::Row& row = *call.call;
    for (unsigned i = 0; i < row.paramCount; ++i) {
        const device_calls::Arg& arg = row.params[i].kind;
        if (arg.kind != Kind::BufferOut || arg.unit != Unit::Chars || arg.sizeArg < 0) continue;
        const unsigned k = static_cast<unsigned>(arg.sizeArg);
        const CallValue& size = call.args[k];
        if (row.params[k].kind.kind == Kind::Value && size.is == Is::Number && ret.number >= size.number) return false;
    }
    return true;
}

std::string ShowValue(const CallValue& value)
{
    switch (value.is) {
    case Is::Missing:
        return "(none)";
    case Is::Null:
        return "null";
    case Is::Number:
        return std::to_string(value.number);
    case Is::Handle:
        return Hex(static_cast<uint32_t>(value.number));
    case Is::Text:
        return "\"" + formats::Utf16ToUtf8Lossy(value.text) + "\"";
    case Is::Bytes: {
        std::string hex = "\"";
        for (uint8_t b : value.bytes) hex += Hex(b + 0x100).substr(3);
        return hex + "\"";
    }
    case Is::Count:
        return std::to_string(value.in);
    }
    return "";
}

std::string DescribeCall(const RecordedCall& call)
{
    std::string text = call.call->name;
    for (unsigned i = 0; i < call.call->paramCount; ++i) {
        const Kind kind = call.call->params[i].kind.kind;
        if (!device_calls::GivenByCaller(kind) || kind == Kind::Reserved) continue;
        text += std::string(" ") + call.call->params[i].name + "=" + ShowValue(call.args[i]);
    }
    return text;
}

std::u16string FirstString(const RecordedCall& call)
{
    for (unsigned i = 0; i < call.call->paramCount; ++i)
        if (call.call->params[i].kind.kind == Kind::StringIn) return call.args[i].text;
    return u"";
}

std::string CallLabel(const RecordedCall& call)
{
    const std::u16string first = FirstString(call);
    return first.empty() ? call.call->name : call.call->name + (" " + formats::Utf16ToUtf8Lossy(first));
}

std::string DifferingArgument(const RecordedCall& a, const RecordedCall& b, bool outPointers,
                              const std::function<bool(uint32_t, uint32_t)>& sameHandle)
{
    for (unsigned i = 0; i < a.call->paramCount; ++i) {
        const Kind kind = a.call->params[i].kind.kind;
        const CallValue& x = a.args[i];
        const CallValue& y = b.args[i];
        bool same;
        if (!device_calls::GivenByCaller(kind))
            same = !outPointers || x.Absent() == y.Absent();
        else if (kind == Kind::Handle && x.is == Is::Handle && y.is == Is::Handle)
            same = sameHandle(static_cast<uint32_t>(x.number), static_cast<uint32_t>(y.number));
        else if (kind == Kind::CountInOut && x.is == Is::Count && y.is == Is::Count)
            same = x.in == y.in;
        else
            same = x == y;
        if (!same) return a.call->params[i].name;
    }
    return "";
}

void HandleOrigins::Learn(int n, const RecordedCall& call)
{
    if (call.result.is == Is::Handle) origin_[static_cast<uint32_t>(call.result.number)] = {n, -1};
    for (unsigned i = 0; i < call.args.size(); ++i)
        if (call.call->params[i].kind.kind == Kind::HandleOut && call.args[i].is == Is::Handle)
            origin_[static_cast<uint32_t>(call.args[i].number)] = {n, static_cast<int>(i)};
}

bool HandleOrigins::Same(const HandleOrigins& a, uint32_t x, const HandleOrigins& b, uint32_t y)
{
    const auto fromX = a.origin_.find(x);
    const auto fromY = b.origin_.find(y);
    if (fromX != a.origin_.end() && fromY != b.origin_.end()) return fromX->second == fromY->second;
    return x == y;
}

}  // namespace sim
