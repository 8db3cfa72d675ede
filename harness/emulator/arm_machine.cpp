#include "harness/emulator/arm_machine.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <iterator>

#include "formats/pe_format.h"
#include "harness/emulator/arm_stop_cause.h"

namespace emulator {

namespace {

uint32_t Protection(uint32_t access)
{
    return (access & kRead ? UC_PROT_READ : 0) | (access & kWrite ? UC_PROT_WRITE : 0) |
           (access & kExecute ? UC_PROT_EXEC : 0);
}

const char* MemoryCause(uc_mem_type type)
{
    switch (type) {
    case UC_MEM_READ_UNMAPPED: return "read of memory the program was not given";
    case UC_MEM_WRITE_UNMAPPED: return "write to memory the program was not given";
    case UC_MEM_FETCH_UNMAPPED: return "jump to memory the program was not given";
    case UC_MEM_READ_PROT: return "read of unreadable memory";
    case UC_MEM_WRITE_PROT: return "write to read-only memory";
    case UC_MEM_FETCH_PROT: return "execution of memory that is not code";
    default: return "invalid memory access";
    }
}

}  // namespace

struct MachineHooks {
    static void OnBlock(uc_engine* uc, uint64_t, uint32_t size, void* user)
    {
        ArmMachine& m = *static_cast<ArmMachine*>(user);
        m.executed_ += size / 4 ? size / 4 : 1;
        if (m.executed_ > m.budget_) {
            m.overBudget_ = true;
            uc_emu_stop(uc);
        }
    }

    static bool OnInvalidMemory(uc_engine* uc, uc_mem_type type, uint64_t address, int, int64_t,
                                void* user)
    {
        ArmMachine& m = *static_cast<ArmMachine*>(user);
        Halt halt;
        halt.address = static_cast<uint32_t>(address);
        uc_reg_read(uc, UC_ARM_REG_PC, &halt.pc);
        if (type == UC_MEM_FETCH_UNMAPPED) {
            halt.kind = Halt::Call;
        } else {
            halt.kind = Halt::Fault;
            halt.what = std::string(MemoryCause(type)) + " at " + pe::Hex(halt.address);
        }
        m.memoryFault_ = halt;
        return false;
    }

    // A read or write in the reserved range: allowed where the program was given the memory.
    static void OnReservedAccess(uc_engine* uc, uc_mem_type type, uint64_t address, int size, int64_t,
                                 void* user)
    {
        ArmMachine& m = *static_cast<ArmMachine*>(user);
        const bool write = type == UC_MEM_WRITE;
        if (m.memoryFault_ || m.Given(static_cast<uint32_t>(address), static_cast<uint32_t>(size), write ? kWrite : kRead))
            return;
        Halt halt;
        halt.kind = Halt::Fault;
        halt.address = static_cast<uint32_t>(address);
        uc_reg_read(uc, UC_ARM_REG_PC, &halt.pc);
        halt.what = std::string(MemoryCause(write ? UC_MEM_WRITE_UNMAPPED : UC_MEM_READ_UNMAPPED)) + " at " +
                    pe::Hex(halt.address);
        m.memoryFault_ = halt;
        uc_emu_stop(uc);
    }

    // One of the processor's exceptions (a software interrupt, a
    // breakpoint): Unicorn would carry on past it as if it returned.
    static void OnException(uc_engine* uc, uint32_t exception, void* user)
    {
        static_cast<ArmMachine*>(user)->exception_ = exception;
        uc_emu_stop(uc);
    }
};

const char* CpuName(Cpu cpu)
{
    return cpu == Cpu::Sa1110 ? "StrongARM SA-1110" : "XScale PXA270";
}

std::optional<Cpu> ParseCpu(const std::string& word)
{
    if (word == "sa1110") return Cpu::Sa1110;
    if (word == "pxa270") return Cpu::Pxa270;
    return std::nullopt;
}

ArmMachine::ArmMachine(Cpu cpu) : cpu_(cpu)
{
    uc_err e = uc_open(UC_ARCH_ARM, UC_MODE_ARM, &uc_);
    if (e == UC_ERR_OK)
        e = uc_ctl_set_cpu_model(uc_, cpu == Cpu::Sa1110 ? UC_CPU_ARM_SA1110 : UC_CPU_ARM_PXA270);
    uc_hook hook;
    if (e == UC_ERR_OK)
        e = uc_hook_add(uc_, &hook, UC_HOOK_BLOCK, reinterpret_cast<void*>(&MachineHooks::OnBlock),
                        this, 1, 0);
    if (e == UC_ERR_OK)
        e = uc_hook_add(uc_, &hook, UC_HOOK_MEM_INVALID,
                        reinterpret_cast<void*>(&MachineHooks::OnInvalidMemory), this, 1, 0);
    if (e == UC_ERR_OK)
        e = uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&MachineHooks::OnException), this, 1, 0);
    // A Windows CE program's thread runs in user mode, where the processor
    // refuses what only the kernel may do (p15: the MMU, the caches, the
    // vectors' place); Unicorn starts in supervisor mode.
    constexpr uint32_t kUserMode = 0x10;
    if (e == UC_ERR_OK) e = uc_reg_write(uc_, UC_ARM_REG_CPSR, &kUserMode);
    if (e != UC_ERR_OK) error_ = std::string("Unicorn: ") + uc_strerror(e);
}

ArmMachine::~ArmMachine()
{
    if (uc_) uc_close(uc_);
}

