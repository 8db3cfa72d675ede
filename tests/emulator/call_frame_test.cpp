// A call into COREDLL as the emulator receives it: the first four arguments
// in r0-r3, the rest on the program's stack from sp up; a stack argument in
// memory the program was not given refuses the call, naming the argument
// and the address.
#include <string>
#include <vector>

#include "harness/emulator/coredll.h"
#include "tests/emulator/arm_code.h"

namespace trq_test::arm {
namespace {

using emulator::CallFrame;
using emulator::Cpu;

struct Arguments {
    std::string name;
    uint32_t sp;
    int index;           // from 0: the first argument
    uint32_t value;      // what it reads, when it can
    std::string fault;   // else why the call is refused
};

// The stack page kStack holds the words 0xA0000000 + its offset; the page
// below it was not given.
const Arguments kArguments[] = {
    {"FirstInR0", kStack + 0x100, 0, 0x10, ""},
    {"FourthInR3", kStack + 0x100, 3, 0x13, ""},
    {"FifthAtTheStackPointer", kStack + 0x100, 4, 0xA0000100, ""},
    {"SeventhTwoWordsUp", kStack + 0x100, 6, 0xA0000108, ""},
    {"SixthInTheLastWordOfTheStack", kStack + kPage - 8, 5, 0xA0000FFC, ""},
    {"SixthPastTheStack", kStack + kPage - 4, 5, 0,
     "HeapAlloc, argument 6: the stack at 0x01F01000 is not memory the program was given"},
    {"FifthBelowTheStack", kStack - 4, 4, 0,
     "HeapAlloc, argument 5: the stack at 0x01EFFFFC is not memory the program was given"},
    // Registers need no memory: a stack pointer gone astray does not matter to them.
    {"SecondWithTheStackPointerAstray", 0, 1, 0x11, ""},
};

void PrintTo(const Arguments& arguments, std::ostream* out) { *out << arguments.name; }

class CallArguments : public testing::TestWithParam<Arguments> {};

TEST_P(CallArguments, ComeFromR0ToR3AndThenTheStack)
{
    const Arguments& a = GetParam();
    auto machine = Machine(Cpu::Sa1110, {kReturn});
    for (uint32_t offset = 0; offset < kPage; offset += 4) {
        const uint32_t word = 0xA0000000 + offset;
        ASSERT_TRUE(machine->Write(kStack + offset, &word, 4));
    }
    for (int r = 0; r < 4; ++r) machine->SetReg(UC_ARM_REG_R0 + r, 0x10 + r);
    machine->SetReg(UC_ARM_REG_SP, a.sp);
    emulator::ProcessHeap heap(*machine, 0, 0);
    emulator::CopyBudget copies{1024, 1024};
    // Plain values up to the one read: only where each word is matters here.
    const std::vector<device_calls::Param> params(a.index + 1, device_calls::Param{"value", device_calls::Value()});
    device_calls::Row call = device_calls::call::HeapAlloc;
    call.params = params.data();
    call.paramCount = static_cast<unsigned>(params.size());
    CallFrame frame(*machine, heap, copies, call);
    EXPECT_EQ(frame.Marshal(), a.fault.empty());
    EXPECT_EQ(frame.Fault(), a.fault);
    if (a.fault.empty()) {
        EXPECT_EQ(frame.Arg(a.index), a.value);
    }
}

INSTANTIATE_TEST_SUITE_P(Frame, CallArguments, testing::ValuesIn(kArguments),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace trq_test::arm
