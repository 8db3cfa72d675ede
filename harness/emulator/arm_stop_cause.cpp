#include "harness/emulator/arm_stop_cause.h"

#include "formats/pe_format.h"

namespace emulator {

namespace {

// The fields of a coprocessor instruction word.
uint32_t Field(uint32_t word, int low, int bits) { return (word >> low) & ((1u << bits) - 1); }

// An instruction that makes a processor wait for an interrupt, compared
// without its condition and the register it writes (which holds the mode
// the XScale is put in; any value is taken as idle).
struct IdleWord {
    uint32_t word;
    bool sa1110, pxa270;
};
constexpr uint32_t kIdleMask = 0x0FFF0FFF;
constexpr IdleWord kIdleWords[] = {
    {0x0E070F90, true, true},   // mcr p15, 0, rd, c7, c0, 4: ARMv4's and ARMv5's wait for interrupt
    {0x0E0F0F58, true, false},  // mcr p15, 0, rd, c15, c8, 2: the StrongARM's wait for interrupt
    {0x0E070E10, false, true},  // mcr p14, 0, rd, c7, c0, 0: the XScale's power mode register, idle
};

bool IsIdle(Cpu cpu, uint32_t word)
{
    for (const IdleWord& idle : kIdleWords)
        if ((word & kIdleMask) == idle.word && (cpu == Cpu::Sa1110 ? idle.sa1110 : idle.pxa270)) return true;
    return false;
}

// A coprocessor instruction as an assembler writes it: "mcr p15, 0, r0,
// c1, c0, 0", "ldc p10", "cdp2 p1"; empty for an instruction that is not one.
std::string CoprocessorAccess(uint32_t word)
{
    const std::string two = Field(word, 28, 4) == 0xF ? "2" : "";
    const std::string cp = " p" + std::to_string(Field(word, 8, 4));
    if (Field(word, 24, 4) == 0xE) {
        if (!Field(word, 4, 1)) return "cdp" + two + cp;
        const std::string c = ", c";
        return (Field(word, 20, 1) ? "mrc" : "mcr") + two + cp + ", " + std::to_string(Field(word, 21, 3)) + ", r" +
               std::to_string(Field(word, 12, 4)) + c + std::to_string(Field(word, 16, 4)) + c +
               std::to_string(Field(word, 0, 4)) + ", " + std::to_string(Field(word, 5, 3));
    }
    if (Field(word, 25, 3) != 0x6) return "";
    if (Field(word, 21, 4) == 0x2) return (Field(word, 20, 1) ? "mrrc" : "mcrr") + two + cp;
    return (Field(word, 20, 1) ? "ldc" : "stc") + two + cp;
}

Halt Stop(Halt::Kind kind, uint32_t at, const std::string& what)
{
    Halt halt;
    halt.kind = kind;
    halt.address = halt.pc = at;
    halt.what = what;
    return halt;
}

}  // namespace

std::string IdleInstruction(uint32_t word, uint32_t at)
{
    return "idle instruction " + pe::Hex(word) + " (wait for interrupt) at " + pe::Hex(at);
}

Halt RefusedInstruction(Cpu cpu, uint32_t word, uint32_t at)
{
    if (IsIdle(cpu, word)) return Stop(Halt::Idle, at, IdleInstruction(word, at));
    const std::string access = CoprocessorAccess(word);
    if (!access.empty())
        return Stop(Halt::Fault, at,
                    "a coprocessor access the emulated Pocket PC does not allow (" + access + ": " + pe::Hex(word) +
                        ") at " + pe::Hex(at));
    return Stop(Halt::Fault, at, "invalid instruction " + pe::Hex(word) + " at " + pe::Hex(at));
}

Halt ProcessorException(uint32_t exception, uint32_t word, uint32_t at)
{
    constexpr uint32_t kBreakpoint = 7;
    if (exception == kSoftwareInterruptException)
        return Stop(Halt::Fault, at, "a software interrupt (SWI " + pe::Hex(word & 0xFFFFFF, 6) + ") at " + pe::Hex(at));
    if (exception == kBreakpoint)
        return Stop(Halt::Fault, at,
                    "a breakpoint (BKPT " + pe::Hex((word >> 4 & 0xFFF0) | (word & 0xF), 4) + ") at " + pe::Hex(at));
    return Stop(Halt::Fault, at,
                "a processor exception (number " + std::to_string(exception) + ") at " + pe::Hex(at));
}

}  // namespace emulator