bool ArmMachine::Reserve(uint32_t address, uint32_t size)
{
    uc_hook hook;
    if (reservedEnd_ || address % pe::kWincePage || size % pe::kWincePage ||
        uc_mem_map(uc_, address, size, UC_PROT_READ | UC_PROT_WRITE) != UC_ERR_OK ||
        uc_hook_add(uc_, &hook, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE,
                    reinterpret_cast<void*>(&MachineHooks::OnReservedAccess), this, address,
                    uint64_t{address} + size - 1) != UC_ERR_OK)
        return false;
    reservedStart_ = address;
    reservedEnd_ = uint64_t{address} + size;
    return true;
}

bool ArmMachine::Map(uint32_t address, uint32_t size, uint32_t access, const std::vector<uint8_t>& bytes)
{
    if (address % pe::kWincePage || size % pe::kWincePage || bytes.size() > size) return false;
    if (Reserved(address, size)) {
        // Given afresh: zeros where the bytes end, as a new mapping would be.
        auto next = regions_.lower_bound(address);
        if (next != regions_.end() && next->first < uint64_t{address} + size) return false;
        if (next != regions_.begin() && uint64_t{std::prev(next)->first} + std::prev(next)->second.size > address)
            return false;
        std::vector<uint8_t> filled(bytes);
        filled.resize(size, 0);
        regions_[address] = {size, access};
        return uc_mem_write(uc_, address, filled.data(), size) == UC_ERR_OK;
    }
    if (uc_mem_map(uc_, address, size, Protection(access)) != UC_ERR_OK) return false;
    regions_[address] = {size, access};
    return bytes.empty() || uc_mem_write(uc_, address, bytes.data(), bytes.size()) == UC_ERR_OK;
}

bool ArmMachine::Unmap(uint32_t address, uint32_t size)
{
    auto it = regions_.find(address);
    if (it == regions_.end() || it->second.size != size) return false;
    regions_.erase(it);
    return Reserved(address, size) || uc_mem_unmap(uc_, address, size) == UC_ERR_OK;
}

bool ArmMachine::Given(uint32_t address, uint32_t size, uint32_t access) const
{
    uint64_t at = address;
    const uint64_t end = uint64_t{address} + size;
    while (at < end) {
        auto in = regions_.upper_bound(static_cast<uint32_t>(at));
        if (in == regions_.begin()) return false;
        --in;
        const uint64_t regionEnd = uint64_t{in->first} + in->second.size;
        if (at >= regionEnd || (in->second.access & access) != access) return false;
        at = regionEnd;
    }
    return true;
}

bool ArmMachine::Read(uint32_t address, void* out, uint32_t size) const
{
    return size == 0 || uc_mem_read(uc_, address, out, size) == UC_ERR_OK;
}

bool ArmMachine::Write(uint32_t address, const void* data, uint32_t size)
{
    return size == 0 || uc_mem_write(uc_, address, data, size) == UC_ERR_OK;
}

uint32_t ArmMachine::Reg(int reg) const
{
    uint32_t value = 0;
    uc_reg_read(uc_, reg, &value);
    return value;
}

void ArmMachine::SetReg(int reg, uint32_t value)
{
    uc_reg_write(uc_, reg, &value);
}

bool ArmMachine::SetExits(const std::vector<uint32_t>& exits)
{
    exits_ = exits;
    std::vector<uint64_t> wide(exits.begin(), exits.end());
    return uc_ctl_exits_enable(uc_) == UC_ERR_OK &&
           uc_ctl_set_exits(uc_, wide.data(), wide.size()) == UC_ERR_OK;
}

Halt ArmMachine::Run(uint32_t pc)
{
    memoryFault_.reset();
    exception_.reset();
    overBudget_ = false;
    const uc_err e = uc_emu_start(uc_, pc, 0, 0, 0);  // until: the exits
    if (memoryFault_) return *memoryFault_;
    Halt halt;
    halt.pc = Reg(UC_ARM_REG_PC);
    halt.address = halt.pc;
    if (overBudget_) {
        halt.kind = Halt::Budget;
        return halt;
    }
    if (e == UC_ERR_OK && std::find(exits_.begin(), exits_.end(), halt.pc) != exits_.end()) {
        halt.kind = Halt::Call;
        return halt;
    }
    uint32_t word = 0;
    if (exception_) {
        // A software interrupt leaves pc past itself, any other at itself.
        const uint32_t at = *exception_ == kSoftwareInterruptException ? halt.pc - 4 : halt.pc;
        Read(at, &word, 4);
        return ProcessorException(*exception_, word, at);
    }
    if (e == UC_ERR_OK) {
        // Stopped by itself, after the instruction before pc: one that waits
        // for an interrupt (WFI), which nothing in a user program's run
        // would deliver.
        Read(halt.pc - 4, &word, 4);
        halt.kind = Halt::Idle;
        halt.address = halt.pc = halt.pc - 4;
        halt.what = IdleInstruction(word, halt.pc);
        return halt;
    }
    if (e == UC_ERR_INSN_INVALID) {
        Read(halt.pc, &word, 4);
        return RefusedInstruction(cpu_, word, halt.pc);
    }
    halt.kind = Halt::Fault;
    halt.what = "the processor stopped for a cause the emulator does not know (" + std::to_string(e) + ") at " +
                pe::Hex(halt.pc);
    return halt;
}

}  // namespace emulator
