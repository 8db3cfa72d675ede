// The emulated processor on its own, fed a few hand-encoded ARM words: what
// memory a program was given and what it was not, the instruction budget,
// the return to the loader and a call out and back, and which instructions
// each processor runs.
#include <string>

#include "tests/emulator/arm_code.h"

namespace trq_test::arm {
namespace {

using emulator::ArmMachine;
using emulator::Cpu;
using emulator::Halt;

const Cpu kCpus[] = {Cpu::Sa1110, Cpu::Pxa270};

std::string CpuWord(Cpu cpu) { return cpu == Cpu::Sa1110 ? "SA1110" : "PXA270"; }

// ------------------------------------------------------------ memory --

constexpr uint32_t kData = 0x00020000;
constexpr uint32_t kHeld = 0x11223344;    // what the data page holds
constexpr uint32_t kStored = 0xCAFEF00D;  // what a store writes

// What the program is given beside its code and stack, at kData.
enum class Given {
    Nothing,
    ReadOnly,        // a page holding kHeld
    ReadWrite,       // the same, writable
    ReservedSecond,  // the second page of four backed once (as the heap's are), writable
    ReservedGone,    // the first page of four backed once, given and taken back
};

bool Give(ArmMachine& m, Given given)
{
    using emulator::kRead, emulator::kWrite;
    switch (given) {
    case Given::Nothing: return true;
    case Given::ReadOnly: return m.Map(kData, kPage, kRead, Bytes({kHeld}));
    case Given::ReadWrite: return m.Map(kData, kPage, kRead | kWrite, Bytes({kHeld}));
    case Given::ReservedSecond: return m.Reserve(kData, 4 * kPage) && m.Map(kData + kPage, kPage, kRead | kWrite);
    case Given::ReservedGone:
        return m.Reserve(kData, 4 * kPage) && m.Map(kData, kPage, kRead | kWrite) && m.Unmap(kData, kPage);
    }
    return false;
}

struct Access {
    std::string name;
    Given given;
    uint32_t r0;           // the address the instruction uses
    uint32_t instruction;  // at At(0), then a return to the loader
    std::string fault;     // "" when the program returns
    uint32_t pc = At(0);   // where a fault leaves the program
};

const Access kAccesses[] = {
    {"ReadOfGivenMemory", Given::ReadOnly, kData, kLoadR1FromR0, ""},
    {"WriteToGivenMemory", Given::ReadWrite, kData, kStoreR1AtR0, ""},
    {"ReadOfMemoryNotGiven", Given::Nothing, kData, kLoadR1FromR0,
     "read of memory the program was not given at 0x00020000"},
    {"WriteToMemoryNotGiven", Given::Nothing, kData + 8, kStoreR1AtR0,
     "write to memory the program was not given at 0x00020008"},
    {"ReadOfTheFirstPage", Given::Nothing, 4, kLoadR1FromR0, "read of memory the program was not given at 0x00000004"},
    {"WriteToReadOnlyMemory", Given::ReadOnly, kData + 4, kStoreR1AtR0, "write to read-only memory at 0x00020004"},
    {"WriteToTheCode", Given::Nothing, kCode, kStoreR1AtR0, "write to read-only memory at 0x00010000"},
    {"RunningWhatIsNotCode", Given::ReadWrite, kData, kJumpToR0,
     "execution of memory that is not code at 0x00020000", kData},
    {"ReadOfAReservedPageGiven", Given::ReservedSecond, kData + kPage, kLoadR1FromR0, ""},
    {"ReadOfAReservedPageNotGiven", Given::ReservedSecond, kData + 2 * kPage, kLoadR1FromR0,
     "read of memory the program was not given at 0x00022000"},
    {"WriteToAReservedPageTakenBack", Given::ReservedGone, kData + 16, kStoreR1AtR0,
     "write to memory the program was not given at 0x00020010"},
};

void PrintTo(const Access& access, std::ostream* out) { *out << access.name; }

class MemoryAccess : public testing::TestWithParam<std::tuple<Access, Cpu>> {};

TEST_P(MemoryAccess, FaultsWithTheAddressWhereTheProgramWasNotGivenTheAccess)
{
    const auto& [access, cpu] = GetParam();
    auto machine = Machine(cpu, {access.instruction, kReturn});
    ASSERT_TRUE(Give(*machine, access.given));
    machine->SetReg(UC_ARM_REG_R0, access.r0);
    machine->SetReg(UC_ARM_REG_R1, kStored);
    const Halt halt = machine->Run(kCode);
    if (access.fault.empty()) {
        EXPECT_EQ(halt.kind, Halt::Call) << halt.what;
        EXPECT_EQ(halt.address, kLoader);
        uint32_t word = 0;
        ASSERT_TRUE(machine->Read(access.r0, &word, 4));
        // What was loaded: the page's bytes, or zeros on a page given afresh; what was stored.
        if (access.instruction == kLoadR1FromR0) {
            EXPECT_EQ(machine->Reg(UC_ARM_REG_R1), access.r0 == kData ? kHeld : 0u);
        } else {
            EXPECT_EQ(word, kStored);
        }
        return;
    }
    EXPECT_EQ(halt.kind, Halt::Fault);
    EXPECT_EQ(halt.what, access.fault);
    EXPECT_EQ(halt.address, access.r0);
    EXPECT_EQ(halt.pc, access.pc);
}

INSTANTIATE_TEST_SUITE_P(Machine, MemoryAccess, testing::Combine(testing::ValuesIn(kAccesses), testing::ValuesIn(kCpus)),
                         [](const auto& info) {
                             return std::get<0>(info.param).name + "_" + CpuWord(std::get<1>(info.param));
                         });

TEST(MemoryAccess, AJumpToMemoryNotGivenStopsThereForTheCallerToJudge)
{
    auto machine = Machine(Cpu::Sa1110, {kJumpToR0});
    machine->SetReg(UC_ARM_REG_R0, kData);
    const Halt halt = machine->Run(kCode);
    EXPECT_EQ(halt.kind, Halt::Call);
    EXPECT_EQ(halt.address, kData);
}

TEST(MemoryAccess, PagesAreGivenWholeAndOnlyOnce)
{
    ArmMachine machine(Cpu::Sa1110);
    EXPECT_FALSE(machine.Map(kData + 1, kPage, emulator::kRead));
    EXPECT_FALSE(machine.Map(kData, kPage + 1, emulator::kRead));
    EXPECT_FALSE(machine.Map(kData, kPage, emulator::kRead, std::vector<uint8_t>(kPage + 1)));
    ASSERT_TRUE(machine.Reserve(kData, 4 * kPage));
    ASSERT_TRUE(machine.Map(kData + kPage, 2 * kPage, emulator::kRead));
    EXPECT_FALSE(machine.Map(kData, 2 * kPage, emulator::kRead));           // overlaps its start
    EXPECT_FALSE(machine.Map(kData + 2 * kPage, kPage, emulator::kRead));   // inside it
    EXPECT_FALSE(machine.Unmap(kData + kPage, kPage));                      // not as it was given
    EXPECT_TRUE(machine.Given(kData + kPage, 2 * kPage, emulator::kRead));
    EXPECT_FALSE(machine.Given(kData + kPage, 2 * kPage, emulator::kWrite));
    EXPECT_FALSE(machine.Given(kData + 3 * kPage - 2, 4, emulator::kRead));  // runs past its end
}

// ------------------------------------------------------------ budget --

// Counts r0 down from 1024 to 0, two instructions a turn, and returns.
const std::vector<uint32_t> kCountDown = {
    0xE3A00B01,  // mov r0, #1024
    0xE2500001,  // subs r0, r0, #1
    0x1AFFFFFD,  // bne the subs
    kReturn,
};

TEST(Budget, AnEndlessLoopStopsAtItsBudget)
{
    for (Cpu cpu : kCpus) {
        auto machine = Machine(cpu, {kNop, kLoopForever}, 100'000);
        const Halt halt = machine->Run(kCode);
        EXPECT_EQ(halt.kind, Halt::Budget) << CpuName(cpu);
        EXPECT_EQ(halt.pc, At(1));
    }
}

TEST(Budget, CountsTheInstructionsRun)
{
    struct Case {
        uint64_t budget;
        Halt::Kind end;
    };
    // About 2,050 instructions: past a budget of 1,500, within one of 3,000.
    for (const Case c : {Case{1'500, Halt::Budget}, Case{3'000, Halt::Call}}) {
        auto machine = Machine(Cpu::Pxa270, kCountDown, c.budget);
        const Halt halt = machine->Run(kCode);
        EXPECT_EQ(halt.kind, c.end) << c.budget;
        if (c.end == Halt::Call) {
            EXPECT_EQ(machine->Reg(UC_ARM_REG_R0), 0u);
        }
    }
}

TEST(Budget, IsOneForTheWholeRunNotOneForEachStretchBetweenCalls)
{
    auto machine = Machine(Cpu::Sa1110, kCountDown, 3'000);
    ASSERT_EQ(machine->Run(kCode).kind, Halt::Call);
    machine->SetReg(UC_ARM_REG_LR, kLoader);
    EXPECT_EQ(machine->Run(kCode).kind, Halt::Budget);
}

// ----------------------------------------------- the loader and calls out --

TEST(Loader, TheRunStopsWhereWinMainReturnsWithItsResultInR0)
{
    for (Cpu cpu : kCpus) {
        auto machine = Machine(cpu, {MoveR0(42), kReturn});
        const Halt halt = machine->Run(kCode);
        EXPECT_EQ(halt.kind, Halt::Call) << CpuName(cpu);
        EXPECT_EQ(halt.address, kLoader);
        EXPECT_EQ(machine->Reg(UC_ARM_REG_PC), kLoader);
        EXPECT_EQ(machine->Reg(UC_ARM_REG_R0), 42u);
    }
}

TEST(Loader, ACallOutStopsAtItsExitAndTheRunGoesOnFromTheReturnAddress)
{
    constexpr uint32_t kImport = 0x03F00000;  // where an import of COREDLL leads
    auto machine = Machine(Cpu::Sa1110, {
                                            0xE1A0E00F,  // mov lr, pc: returns past the next
                                            0xE1A0F004,  // mov pc, r4: the import
                                            0xE2800001,  // add r0, r0, #1
                                            0xE1A0F005,  // mov pc, r5: the loader
                                        });
    ASSERT_TRUE(machine->SetExits({kLoader, kImport}));
    machine->SetReg(UC_ARM_REG_R4, kImport);
    machine->SetReg(UC_ARM_REG_R5, kLoader);
    Halt halt = machine->Run(kCode);
    ASSERT_EQ(halt.kind, Halt::Call);
    EXPECT_EQ(halt.address, kImport);
    EXPECT_EQ(machine->Reg(UC_ARM_REG_LR), At(2));
    machine->SetReg(UC_ARM_REG_R0, 41);  // the call's result
    halt = machine->Run(machine->Reg(UC_ARM_REG_LR));
    EXPECT_EQ(halt.kind, Halt::Call);
    EXPECT_EQ(halt.address, kLoader);
    EXPECT_EQ(machine->Reg(UC_ARM_REG_R0), 42u);
}

// -------------------------------------------------------- the processors --

// What an instruction does on a processor: run (r0 as expected when the
// program returns), or stop with a message.
struct Outcome {
    Halt::Kind kind;
    uint32_t r0 = 0;       // Call: r0 at the loader
    std::string what;      // Fault, Idle
};

struct Instruction {
    std::string name;
    std::vector<uint32_t> code;  // r1, r2 and r4 as below; the loader at r4
    uint32_t r1, r2;
    Outcome sa1110, pxa270;
};

Outcome Runs(uint32_t r0) { return {Halt::Call, r0, ""}; }
Outcome Refused(uint32_t word, uint32_t at)
{
    char text[64];
    (void)std::snprintf(text, sizeof text, "invalid instruction 0x%08X at 0x%08X", word, at);
    return {Halt::Fault, 0, text};
}

Outcome Idle(const std::string& what) { return {Halt::Idle, 0, what}; }
Outcome Faults(const std::string& what) { return {Halt::Fault, 0, what}; }

const Outcome kIdle = Idle("idle instruction 0xE320F003 (wait for interrupt) at 0x00010000");
// The control register written: with r0 = 1 the MMU on, with r0 = 0x2000 the vectors high.
const Outcome kControlRegister =
    Faults("a coprocessor access the emulated Pocket PC does not allow (mcr p15, 0, r0, c1, c0, 0: 0xEE010F10) at "
           "0x00010004");

const Instruction kInstructions[] = {
    // ARMv4, which both run.
    {"MovAndReturn", {MoveR0(7), kReturn}, 0, 0, Runs(7), Runs(7)},
    // ARMv4T: BX, which the StrongARM lacks.
    {"BxLr", {MoveR0(3), 0xE12FFF1E}, 0, 0, Refused(0xE12FFF1E, At(1)), Runs(3)},
    // ARMv5: count leading zeros; call through a register (then mov r0, lr; mov pc, r4).
    {"Clz", {0xE16F0F11, kReturn}, 0x00010000, 0, Refused(0xE16F0F11, At(0)), Runs(15)},
    {"BlxRegister", {0xE12FFF32, kLoopForever, 0xE1A0000E, 0xE1A0F004}, 0, At(2), Refused(0xE12FFF32, At(0)),
     Runs(At(1))},
    // ARMv5TE: saturating arithmetic.
    {"Qadd", {0xE1020051, kReturn}, 0x7FFFFFFF, 1, Refused(0xE1020051, At(0)), Runs(0x7FFFFFFF)},
    // Waiting for an interrupt, which nothing would deliver.
    {"WaitForInterrupt", {0xE320F003, kReturn}, 0, 0, kIdle, kIdle},
    {"CoprocessorWaitForInterrupt", {0xEE070F90, kReturn}, 0, 0,
     Idle("idle instruction 0xEE070F90 (wait for interrupt) at 0x00010000"),
     Idle("idle instruction 0xEE070F90 (wait for interrupt) at 0x00010000")},
    // Each processor's own way of going idle, which the other lacks.
    {"StrongArmIdle", {0xEE0F1F58, kReturn}, 0, 0, Idle("idle instruction 0xEE0F1F58 (wait for interrupt) at 0x00010000"),
     Faults("a coprocessor access the emulated Pocket PC does not allow (mcr p15, 0, r1, c15, c8, 2: 0xEE0F1F58) at "
            "0x00010000")},
    {"XScaleIdle", {MoveR0(1), 0xEE070E10, kReturn}, 0, 0,
     Faults("a coprocessor access the emulated Pocket PC does not allow (mcr p14, 0, r0, c7, c0, 0: 0xEE070E10) at "
            "0x00010004"),
     Idle("idle instruction 0xEE070E10 (wait for interrupt) at 0x00010004")},
    // What only Windows CE's kernel may do, or no Windows CE program does.
    {"TurnTheMmuOn", {MoveR0(1), 0xEE010F10, kReturn}, 0, 0, kControlRegister, kControlRegister},
    {"MoveTheVectorsHigh", {0xE3A00A02, 0xEE010F10, kReturn}, 0, 0, kControlRegister, kControlRegister},
    {"FloatingPointLoad", {0xED900B00, kReturn}, 0, 0,
     Faults("a coprocessor access the emulated Pocket PC does not allow (ldc p11: 0xED900B00) at 0x00010000"),
     Faults("a coprocessor access the emulated Pocket PC does not allow (ldc p11: 0xED900B00) at 0x00010000")},
    {"SoftwareInterrupt", {kNop, 0xEF123456, kReturn}, 0, 0, Faults("a software interrupt (SWI 0x123456) at 0x00010004"),
     Faults("a software interrupt (SWI 0x123456) at 0x00010004")},
    // ARMv5: a breakpoint.
    {"Breakpoint", {0xE1201273, kReturn}, 0, 0, Refused(0xE1201273, At(0)),
     Faults("a breakpoint (BKPT 0x0123) at 0x00010000")},
};

void PrintTo(const Instruction& instruction, std::ostream* out) { *out << instruction.name; }

class OnEachProcessor : public testing::TestWithParam<std::tuple<Instruction, Cpu>> {};

TEST_P(OnEachProcessor, RunsWhatItsArchitectureHasAndRefusesTheRest)
{
    const auto& [instruction, cpu] = GetParam();
    const Outcome& expected = cpu == Cpu::Sa1110 ? instruction.sa1110 : instruction.pxa270;
    auto machine = Machine(cpu, instruction.code);
    machine->SetReg(UC_ARM_REG_R1, instruction.r1);
    machine->SetReg(UC_ARM_REG_R2, instruction.r2);
    machine->SetReg(UC_ARM_REG_R4, kLoader);
    const Halt halt = machine->Run(kCode);
    EXPECT_EQ(halt.kind, expected.kind) << halt.what;
    if (expected.kind == Halt::Call) {
        EXPECT_EQ(halt.address, kLoader);
        EXPECT_EQ(machine->Reg(UC_ARM_REG_R0), expected.r0);
    } else {
        EXPECT_EQ(halt.what, expected.what);
    }
}

INSTANTIATE_TEST_SUITE_P(Machine, OnEachProcessor,
                         testing::Combine(testing::ValuesIn(kInstructions), testing::ValuesIn(kCpus)),
                         [](const auto& info) {
                             return std::get<0>(info.param).name + "_" + CpuWord(std::get<1>(info.param));
                         });

}  // namespace
}  // namespace trq_test::arm
