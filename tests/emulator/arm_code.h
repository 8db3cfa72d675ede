// Hand-encoded ARM instructions and a machine to run them on: a page of
// code, a page of stack, and the address the code returns to, as the loader
// lays out a process, so that each test is a few words of ARM.
#ifndef TRQ_TESTS_EMULATOR_ARM_CODE_H
#define TRQ_TESTS_EMULATOR_ARM_CODE_H

#include <gtest/gtest.h>
#include <unicorn/unicorn.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "harness/emulator/arm_machine.h"

namespace trq_test::arm {

// Instruction words, ARM state, condition "always".
constexpr uint32_t kNop = 0xE1A00000;         // mov r0, r0
constexpr uint32_t kReturn = 0xE1A0F00E;      // mov pc, lr: how ARMv4 code returns
constexpr uint32_t kLoopForever = 0xEAFFFFFE;  // b .
constexpr uint32_t kLoadR1FromR0 = 0xE5901000;   // ldr r1, [r0]
constexpr uint32_t kStoreR1AtR0 = 0xE5801000;    // str r1, [r0]
constexpr uint32_t kStoreByteR1AtR0 = 0xE5C01000;  // strb r1, [r0]
constexpr uint32_t kJumpToR0 = 0xE1A0F000;       // mov pc, r0
constexpr uint32_t MoveR0(uint8_t value) { return 0xE3A00000 | value; }  // mov r0, #value

// Where the process's parts lie, as on a Pocket PC: the code at the image's
// base, the stack below the top of the slot, the loader past COREDLL.
constexpr uint32_t kCode = 0x00010000;
constexpr uint32_t kPage = 0x1000;
constexpr uint32_t kStack = 0x01F00000;   // one page
constexpr uint32_t kLoader = 0x03FFFFF0;  // where WinMain returns to

// Little-endian bytes of the words.
inline std::vector<uint8_t> Bytes(const std::vector<uint32_t>& words)
{
    std::vector<uint8_t> bytes;
    for (uint32_t w : words)
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(w >> (8 * i)));
    return bytes;
}

// A machine with the words as code at kCode (readable and executable), a
// stack page, the link register and its only exit at kLoader, and a budget
// far above anything here unless one is given.
inline std::unique_ptr<emulator::ArmMachine> Machine(emulator::Cpu cpu, const std::vector<uint32_t>& code,
                                                     uint64_t budget = 1'000'000)
{
    auto machine = std::make_unique<emulator::ArmMachine>(cpu);
    EXPECT_TRUE(machine->Ok()) << machine->Error();
    EXPECT_TRUE(machine->Map(kCode, kPage, emulator::kRead | emulator::kExecute, Bytes(code)));
    EXPECT_TRUE(machine->Map(kStack, kPage, emulator::kRead | emulator::kWrite));
    EXPECT_TRUE(machine->SetExits({kLoader}));
    machine->SetReg(UC_ARM_REG_SP, kStack + kPage);
    machine->SetReg(UC_ARM_REG_LR, kLoader);
    machine->SetBudget(budget);
    return machine;
}

// The address of the instruction at index in the code.
constexpr uint32_t At(uint32_t index) { return kCode + 4 * index; }

}  // namespace trq_test::arm

#endif
