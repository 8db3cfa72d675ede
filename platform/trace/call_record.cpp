#include "platform/trace/call_record.h"

using device_calls::Arg;
using device_calls::Kind;
using device_calls::Returns;
using device_calls::Unit;

// Handles and pointers are written as the device's 32-bit words on every
// build, so that a root key reads the same in a trace from anywhere.

namespace {

DWORD WordAt(TraceWord pointer) { return *reinterpret_cast<const DWORD*>(static_cast<ULONG_PTR>(pointer)); }

// How many bytes of a buffer out the call says it wrote: what its
// CountInOut, or else its WordOut, holds afterwards; else the whole buffer.
unsigned BytesWritten(const TracedCall& call, unsigned bytes)
{
    const device_calls::Row& row = *call.call;
    for (int pass = 0; pass < 2; ++pass)
        for (unsigned k = 0; k < row.paramCount; ++k) {
            const Kind kind = row.params[k].kind.kind;
            if ((pass == 0 ? kind == Kind::CountInOut : kind == Kind::WordOut) && call.args[k]) {
                const DWORD said = WordAt(call.args[k]);
                return said < bytes ? said : bytes;
            }
        }
    return bytes;
}

ArgumentView View(ArgumentView::Form form, DWORD number)
{
    ArgumentView view;
    view.form = form;
    view.number = number;
    view.countIn = 0;
    view.text = 0;
    view.bytes = 0;
    view.units = 0;
    return view;
}

void PutArgument(TraceLine& line, const ArgumentView& view)
{
    switch (view.form) {
    case ArgumentView::Number:
        return PutUnsigned(line, view.number);
    case ArgumentView::Handle:
        return PutHandle(line, view.number);
    case ArgumentView::Text:
        return PutString16(line, view.text, view.units);
    case ArgumentView::Bytes:
        return PutHexBytes(line, view.bytes, view.units);
    case ArgumentView::Count:
        OpenObject(line);
        PutKey(line, "in");
        PutUnsigned(line, view.countIn);
        PutKey(line, "out");
        PutUnsigned(line, view.number);
        return CloseObject(line);
    default:
        return PutNull(line);
    }
}

}  // namespace

void TakeCountsIn(const device_calls::Row& call, const TraceWord* args, DWORD* countsIn)
{
    for (unsigned i = 0; i < call.paramCount; ++i)
        countsIn[i] = call.params[i].kind.kind == Kind::CountInOut && args[i] ? WordAt(args[i]) : 0;
}

ArgumentView ArgumentOf(const TracedCall& call, unsigned i)
{
    const Arg& arg = call.call->params[i].kind;
    const TraceWord word = call.args[i];
    if (arg.kind == Kind::Value) return View(ArgumentView::Number, static_cast<DWORD>(word));
    if (arg.kind == Kind::Handle) return View(ArgumentView::Handle, static_cast<DWORD>(word));
    if (!word || arg.kind == Kind::Reserved) return View(ArgumentView::Null, 0);
    const void* pointer = reinterpret_cast<const void*>(static_cast<ULONG_PTR>(word));
    ArgumentView view = View(ArgumentView::Text, 0);
    switch (arg.kind) {
    case Kind::StringIn:
        view.text = static_cast<const WCHAR*>(pointer);
        view.units = ~0u;
        return view;
    case Kind::BufferIn:
    case Kind::BufferOut: {
        // What a record can show of a buffer is counted in 32 bits.
        const unsigned bytes = static_cast<unsigned>(
            device_calls::BufferBytes(arg, device_calls::SizeValue(*call.call, arg, call.args, call.countsIn)));
        if (arg.kind == Kind::BufferOut && arg.unit == Unit::Chars) {
            view.text = static_cast<const WCHAR*>(pointer);
            view.units = bytes / 2;
            return view;
        }
        view.form = ArgumentView::Bytes;
        view.bytes = static_cast<const BYTE*>(pointer);
        view.units = arg.kind == Kind::BufferOut ? BytesWritten(call, bytes) : bytes;
        return view;
    }
    case Kind::WordOut:
        return View(ArgumentView::Number, WordAt(word));
    case Kind::CountInOut:
        view = View(ArgumentView::Count, WordAt(word));
        view.countIn = call.countsIn[i];
        return view;
    case Kind::HandleOut:
        return View(ArgumentView::Handle, static_cast<DWORD>(*static_cast<const ULONG_PTR*>(pointer)));
    default:
        return View(ArgumentView::Null, 0);
    }
}

void PutCallRecord(TraceLine& line, const TracedCall& call)
{
    const device_calls::Row& row = *call.call;
    PutKey(line, "call");
    PutText(line, row.name);
    PutKey(line, "args");
    OpenObject(line);
    for (unsigned i = 0; i < row.paramCount; ++i) {
        PutKey(line, row.params[i].name);
        PutArgument(line, ArgumentOf(call, i));
    }
    CloseObject(line);
    if (row.returns != Returns::None) {
        PutKey(line, "ret");
        if (row.returns == Returns::Signed)
            PutSigned(line, static_cast<ULONG_PTR>(static_cast<LONG>(call.result)));
        else if (row.returns == Returns::Unsigned)
            PutUnsigned(line, call.result);
        else
            PutHandle(line, call.result);
    }
    PutKey(line, "error");
    PutUnsigned(line, call.error);
}

unsigned WriteCallRecord(const TracedCall& call, char* buffer, unsigned size)
{
    TraceLine line;
    LineBegin(line, buffer, size);
    PutCallRecord(line, call);
    return LineEnd(line);
}

unsigned WriteCallingLine(const device_calls::Row& call, char* buffer, unsigned size)
{
    TraceLine line;
    LineBegin(line, buffer, size);
    PutKey(line, "calling");
    PutText(line, call.name);
    return LineEnd(line);
}
