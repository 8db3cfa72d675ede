// The list of device/device_calls.h as one table: a row for each call with
// every column a layer needs, the tier it is imported from, whether it may
// be failed, what its success is, what it returns, and each parameter's name
// and kind. elf-to-wince, the fault rules, the emulator's exports, the trace
// writer and its reader, the replay and the checker read these rows.
//
// Constant data and constexpr functions only: the trace build and the
// device kit, freestanding, compile it for the devices too. A row is had by
// its call (device_calls::call::DeleteFileW) or from kCalls; only a file's
// edge, which reads a call's name, looks one up by name
// (device/call_names.h).
#ifndef TRQ_DEVICE_CALL_TABLE_H
#define TRQ_DEVICE_CALL_TABLE_H

#include "device/device.h"

namespace device_calls {

// What a call returns, as a word of the device's 32 bits: nothing, a
// number signed or unsigned as its type is, or a handle or pointer.
enum class Returns : unsigned char { None, Signed, Unsigned, Pointer };

template <typename T>
struct ReturnsOf {
    static constexpr Returns value = T(-1) < T(0) ? Returns::Signed : Returns::Unsigned;
};
template <typename T>
struct ReturnsOf<T*> {
    static constexpr Returns value = Returns::Pointer;
};
template <>
struct ReturnsOf<void> {
    static constexpr Returns value = Returns::None;
};

struct Param {
    const char* name;  // as the list names it: "subKey"
    Arg kind;
};

struct Row {
    unsigned index;  // in kCalls
    const char* name;
    Tier tier;  // the lowest tier of program that may import it
    Faults faults;
    Success success;
    Returns returns;
    const Param* params;
    unsigned paramCount;
};

// Whether the caller gives what an argument holds before the call (a
// value, a handle, what a string or buffer in holds, a count's "in"), or the
// call gives it back.
constexpr bool GivenByCaller(Kind kind)
{
    return kind == Kind::Value || kind == Kind::Handle || kind == Kind::StringIn || kind == Kind::BufferIn ||
           kind == Kind::CountInOut || kind == Kind::Reserved;
}

// The value that sizes buffer argument arg of a call of row, from the
// call's words as its caller gave them and what each count the call takes
// held before it (countsIn, 0 for any other argument): its size argument's
// value, or what the count it names held; 0 for a buffer of fixed size.
template <typename Word, typename Count>
constexpr unsigned SizeValue(const Row& row, const Arg& arg, const Word* words, const Count* countsIn)
{
    if (arg.sizeArg < 0) return 0;
    const unsigned k = static_cast<unsigned>(arg.sizeArg);
    return static_cast<unsigned>(row.params[k].kind.kind == Kind::CountInOut ? countsIn[k] : words[k]);
}

// How many units a buffer of arg's kind spans, given the value that sizes
// it (SizeValue); a buffer of fixed size ignores it. And how many bytes, in
// 64 bits: a count of characters need not fit 32 bits in bytes.
constexpr unsigned BufferUnits(const Arg& arg, unsigned sizeValue)
{
    return arg.sizeArg < 0 ? arg.fixedSize : sizeValue;
}
constexpr unsigned long long BufferBytes(const Arg& arg, unsigned sizeValue)
{
    const unsigned long long units = BufferUnits(arg, sizeValue);
    return arg.unit == Unit::Chars ? 2 * units : units;
}

// Each call's place in kCalls.
namespace index {
#define TRQ_CALL_INDEX(type, name, params, args, faults, success, kinds) name,
enum : unsigned { TRQ_ALL_CALLS(TRQ_CALL_INDEX) kCount };
#undef TRQ_CALL_INDEX
}  // namespace index

// A list's "(root, subKey)" and "(Handle(), StringIn())" as {"root",
// Handle()}, {"subKey", StringIn()}: a parameter's name beside its kind.
#define TRQ_PARAMS_UNPAREN(...) __VA_ARGS__
#ifndef __CPPCHECK__
#define TRQ_PARAMS_COUNT(...) TRQ_PARAMS_COUNT_(__VA_ARGS__ __VA_OPT__(, ) 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0)
#else  // cppcheck 2.10 reads no __VA_OPT__, but drops the comma before an empty ##__VA_ARGS__
#define TRQ_PARAMS_COUNT(...) TRQ_PARAMS_COUNT_CPPCHECK(_, ##__VA_ARGS__, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0)
#define TRQ_PARAMS_COUNT_CPPCHECK(_, ...) TRQ_PARAMS_COUNT_(__VA_ARGS__)
#endif
#define TRQ_PARAMS_COUNT_(a, b, c, d, e, f, g, h, i, j, k, l, n, ...) n
#define TRQ_PARAMS_PASTE(a, b) TRQ_PARAMS_PASTE_(a, b)
#define TRQ_PARAMS_PASTE_(a, b) a##b
#define TRQ_PARAMS(names, kinds)                                                           \
    TRQ_PARAMS_APPLY(TRQ_PARAMS_PASTE(TRQ_PARAMS_, TRQ_PARAMS_COUNT names), TRQ_PARAMS_UNPAREN names, \
                     TRQ_PARAMS_UNPAREN kinds)
#define TRQ_PARAMS_APPLY(macro, ...) macro(__VA_ARGS__)
#define TRQ_PARAMS_0(...)
#define TRQ_PARAMS_1(a, A) , {#a, A}
#define TRQ_PARAMS_2(a, b, A, B) , {#a, A}, {#b, B}
#define TRQ_PARAMS_3(a, b, c, A, B, C) , {#a, A}, {#b, B}, {#c, C}
#define TRQ_PARAMS_4(a, b, c, d, A, B, C, D) TRQ_PARAMS_2(a, b, A, B) TRQ_PARAMS_2(c, d, C, D)
#define TRQ_PARAMS_5(a, b, c, d, e, A, B, C, D, E) TRQ_PARAMS_2(a, b, A, B) TRQ_PARAMS_3(c, d, e, C, D, E)
#define TRQ_PARAMS_6(a, b, c, d, e, f, A, B, C, D, E, F) \
    TRQ_PARAMS_3(a, b, c, A, B, C) TRQ_PARAMS_3(d, e, f, D, E, F)
#define TRQ_PARAMS_7(a, b, c, d, e, f, g, A, B, C, D, E, F, G) \
    TRQ_PARAMS_3(a, b, c, A, B, C) TRQ_PARAMS_4(d, e, f, g, D, E, F, G)
#define TRQ_PARAMS_8(a, b, c, d, e, f, g, h, A, B, C, D, E, F, G, H) \
    TRQ_PARAMS_4(a, b, c, d, A, B, C, D) TRQ_PARAMS_4(e, f, g, h, E, F, G, H)
#define TRQ_PARAMS_9(a, b, c, d, e, f, g, h, i, A, B, C, D, E, F, G, H, I) \
    TRQ_PARAMS_4(a, b, c, d, A, B, C, D) TRQ_PARAMS_5(e, f, g, h, i, E, F, G, H, I)
#define TRQ_PARAMS_10(a, b, c, d, e, f, g, h, i, j, A, B, C, D, E, F, G, H, I, J) \
    TRQ_PARAMS_5(a, b, c, d, e, A, B, C, D, E) TRQ_PARAMS_5(f, g, h, i, j, F, G, H, I, J)
#define TRQ_PARAMS_11(a, b, c, d, e, f, g, h, i, j, k, A, B, C, D, E, F, G, H, I, J, K) \
    TRQ_PARAMS_5(a, b, c, d, e, A, B, C, D, E) TRQ_PARAMS_6(f, g, h, i, j, k, F, G, H, I, J, K)
#define TRQ_PARAMS_12(a, b, c, d, e, f, g, h, i, j, k, l, A, B, C, D, E, F, G, H, I, J, K, L) \
    TRQ_PARAMS_6(a, b, c, d, e, f, A, B, C, D, E, F) TRQ_PARAMS_6(g, h, i, j, k, l, G, H, I, J, K, L)

// The rows, one constant per call. The parameters follow a stand-in, so
// that a call without any has an array too. A row's name is the list's
// (SHGetSpecialFolderPath on every device), stringized before the
// platform's headers can rename the call.
namespace call {
#define TRQ_CALL_ROW(tier, type, name, text, params, args, faults, success, kinds)                      \
    inline constexpr Param name##_params[] = {{"", Reserved()} TRQ_PARAMS(args, kinds)};                \
    inline constexpr Row name = {index::name,      text,                                                 \
                                 tier,             faults,                                               \
                                 Success::success, ReturnsOf<type>::value,                               \
                                 name##_params + 1, sizeof name##_params / sizeof name##_params[0] - 1};
#define TRQ_UNINSTALLER_ROW(type, name, ...) TRQ_CALL_ROW(Uninstaller, type, name, #name, __VA_ARGS__)
#define TRQ_TRACE_ROW(type, name, ...) TRQ_CALL_ROW(Trace, type, name, #name, __VA_ARGS__)
#define TRQ_KIT_ROW(type, name, ...) TRQ_CALL_ROW(Kit, type, name, #name, __VA_ARGS__)
TRQ_DEVICE_CALLS(TRQ_UNINSTALLER_ROW)
TRQ_TRACE_CALLS(TRQ_TRACE_ROW)
TRQ_KIT_CALLS(TRQ_KIT_ROW)
#undef TRQ_UNINSTALLER_ROW
#undef TRQ_TRACE_ROW
#undef TRQ_KIT_ROW
#undef TRQ_CALL_ROW
}  // namespace call

// Every row, in the list's order: kCalls[row.index] is the row.
#define TRQ_CALL_ROW_OF(type, name, params, args, faults, success, kinds) &call::name,
inline constexpr const Row* kCalls[] = {TRQ_ALL_CALLS(TRQ_CALL_ROW_OF)};
#undef TRQ_CALL_ROW_OF
inline constexpr unsigned kCallCount = index::kCount;
static_assert(sizeof kCalls / sizeof kCalls[0] == kCallCount, "a row for each call of the list");

// The most parameters a call of the list has.
constexpr unsigned MostParameters()
{
    unsigned most = 0;
    for (const Row* row : kCalls) most = row->paramCount > most ? row->paramCount : most;
    return most;
}
inline constexpr unsigned kMostParameters = MostParameters();

// How many calls a program of the tier may import.
constexpr unsigned CallCount(Tier tier)
{
    unsigned count = 0;
    for (const Row* row : kCalls) count += row->tier <= tier;
    return count;
}

}  // namespace device_calls

#endif
