// Every call of device/device_calls.h as the trace record needs it: its
// name, its parameters' names and their kinds, one constant per call
// (call_shapes::RegOpenKeyExW, ...), made from the list.
#ifndef TRQ_PLATFORM_TRACE_CALL_SHAPES_H
#define TRQ_PLATFORM_TRACE_CALL_SHAPES_H

#include "device/device_calls.h"

struct CallShape {
    const char* name;            // "RegOpenKeyExW"
    const char* parameterNames;  // "(root, subKey, options, access, result)"
    const device_calls::Arg* kinds;
    unsigned count;
};

#define TRQ_CALL_SHAPE_UNPAREN(...) __VA_ARGS__
// The kinds follow a stand-in, so that a call without parameters has an
// array too.
#define TRQ_CALL_SHAPE(type, name, params, args, faults, kinds)                                         \
    constexpr device_calls::Arg name##_kinds[] = {device_calls::Reserved(), TRQ_CALL_SHAPE_UNPAREN kinds}; \
    constexpr CallShape name = {#name, #args, name##_kinds + 1, sizeof name##_kinds / sizeof name##_kinds[0] - 1};

namespace call_shapes {
using namespace device_calls;
TRQ_ALL_CALLS(TRQ_CALL_SHAPE)
}  // namespace call_shapes

#undef TRQ_CALL_SHAPE
#undef TRQ_CALL_SHAPE_UNPAREN

#endif
