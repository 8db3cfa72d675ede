#include "platform/trace/call_record.h"

using device_calls::Arg;
using device_calls::Kind;
using device_calls::Unit;

// Handles and pointers are written as the device's 32-bit words on every
// build, so that a root key reads the same in a trace from anywhere.

namespace {

// The i-th name of "(root, subKey, options)": where it starts and how long
// it is.
void ParameterName(const char* names, unsigned i, const char*& start, unsigned& length)
{
    const char* p = names;
    if (*p == '(') ++p;
    for (unsigned at = 0; at < i && *p; ++p)
        if (*p == ',') ++at;
    while (*p == ' ') ++p;
    start = p;
    length = 0;
    while (p[length] && p[length] != ',' && p[length] != ')' && p[length] != ' ') ++length;
}

DWORD WordAt(TraceWord pointer) { return *reinterpret_cast<const DWORD*>(static_cast<ULONG_PTR>(pointer)); }

// How many units a buffer argument is: its size argument's value (or, for a
// count, what it offered before the call), else its fixed size.
unsigned BufferUnits(const TracedCall& call, const Arg& arg)
{
    if (arg.sizeArg < 0) return arg.fixedSize;
    const unsigned k = static_cast<unsigned>(arg.sizeArg);
    if (call.kinds[k].kind == Kind::CountInOut) return call.countsIn[k];
    return static_cast<DWORD>(call.args[k]);
}

// How many bytes of a buffer out the call says it wrote: what its
// CountInOut, or else its WordOut, holds afterwards; else the whole buffer.
unsigned BytesWritten(const TracedCall& call, unsigned bytes)
{
    for (int pass = 0; pass < 2; ++pass)
        for (unsigned k = 0; k < call.count; ++k) {
            const Kind kind = call.kinds[k].kind;
            if ((pass == 0 ? kind == Kind::CountInOut : kind == Kind::WordOut) && call.args[k]) {
                const DWORD said = WordAt(call.args[k]);
                return said < bytes ? said : bytes;
            }
        }
    return bytes;
}

void PutArgument(TraceLine& line, const TracedCall& call, unsigned i)
{
    const Arg& arg = call.kinds[i];
    const TraceWord word = call.args[i];
    const void* pointer = reinterpret_cast<const void*>(static_cast<ULONG_PTR>(word));
    if (arg.kind == Kind::Value) return PutUnsigned(line, static_cast<DWORD>(word));
    if (arg.kind == Kind::Handle) return PutHandle(line, static_cast<DWORD>(word));
    if (!pointer || arg.kind == Kind::Reserved) return PutNull(line);
    switch (arg.kind) {
    case Kind::StringIn:
        return PutString16(line, static_cast<const WCHAR*>(pointer), ~0u);
    case Kind::BufferIn: {
        const unsigned units = BufferUnits(call, arg);
        return PutHexBytes(line, static_cast<const BYTE*>(pointer), arg.unit == Unit::Chars ? 2 * units : units);
    }
    case Kind::BufferOut: {
        const unsigned units = BufferUnits(call, arg);
        if (arg.unit == Unit::Chars) return PutString16(line, static_cast<const WCHAR*>(pointer), units);
        return PutHexBytes(line, static_cast<const BYTE*>(pointer), BytesWritten(call, units));
    }
    case Kind::WordOut:
        return PutUnsigned(line, WordAt(word));
    case Kind::CountInOut:
        OpenObject(line);
        PutKey(line, "in");
        PutUnsigned(line, call.countsIn[i]);
        PutKey(line, "out");
        PutUnsigned(line, WordAt(word));
        return CloseObject(line);
    case Kind::HandleOut:
        return PutHandle(line, static_cast<DWORD>(*static_cast<const ULONG_PTR*>(pointer)));
    default:
        return PutNull(line);
    }
}

}  // namespace

void TakeCountsIn(const Arg* kinds, unsigned count, const TraceWord* args, DWORD* countsIn)
{
    for (unsigned i = 0; i < count; ++i)
        countsIn[i] = kinds[i].kind == Kind::CountInOut && args[i] ? WordAt(args[i]) : 0;
}

unsigned WriteCallRecord(const TracedCall& call, char* buffer, unsigned size)
{
    TraceLine line;
    LineBegin(line, buffer, size);
    if (call.number) {
        PutKey(line, "n");
        PutUnsigned(line, call.number);
    }
    PutKey(line, "call");
    PutText(line, call.name);
    PutKey(line, "args");
    OpenObject(line);
    for (unsigned i = 0; i < call.count; ++i) {
        const char* name;
        unsigned length;
        ParameterName(call.parameterNames, i, name, length);
        PutKeyOf(line, name, length);
        PutArgument(line, call, i);
    }
    CloseObject(line);
    if (call.result.kind != TraceResult::None) {
        PutKey(line, "ret");
        if (call.result.kind == TraceResult::Signed)
            PutSigned(line, call.result.value);
        else if (call.result.kind == TraceResult::Unsigned)
            PutUnsigned(line, call.result.value);
        else
            PutHandle(line, static_cast<DWORD>(call.result.value));
    }
    PutKey(line, "error");
    PutUnsigned(line, call.error);
    return LineEnd(line);
}
