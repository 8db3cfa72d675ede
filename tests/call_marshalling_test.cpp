// How the emulated COREDLL reads a call's arguments from the program's
// memory by the kinds the list of device calls declares, on an ARM machine
// with hand-placed memory (no ARM program needed): each kind copied in,
// refused where the program handed over memory it was not given for that
// use, and written back where the call changed it. A buffer the call may
// write must be writable before the call, whether or not it changes.
#include <gtest/gtest.h>

#include <unicorn/unicorn.h>

#include <cctype>
#include <cstring>
#include <deque>
#include <set>
#include <vector>

#include "device/device_call_table.h"
#include "harness/emulator/coredll.h"
#include "platform/sim/fault_rules.h"
#include "tests/expected/expected_words.h"

namespace trq_test {
namespace {

using namespace device_calls;
using emulator::ArmMachine;

constexpr uint32_t kWritable = 0x00020000;  // a page the program may read and write
constexpr uint32_t kReadOnly = 0x00030000;  // a page it may only read
constexpr uint32_t kNowhere = 0x00050000;   // never given
constexpr uint32_t kStack = 0x00060000;     // sp: arguments 5 and on
constexpr uint32_t kPage = 0x1000;
constexpr uint32_t kCountAt = 16;

struct Case {
    const char* name;
    std::vector<Arg> kinds;
    std::vector<uint32_t> words;  // the arguments as the program passes them
    const char* fault;            // part of the message, or null when the call is made
};

// The program's memory: "AB" at the start of each page, the count 8 at
// offset 16, and 0x11 bytes to the page's end.
class Program {
public:
    Program() : machine_(emulator::Cpu::Sa1110), heap_(machine_, 0, 0)
    {
        std::vector<uint8_t> page(kPage, 0x11);
        const uint8_t ab[] = {'A', 0, 'B', 0, 0, 0};
        std::memcpy(page.data(), ab, sizeof ab);
        const uint8_t eight[] = {8, 0, 0, 0};
        std::memcpy(page.data() + kCountAt, eight, sizeof eight);
        EXPECT_TRUE(machine_.Map(kWritable, kPage, emulator::kRead | emulator::kWrite, page));
        EXPECT_TRUE(machine_.Map(kReadOnly, kPage, emulator::kRead, page));
        EXPECT_TRUE(machine_.Map(kStack, kPage, emulator::kRead | emulator::kWrite));
    }

