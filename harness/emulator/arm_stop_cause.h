// Why the emulated processor refused to go on at an instruction, named as a
// Pocket PC would see it: the program's thread runs in user mode, so what
// only the kernel may do (the system control coprocessor p15: the MMU, the
// caches, where the vectors lie) is refused, as is a software interrupt,
// which Windows CE programs never make (they call COREDLL); the processor's
// own instructions for going idle are named as such, since nothing in a
// user program's run would wake it.
#ifndef TRQ_HARNESS_EMULATOR_ARM_STOP_CAUSE_H
#define TRQ_HARNESS_EMULATOR_ARM_STOP_CAUSE_H

#include <cstdint>
#include <string>

#include "harness/emulator/arm_machine.h"

namespace emulator {

// An instruction the processor would not run, at `at`: Halt::Idle for the
// processor's idle instruction, Halt::Fault with "a coprocessor access the
// emulated Pocket PC does not allow (mcr p15, 0, r0, c1, c0, 0: 0xEE010F10)
// at ..." for any other coprocessor instruction, and "invalid instruction
// 0x... at ..." for the rest.
Halt RefusedInstruction(Cpu cpu, uint32_t word, uint32_t at);

// The instruction at `at` raised one of the processor's exceptions
// (Unicorn's number for it): a software interrupt (SWI), a breakpoint (BKPT).
Halt ProcessorException(uint32_t exception, uint32_t word, uint32_t at);

// What Unicorn's number for a software interrupt is; its pc is then past the SWI.
constexpr uint32_t kSoftwareInterruptException = 2;

// The text of an idle stop, whichever way the processor came to it.
std::string IdleInstruction(uint32_t word, uint32_t at);

}  // namespace emulator

#endif
