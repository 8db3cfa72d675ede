#include "platform/emulator/pocketpc.h"

#include <unicorn/unicorn.h>

#include <csetjmp>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace emulator {

namespace {

// The process's memory, within its 32 MiB slot as on Windows CE: the image
// at 0x00010000, the heap above it, the stack and the command line at the
// top of the slot. COREDLL lies outside the slot; an import leads to an
// address there that the emulator serves, one per import, and WinMain
// returns to the loader there. Nothing outside the slot is mapped.
constexpr uint32_t kCommandLine = pe::kWinceSlotEnd - pe::kWincePage;
constexpr uint32_t kStackTop = kCommandLine - pe::kWincePage;  // an unmapped page between
constexpr uint32_t kSmallestStack = 0x10000, kLargestStack = 0x100000;
constexpr uint32_t kCoredll = 0x03F00000;
constexpr uint32_t kReturnToLoader = 0x03FFFFF0;
constexpr uint32_t kShowNormal = 5;  // SW_SHOW, WinMain's nCmdShow

// Serves one call on the simulated device. False when the device ended the
// run there (a soft reset, a box with no answer), which it does with a
// longjmp: nothing with a destructor lives in this frame.
bool ServeOnDevice(sim::DeviceSession& session, ServeCall serve, CallFrame& frame)
{
    std::jmp_buf* const outer = session.stopPoint;
    std::jmp_buf here;
    session.stopPoint = &here;
    if (setjmp(here) != 0) {
        session.stopPoint = outer;
        return false;
    }
    serve(frame);
    session.stopPoint = outer;
    return true;
}

// The image's pages with their protection, each import address table slot
// leading to its import's address in COREDLL; the stack; the command line.
// The heap gets what lies between the image and the stack, an unmapped page
// on either side.
bool LoadProcess(ArmMachine& machine, const PocketPcExe& exe, uint32_t& heapStart, uint32_t& heapEnd,
                 std::string& error)
{
    pe::Bytes memory = exe.image.memory;
    for (size_t i = 0; i < exe.image.imports.size(); ++i)
        pe::Put(memory, exe.image.imports[i].slot - exe.image.base, kCoredll + 4 * i, 4);
    for (const LoadedImage::Section& s : exe.image.sections) {
        const uint32_t offset = s.address - exe.image.base;
        if (!machine.Map(s.address, s.size, s.access,
                         pe::Bytes(memory.begin() + offset, memory.begin() + offset + s.size))) {
            error = "cannot map section " + s.name + " at " + pe::Hex(s.address);
            return false;
        }
    }
    const uint32_t stack =
        static_cast<uint32_t>(pe::PageAlign(std::min(std::max(exe.image.stackReserve, kSmallestStack), kLargestStack)));
    const uint32_t stackBottom = kStackTop - stack;
    heapStart = exe.image.base + static_cast<uint32_t>(exe.image.memory.size()) + pe::kWincePage;
    heapEnd = stackBottom - pe::kWincePage;
    if (heapStart > stackBottom || !machine.Map(stackBottom, stack, kRead | kWrite) ||
        !machine.Map(kCommandLine, pe::kWincePage, kRead | kWrite)) {
        error = "no room for the stack above the image";
        return false;
    }
    return true;
}

int Fault(sim::DeviceSession& session, const std::string& name, const std::string& what)
{
    session.stop = sim::Stop::Fault;
    session.fault = name + ": " + what;
    return 0;
}

// Where a call out of the program went, when it is not one of its imports.
std::string StrayCall(uint32_t target, uint32_t returnTo)
{
    const std::string from = " (return address " + pe::Hex(returnTo) + ")";
    if (target >= kCoredll && target < kReturnToLoader)
        return "call into COREDLL at " + pe::Hex(target) + ", which is none of the image's imports" + from;
    return "jump to " + pe::Hex(target) + ", memory the program was not given" + from;
}

int Run(sim::DeviceSession& session, const PocketPcExe& exe, Cpu cpu, uint64_t budget)
{
    ArmMachine machine(cpu);
    uint32_t heapStart = 0, heapEnd = 0;
    std::string error;
    if (!machine.Ok()) return Fault(session, exe.name, machine.Error());
    if (!LoadProcess(machine, exe, heapStart, heapEnd, error)) return Fault(session, exe.name, error);
    ProcessHeap heap(machine, heapStart, heapEnd);

    // WinMain(hInstance, hPrevInstance, lpCmdLine, nCmdShow), returning to the loader.
    machine.SetReg(UC_ARM_REG_R0, exe.image.base);
    machine.SetReg(UC_ARM_REG_R1, 0);
    machine.SetReg(UC_ARM_REG_R2, kCommandLine);  // "": no arguments
    machine.SetReg(UC_ARM_REG_R3, kShowNormal);
    machine.SetReg(UC_ARM_REG_SP, kStackTop);
    machine.SetReg(UC_ARM_REG_LR, kReturnToLoader);
    machine.SetBudget(budget);

    uint32_t pc = exe.image.entry;
    for (;;) {
        const Halt halt = machine.Run(pc, kReturnToLoader);
        if (halt.kind == Halt::Budget)
            return Fault(session, exe.name, "ran past its budget of " + std::to_string(budget) +
                                                " instructions, at " + pe::Hex(halt.pc));
        if (halt.kind == Halt::Fault) {
            std::string where = halt.address == halt.pc ? "" : " by the instruction at " + pe::Hex(halt.pc);
            return Fault(session, exe.name, halt.what + where);
        }
        if (halt.address == kReturnToLoader) return static_cast<int>(machine.Reg(UC_ARM_REG_R0));
        const uint32_t returnTo = machine.Reg(UC_ARM_REG_LR);
        const uint32_t import = (halt.address - kCoredll) / 4;
        if (halt.address < kCoredll || halt.address % 4 || import >= exe.imports.size())
            return Fault(session, exe.name, StrayCall(halt.address, returnTo));

        CallFrame frame(machine, heap, exe.image.imports[import].name.c_str());
        if (!ServeOnDevice(session, exe.imports[import], frame)) return 0;
        if (frame.Faulted() || !frame.WriteBack())
            return Fault(session, exe.name, frame.Fault() + " (return address " + pe::Hex(returnTo) + ")");
        machine.SetReg(UC_ARM_REG_R0, frame.result);
        pc = returnTo;
    }
}

}  // namespace

bool LoadPocketPcExe(const std::filesystem::path& file, PocketPcExe& exe, std::string& error)
{
    exe = PocketPcExe{};
    exe.name = file.filename().string();
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = "cannot read " + file.string();
        return false;
    }
    const pe::Bytes bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!LoadWinceImage(bytes, exe.image, error)) return false;
    for (const LoadedImage::Import& import : exe.image.imports) {
        ServeCall serve = IsCoredll(import.library) ? FindExport(import.name) : nullptr;
        if (!serve) {
            error = "imports " + import.name + " from " + import.library +
                    ", which the emulated Pocket PC does not serve (its COREDLL.dll serves the device calls)";
            return false;
        }
        exe.imports.push_back(serve);
    }
    return true;
}

sim::Program PocketPcProgram(std::shared_ptr<const PocketPcExe> exe, Cpu cpu, uint64_t budget)
{
    return [exe, cpu, budget](sim::DeviceSession& session) { return Run(session, *exe, cpu, budget); };
}

}  // namespace emulator