    // Places the arguments in r0-r3 and on the stack and marshals them.
    emulator::CallFrame& Call(const std::vector<Arg>& kinds, const std::vector<uint32_t>& words,
                              uint64_t budget = 1 << 20, uint32_t sp = kStack)
    {
        budget_ = {budget, budget};
        for (size_t i = 0; i < words.size(); ++i) {
            if (i < 4) machine_.SetReg(UC_ARM_REG_R0 + static_cast<int>(i), words[i]);
            else machine_.Write(kStack + 4 * static_cast<uint32_t>(i - 4), &words[i], 4);
        }
        machine_.SetReg(UC_ARM_REG_SP, sp);
        params_.emplace_back();
        for (const Arg& kind : kinds) params_.back().push_back(Param{"argument", kind});
        calls_.push_back(Row{0, "Call", Kit, Faultable, Success::Always, Returns::None, params_.back().data(),
                             static_cast<unsigned>(kinds.size())});
        frame_.emplace_back(machine_, heap_, budget_, calls_.back());
        frame_.back().Marshal();
        return frame_.back();
    }
    std::vector<uint8_t> Bytes(uint32_t at, uint32_t size)
    {
        std::vector<uint8_t> bytes(size);
        machine_.Read(at, bytes.data(), size);
        return bytes;
    }
    uint64_t BudgetLeft() const { return budget_.left; }

private:
    ArmMachine machine_;
    emulator::ProcessHeap heap_;
    emulator::CopyBudget budget_;
    std::deque<std::vector<Param>> params_;  // a call of the kinds asked for
    std::deque<Row> calls_;
    std::deque<emulator::CallFrame> frame_;
};

const Case kCases[] = {
    {"a value as it is", {Value(), Value()}, {7, 0xFFFFFFFF}, nullptr},
    {"a handle never read through", {Handle()}, {kNowhere}, nullptr},
    {"a string", {StringIn()}, {kReadOnly}, nullptr},
    {"a null string", {StringIn()}, {0}, nullptr},
    {"a string running off its memory", {StringIn()}, {kReadOnly + kPage - 2}, "runs into memory the program was not given"},
    {"a buffer in from read-only memory", {BufferIn(1, Unit::Bytes), Value()}, {kReadOnly, 16}, nullptr},
    {"a buffer in past its memory", {BufferIn(1, Unit::Bytes), Value()}, {kReadOnly + kPage - 8, 16}, "the 16 bytes at 0x00030FF8 are not memory the program was given"},
    {"a buffer out sized in characters", {Value(), BufferOut(0, Unit::Chars)}, {3, kWritable}, nullptr},
    {"a buffer out sized in characters past its memory", {Value(), BufferOut(0, Unit::Chars)}, {5, kWritable + kPage - 8}, "the 10 bytes at 0x00020FF8 are not memory"},
    {"a buffer out in read-only memory", {Value(), BufferOut(0, Unit::Bytes)}, {4, kReadOnly}, "argument 2: the call may write the 4 bytes at 0x00030000, which the program may not write"},
    {"a null buffer out", {Value(), BufferOut(0, Unit::Bytes)}, {4, 0}, nullptr},
    {"a buffer out of MAX_PATH characters", {FixedBufferOut(kMaxPathChars, Unit::Chars)}, {kWritable + kPage - 520}, nullptr},
    {"a buffer out of MAX_PATH characters past its memory", {FixedBufferOut(kMaxPathChars, Unit::Chars)}, {kWritable + kPage - 518}, "the 520 bytes at"},
    {"a buffer out of an OSVERSIONINFOW", {FixedBufferOut(276, Unit::Bytes)}, {kWritable + kPage - 276}, nullptr},
    {"a buffer out of an OSVERSIONINFOW past its memory", {FixedBufferOut(276, Unit::Bytes)}, {kWritable + kPage - 272}, "the 276 bytes at 0x00020EF0"},
    {"a buffer out sized by a count", {BufferOut(1, Unit::Bytes), CountInOut()}, {kWritable + kPage - 8, kWritable + kCountAt}, nullptr},
    {"a buffer out sized by a count past its memory", {BufferOut(1, Unit::Bytes), CountInOut()}, {kWritable + kPage - 4, kWritable + kCountAt}, "argument 1: the 8 bytes at 0x00020FFC are not memory"},
    {"a buffer out sized by a count in read-only memory", {BufferOut(1, Unit::Bytes), CountInOut()}, {kWritable + 8, kReadOnly}, "argument 2: the call may write the 4 bytes at 0x00030000"},
    {"a buffer out sized by a null count", {BufferOut(1, Unit::Bytes), CountInOut()}, {kReadOnly, 0}, nullptr},
    {"a DWORD out in read-only memory", {WordOut()}, {kReadOnly}, "which the program may not write"},
    {"a handle out in read-only memory", {HandleOut()}, {kReadOnly}, "which the program may not write"},
    {"a handle out never given", {HandleOut()}, {kNowhere}, "the 4 bytes at 0x00050000 are not memory the program was given"},
    {"a reserved pointer never read", {Reserved()}, {kNowhere}, nullptr},
    {"a fifth argument on the stack", {Value(), Value(), Value(), Value(), WordOut()}, {0, 0, 0, 0, kWritable}, nullptr},
};

class Marshalling : public testing::TestWithParam<Case> {};

TEST_P(Marshalling, EachKindIsReadOrRefusedBeforeTheCall)
{
    const Case& c = GetParam();
    Program program;
    emulator::CallFrame& frame = program.Call(c.kinds, c.words);
    if (c.fault) {
        EXPECT_TRUE(frame.Faulted());
        EXPECT_NE(frame.Fault().find(c.fault), std::string::npos) << frame.Fault();
        return;
    }
    ASSERT_FALSE(frame.Faulted()) << frame.Fault();
    for (size_t i = 0; i < c.words.size(); ++i) {
        EXPECT_EQ(frame.Arg(static_cast<int>(i)), c.words[i]);
        const Kind kind = c.kinds[i].kind;
        const bool pointsToCopy = kind != Kind::Value && kind != Kind::Handle && c.words[i];
        EXPECT_EQ(frame.Host(static_cast<int>(i)) != nullptr, pointsToCopy) << "argument " << i + 1;
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, Marshalling, testing::ValuesIn(kCases), [](const auto& info) {
    std::string name;
    for (const char* p = info.param.name; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
});

TEST(MarshallingCopies, AStringAndABufferInArriveAsTheProgramHoldsThem)
{
    Program program;
    emulator::CallFrame& frame = program.Call({StringIn(), BufferIn(2, Unit::Bytes), Value()}, {kWritable, kReadOnly, 6});
    ASSERT_FALSE(frame.Faulted()) << frame.Fault();
    EXPECT_EQ(std::u16string(static_cast<const char16_t*>(frame.Host(0))), u"AB");
    EXPECT_EQ(std::memcmp(frame.Host(1), "A\0B\0\0\0", 6), 0);
}

TEST(MarshallingCopies, OnlyWhatTheCallChangedGoesBackAndABufferInNever)
{
    Program program;
    emulator::CallFrame& frame =
        program.Call({BufferIn(2, Unit::Bytes), BufferOut(2, Unit::Chars), Value()}, {kReadOnly, kWritable, 4});
    ASSERT_FALSE(frame.Faulted()) << frame.Fault();
    const uint64_t before = program.BudgetLeft();
    static_cast<uint8_t*>(frame.Host(0))[0] = 'Z';  // the call scribbles on what it was only to read
    static_cast<uint8_t*>(frame.Host(1))[2] = 'C';  // and changes one character of its buffer out
    ASSERT_TRUE(frame.WriteBack()) << frame.Fault();
    EXPECT_EQ(program.Bytes(kReadOnly, 1), std::vector<uint8_t>{'A'});
    EXPECT_EQ(program.Bytes(kWritable, 8), (std::vector<uint8_t>{'A', 0, 'C', 0, 0, 0, 0x11, 0x11}));
    EXPECT_EQ(before - program.BudgetLeft(), 1u);  // one byte written back
}

TEST(MarshallingCopies, TheStackMustBeTheProgramsAndTheBudgetHoldsWhatIsCopied)
{
    Program program;
    EXPECT_NE(program.Call({Value(), Value(), Value(), Value(), Value()}, {0, 0, 0, 0, 0}, 1 << 20, kNowhere)
                  .Fault()
                  .find("argument 5: the stack at 0x00050000 is not memory the program was given"),
              std::string::npos);
    emulator::CallFrame& over = program.Call({Value(), BufferOut(0, Unit::Bytes)}, {64, kWritable}, 63);
    EXPECT_NE(over.Fault().find("over the run's budget of 63 bytes"), std::string::npos) << over.Fault();
}

// Every call of the list is served, of every tier, and --fail fails each
// call a device can see fail; the uninstaller's tier is its 17 calls; the
// emulated COREDLL serves nothing else (not desktop Windows' SetEvent), and
// --fail fails no call that is not a device's.
TEST(DeviceCallList, EveryCallIsServedAndTheFaultableOnesFail)
{
    std::set<std::string> listed, uninstallers;
    for (const Row* call : kCalls) {
        const emulator::Export* served = emulator::FindExport(call->name);
        ASSERT_NE(served, nullptr) << call->name;
        EXPECT_EQ(served->call, call) << call->name;
        EXPECT_NE(served->serve, nullptr) << call->name;
        listed.insert(call->name);
        if (call->tier == Uninstaller) uninstallers.insert(call->name);
    }
    std::set<std::string> calls(std::begin(expected::kFaultableCalls), std::end(expected::kFaultableCalls));
    calls.insert("GetProcessHeap");
    EXPECT_EQ(uninstallers, calls);
    EXPECT_EQ(listed.size(), 40u);
    for (const std::string& name : listed) {
        sim::FaultRule rule;
        std::string error;
        const bool neverFails = name == "GetProcessHeap" || name == "Sleep";
        EXPECT_EQ(sim::ParseFaultRule(name + ":fail", rule, error), !neverFails) << name << ": " << error;
    }
    EXPECT_EQ(emulator::FindExport("SetEvent"), nullptr);
}

}  // namespace
}  // namespace trq_test
