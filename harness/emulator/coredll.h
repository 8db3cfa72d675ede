// COREDLL as the emulated Pocket PC serves it. Each export a Pocket PC
// executable may import is one call of the list in device/device_calls.h,
// served by the simulated device the program runs on, by its member of
// that name (platform/sim/services.h): the arguments are copied from the emulated
// memory to the host and the results back by the kinds the list declares,
// in one place (CallFrame).
// The trace, the faults and the dialogue are therefore the simulated
// device's, call for call.
#ifndef TRQ_HARNESS_EMULATOR_COREDLL_H
#define TRQ_HARNESS_EMULATOR_COREDLL_H

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "device/device.h"
#include "device/device_call_table.h"
#include "harness/emulator/arm_machine.h"
#include "platform/trace/call_record.h"

namespace sim {
class DeviceSession;
}

namespace emulator {

// The process heap, in emulated memory, as COREDLL keeps it. Every block
// has pages of its own and ends where an unmapped page begins, so a program
// that runs past a block, or uses one it gave back, faults at once; a block
// is 8-byte aligned as COREDLL's are, and the bytes from its end to that
// rounding are guard bytes, checked when it is freed and when the program
// returns. Freed pages are given out again. Each block stands for a block
// of the simulated device's heap, which keeps the books (what is
// allocated, freed twice, left over).
class ProcessHeap {
public:
    ProcessHeap(ArmMachine& machine, uint32_t start, uint32_t end);
    // Maps the pages of a new block of bytes, guard bytes set; its emulated
    // address, or 0 when the heap has no room for it.
    uint32_t Allocate(uint32_t bytes);
    // Ties the device's block to an emulated one from Allocate.
    void Attach(uint32_t block, void* deviceBlock);
    // The device's block behind an emulated one, or null.
    void* DeviceBlock(uint32_t block) const;
    // Unmaps a block; its pages are free for the next.
    void Release(uint32_t block);
    // Why a block's guard bytes are not as they were set, or "" when they are.
    std::string Overrun(uint32_t block) const;
    // The first block, by address, whose guard bytes were written, or "".
    std::string AnyOverrun() const;

private:
    struct Block {
        uint32_t pages, pagesSize;  // the pages mapped for it
        uint32_t bytes;             // what was asked for
        void* deviceBlock;
    };
    ArmMachine& machine_;
    std::map<uint32_t, Block> blocks_;
    std::map<uint32_t, uint32_t> free_;  // unmapped address ranges for blocks: start, size
};

// What the calls of one run may still copy between the emulated memory and
// the host, in bytes: strings and buffers in, what calls wrote back out.
struct CopyBudget {
    uint64_t total = 0;  // for the message
    uint64_t left = 0;
};

// One call into COREDLL being served: its arguments (r0-r3, then the
// stack), read by the kinds the list of device/device_calls.h declares,
// host copies of the memory they point to, and its result.
class CallFrame {
public:
    CallFrame(ArmMachine& machine, ProcessHeap& heap, CopyBudget& copies, const device_calls::Row& call);

    // Reads every argument by its kind, before the call is made: a string
    // is copied to its terminator, a buffer for the size its kind names,
    // and memory the call may write (a buffer out, a DWORD or handle it
    // sets) must be memory the program may write, whether or not the call
    // will change it; and what each count the call reads holds. False, and
    // Faulted, when the program handed over memory it was not given for
    // that use or the copy budget is spent.
    bool Marshal();

    // The call as it returned, for its record: each argument's word as the
    // program passed it, or the host copy it points to, as the program
    // will see it once written back.
    TracedCall Returned(DWORD error);

    // After Marshal: an argument's word as the program passed it, and a
    // pointer argument's host copy (null for a null pointer; a stand-in
    // for a Reserved one that is not null).
    uint32_t Arg(int index) const { return args_[index].word; }
    void* Host(int index) const { return args_[index].host; }

    // Whether the program handed over memory it was not given, more than
    // the run's budget of bytes to copy, or the call could not be served;
    // then the call is not made and Fault() says why.
    bool Faulted() const { return !fault_.empty(); }
    void Refuse(const std::string& why);
    const std::string& Fault() const { return fault_; }
    // Copies what the call changed in the memory it may write back to the
    // emulated memory; false (and Faulted) when that passes the budget.
    bool WriteBack();

    ArmMachine& machine;
    ProcessHeap& heap;
    uint32_t result = 0;  // r0 when the call returns

private:
    struct Copy {
        uint32_t address;
        std::vector<uint8_t> before, host;
        bool out;  // the call may write it
    };
    struct Marshalled {
        bool done = false;
        uint32_t word = 0;
        void* host = nullptr;
    };
    void Resolve(int index);
    uint32_t ReadWord(int index);
    uint64_t BufferBytes(const device_calls::Arg& kind);
    const device_calls::Arg& KindOf(int index) const { return call_.params[index].kind; }
    void Fail(int index, const std::string& what);
    // Takes bytes from the copy budget; false (and Faulted) when it is spent.
    bool Spend(uint64_t bytes);
    const char16_t* String(int index, uint32_t start);
    // The string of length characters at the start of bytes, kept for the call.
    const char16_t* Keep(int index, uint32_t start, const std::string& bytes, size_t length);
    void* Buffer(int index, uint32_t start, uint64_t bytes, bool out);
    CopyBudget& budget_;
    const device_calls::Row& call_;
    std::string fault_;
    std::vector<Marshalled> args_;
    // The call's words and what each count it takes held before it, filled
    // as the arguments are resolved (a buffer's size is read from them),
    // then a pointer's word made the host's copy: what Returned hands the
    // record writer.
    TraceWord words_[device_calls::kMostParameters + 1] = {};
    DWORD countsIn_[device_calls::kMostParameters + 1] = {};
    ULONG_PTR handlesOut_[device_calls::kMostParameters + 1] = {};
    uint32_t reserved_ = 0;  // what a Reserved argument that is not null points to
    std::deque<std::u16string> strings_;
    std::deque<Copy> copies_;
};

// Serves one call on the device the program runs on.
using ServeCall = void (*)(sim::DeviceSession& device, CallFrame& frame);

// What the emulated COREDLL serves: every call of the list, of every tier
// (the uninstaller's, its trace build's, the device kit's), and nothing
// else, one export for each row. Each is served from its declared kinds,
// unless its service has something of its own (the heap's calls, and
// CreateProcessW, whose PROCESS_INFORMATION is not the host's).
struct Export {
    const device_calls::Row* call;
    ServeCall serve;
};
constexpr size_t kExportCount = device_calls::kCallCount;
// The export of a call.
const Export& ExportOf(const device_calls::Row& call);
// The export an import names, at the image's edge; null for a name that is
// no call of the list.
const Export* FindExport(const std::string& name);
// The name COREDLL is found by: imports name it without regard to case.
bool IsCoredll(const std::string& library);

}  // namespace emulator

#endif
