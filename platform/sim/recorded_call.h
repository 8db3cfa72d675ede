// A device call as its record holds it, as values: the call's row, each
// argument decoded by its kind, the result, the error code after it, and
// what only the simulated device knows of it. One model for every record,
// whether captured from a live call's words (CaptureCall, as the record
// writer of platform/trace/call_record.h reads them) or read from a trace
// at the file's edge (harness/runner/call_json.h); two records of a call
// compare as values, never as the text they were written in.
#ifndef TRQ_SIM_RECORDED_CALL_H
#define TRQ_SIM_RECORDED_CALL_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

#include "device/device_call_table.h"
#include "platform/trace/call_record.h"

namespace sim {

// One argument or result, by its kind.
struct CallValue {
    enum class Is : unsigned char {
        Missing,  // not in the record: a call that returns nothing, a record cut short
        Null,     // a null pointer, a Reserved argument
        Number,   // a Value, a WordOut; a result signed or unsigned as its type is
        Handle,   // a Handle, a HandleOut, a pointer result: the device's 32-bit word
        Text,     // a string in; characters out, up to their NUL
        Bytes,    // bytes in; bytes out, as many as the call says it wrote
        Count,    // a CountInOut: in, and number for out
    };
    Is is = Is::Missing;
    int64_t number = 0;
    int64_t in = 0;
    std::u16string text;  // every UTF-16 unit as the device had it, a lone surrogate too
    std::vector<uint8_t> bytes;

    static CallValue Number(int64_t n);
    static CallValue Handle(uint32_t h);
    // No pointer was given (or the record does not say): nothing given back.
    bool Absent() const { return is == Is::Missing || is == Is::Null; }
    friend bool operator==(const CallValue& a, const CallValue& b)
    {
        return a.is == b.is && a.number == b.number && a.in == b.in && a.text == b.text && a.bytes == b.bytes;
    }
    friend bool operator!=(const CallValue& a, const CallValue& b) { return !(a == b); }
};

// What the simulated device knows of a call that no device records, the
// extra member "sim" of its record: which program of the run made it,
// which --fail rule made it fail, who holds the file it could not delete,
// what it started or ended. The checker ignores it.
struct SimNotes {
    int process = 0;     // a program another program started (the command's own: 0)
    std::string fault;   // the --fail rule, as written
    std::string heldBy;  // DeleteFileW of a file held: "user", "device" or "program"
    int started = 0;     // CreateProcessW: the program it started
    int ended = 0;       // EventModify: how many programs that waited on the event ended

    bool Empty() const { return !process && fault.empty() && heldBy.empty() && !started && !ended; }
    friend bool operator==(const SimNotes& a, const SimNotes& b)
    {
        return a.process == b.process && a.fault == b.fault && a.heldBy == b.heldBy && a.started == b.started &&
               a.ended == b.ended;
    }
};

struct RecordedCall {
    const device_calls::Row* call = nullptr;
    std::vector<CallValue> args;  // one for each of the row's parameters
    CallValue result;             // Missing when the call returns nothing
    uint32_t error = 0;
    SimNotes sim;

    // The argument of that parameter's name; a Missing value for a name the
    // call has not.
    const CallValue& Arg(std::string_view parameter) const;
    friend bool operator==(const RecordedCall& a, const RecordedCall& b)
    {
        return a.call == b.call && a.args == b.args && a.result == b.result && a.error == b.error && a.sim == b.sim;
    }
    friend bool operator!=(const RecordedCall& a, const RecordedCall& b) { return !(a == b); }
};

// The call that returned, as the record writer would write it.
RecordedCall CaptureCall(const TracedCall& call);

// Whether the call succeeded, by its row's rule (device_calls::Success).
bool Succeeded(const RecordedCall& call);

// The call and what it was given, for a report:
// DeleteFileW path="\Windows\TRQUtil.exe".
std::string DescribeCall(const RecordedCall& call);
// The first string the call was given; empty when there is none.
std::u16string FirstString(const RecordedCall& call);
// The call and the first string it was given: DeleteFileW \Windows\TRQUtil.exe.
std::string CallLabel(const RecordedCall& call);
// A value as a report shows it: a number, a handle "0x...", a string in
// quotes, bytes as hexadecimal in quotes, null.
std::string ShowValue(const CallValue& value);

// The first parameter the caller gave differently in two records of the
// same call ("" when none). Handles are compared by sameHandle (a's handle,
// b's handle); with outPointers, a pointer to what the call gives back
// counts too, null on one side only.
std::string DifferingArgument(const RecordedCall& a, const RecordedCall& b, bool outPointers,
                              const std::function<bool(uint32_t, uint32_t)>& sameHandle);

// Where each handle of one run came from: the call that gave it back (by
// its number in the run) and where (its result, or which argument). The
// device and the simulated device give out handles of their own, a window
// of the Today screen or none, a key at another address: a handle of one
// run and a handle of another are the same handle when they came from the
// same place, and, where either came from no call of its run (a root key,
// a null handle, a module's handle), when they are equal.
class HandleOrigins {
public:
    // What call number n gave back: its result and each handle it stored.
    void Learn(int n, const RecordedCall& call);
    static bool Same(const HandleOrigins& a, uint32_t x, const HandleOrigins& b, uint32_t y);

private:
    std::map<uint32_t, std::pair<int, int>> origin_;  // handle -> call, place (-1: the result)
};

}  // namespace sim

#endif
