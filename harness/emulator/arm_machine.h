// An ARM processor of a Pocket PC, emulated by Unicorn, with the memory a
// process is given. The machine runs code until it reaches one of its exits
// (COREDLL's imports, the loader) or jumps outside its memory, faults, or
// uses up its instruction budget; the caller decides what such a call
// means.
#ifndef TRQ_HARNESS_EMULATOR_ARM_MACHINE_H
#define TRQ_HARNESS_EMULATOR_ARM_MACHINE_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct uc_struct;

namespace emulator {

// The processors a Pocket PC is built around.
enum class Cpu {
    Sa1110,  // Intel StrongARM SA-1110: ARMv4, no Thumb, no BX (the first Pocket PCs)
    Pxa270,  // Intel XScale PXA270: ARMv5TE (the last Windows Mobile devices)
};
const char* CpuName(Cpu cpu);                  // "StrongARM SA-1110"
std::optional<Cpu> ParseCpu(const std::string& word);  // "sa1110", "pxa270"

// What the program may do with a page.
constexpr uint32_t kRead = 1, kWrite = 2, kExecute = 4;

// Why Run came back.
struct Halt {
    enum Kind {
        Call,    // jumped to `address`: an exit, or outside its memory
        Fault,   // an instruction it may not run, an exception it raised, a memory access; `what` says which
        Budget,  // the instruction budget is used up
        Idle,    // an instruction that waits for an interrupt stopped the processor; `what` says which
    } kind = Fault;
    uint32_t address = 0;  // Call: the target; Fault: the address accessed, or the pc
    uint32_t pc = 0;       // where the program was
    std::string what;      // Fault, Idle: the cause, e.g. "invalid instruction 0xE12FFF1E at 0x00011000"
};

class ArmMachine {
public:
    // False from Ok() when Unicorn could not make the machine; Error() says why.
    explicit ArmMachine(Cpu cpu);
    ~ArmMachine();
    ArmMachine(const ArmMachine&) = delete;
    ArmMachine& operator=(const ArmMachine&) = delete;
    bool Ok() const { return error_.empty(); }
    const std::string& Error() const { return error_; }

    // Gives the program pages (address and size page-aligned) with access
    // bits, filled from bytes and then zeros.
    bool Map(uint32_t address, uint32_t size, uint32_t access, const std::vector<uint8_t>& bytes = {});
    bool Unmap(uint32_t address, uint32_t size);
    // Backs [address, address + size) with host memory once, for pages that
    // come and go many times (the heap's): Map and Unmap within it only give
    // and take back, and every read and write of the program there is
    // checked against what it was given. Remapping Unicorn's memory on each
    // change would cost the host time and memory every time.
    bool Reserve(uint32_t address, uint32_t size);
    // Whether the program was given [address, address + size) with access.
    bool Given(uint32_t address, uint32_t size, uint32_t access) const;

    // The program's memory, whatever its protection; false where unmapped.
    bool Read(uint32_t address, void* out, uint32_t size) const;
    bool Write(uint32_t address, const void* data, uint32_t size);

    uint32_t Reg(int reg) const;  // UC_ARM_REG_*
    void SetReg(int reg, uint32_t value);

    // The addresses where Run stops with a Call, without touching them.
    // Each call out is one stop of the processor; at an exit Unicorn stops
    // cleanly, where a jump into memory the program was not given would
    // cost the host memory on every call.
    bool SetExits(const std::vector<uint32_t>& exits);
    // Runs from pc (bit 0 set: Thumb) for at most what is left of the budget,
    // until the program reaches an exit or jumps to memory it was not given.
    Halt Run(uint32_t pc);
    void SetBudget(uint64_t instructions) { budget_ = instructions; }
    // The instructions run so far, against which the budget is counted.
    uint64_t Executed() const { return executed_; }

private:
    struct Region {
        uint32_t size, access;
    };
    Cpu cpu_;
    uc_struct* uc_ = nullptr;
    std::string error_;
    std::map<uint32_t, Region> regions_;  // by address
    std::vector<uint32_t> exits_;
    uint64_t reservedStart_ = 0, reservedEnd_ = 0;
    bool Reserved(uint32_t address, uint32_t size) const
    {
        return address >= reservedStart_ && uint64_t{address} + size <= reservedEnd_;
    }
    uint64_t budget_ = 0, executed_ = 0;
    bool overBudget_ = false;
    // The invalid memory access that stopped the last run, if any.
    std::optional<Halt> memoryFault_;
    // The processor exception (Unicorn's number) that stopped the last run, if any.
    std::optional<uint32_t> exception_;

    friend struct MachineHooks;  // Unicorn's callbacks
};

}  // namespace emulator

#endif
