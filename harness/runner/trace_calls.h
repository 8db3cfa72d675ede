// The device calls as their trace records show them (platform/trace/
// call_record.h): each call of the list by its name, what it returns, and
// what two records of the same call say alike or not.
#ifndef TRQ_HARNESS_RUNNER_TRACE_CALLS_H
#define TRQ_HARNESS_RUNNER_TRACE_CALLS_H

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>

#include "harness/runner/device_trace.h"
#include "platform/trace/call_record.h"
#include "platform/trace/call_shapes.h"

namespace runner {

struct CallInfo {
    const CallShape* shape;
    const char* returns;  // the return type as the list writes it: "LONG", "BOOL", "DWORD", "void", ...
    bool returnsPointer;  // a handle or a pointer, written "0x..."
};

// A call of TRQ_DEVICE_CALLS by its name; null for any other name.
const CallInfo* FindCall(std::string_view name);

// The name of the call's parameter i, as the list and the records name it.
std::string ParameterName(const CallShape& shape, unsigned i);

// The most parameters a call of the list has.
constexpr unsigned kMostParameters = 12;

// A call's arguments as the words the record writer takes, from 1 (word 0
// stands in for a call without arguments).
template <typename T>
TraceWord WordOf(T* pointer)
{
    return reinterpret_cast<TraceWord>(pointer);
}
template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
TraceWord WordOf(T value)
{
    return static_cast<TraceWord>(value);
}
template <typename... A>
std::array<TraceWord, sizeof...(A) + 1> CallWords(A... args)
{
    return {{0, WordOf(args)...}};
}

// What the caller gives: a Value, Handle, StringIn, BufferIn, Reserved, and
// a CountInOut's "in". The rest is what the call gives back.
bool GivenByCaller(device_calls::Kind kind);

// "0x1f" as 0x1f, the way records write handles and pointers; false for
// anything else.
bool ParseHandle(const JsonValue* value, uint32_t& handle);

// Whether the call succeeded, by what it returned: a status ERROR_SUCCESS,
// a BOOL TRUE, a handle or pointer that is not null, a length not 0 (and,
// with a buffer of characters sized by a value, shorter than it). After a
// call that failed, what buffers and words out hold is what they held before.
bool Succeeded(const CallInfo& call, const JsonValue& record);

// The call and what it was given, for a report:
// DeleteFileW path="\Windows\TRQUtil.exe".
std::string DescribeCall(const std::string& name, const JsonValue& record);
// The call and the first string it was given: DeleteFileW \Windows\TRQUtil.exe.
std::string CallLabel(const std::string& name, const JsonValue& record);
// The first string the call was given; empty when there is none.
std::u16string FirstString(const std::string& name, const JsonValue& record);

// The first parameter the caller gave differently in two records of the
// same call ("" when none). Handles are compared by sameHandle (a's handle,
// b's handle); with outPointers, a pointer to what the call gives back
// counts too, null on one side only.
std::string DifferingArgument(const CallShape& shape, const JsonValue& a, const JsonValue& b, bool outPointers,
                              const std::function<bool(uint32_t, uint32_t)>& sameHandle);

}  // namespace runner

#endif
