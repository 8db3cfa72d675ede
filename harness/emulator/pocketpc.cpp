#include "harness/emulator/pocketpc.h"

#include <fcntl.h>
#include <unicorn/unicorn.h>

#include <algorithm>

#include "formats/host_file.h"

namespace emulator {

namespace {

// The process's memory, within its 32 MiB slot as on Windows CE: the image
// at 0x00010000, the heap above it, the stack and the command line at the
// top of the slot. COREDLL lies outside the slot; an import leads to an
// address there that the emulator serves, one per import, and WinMain
// returns to the loader there, past every import's address. Nothing
// outside the slot is mapped.
constexpr uint32_t kCommandLine = pe::kWinceSlotEnd - pe::kWincePage;
constexpr uint32_t kStackTop = kCommandLine - pe::kWincePage;  // an unmapped page between
constexpr uint32_t kSmallestStack = 0x10000, kLargestStack = 0x100000;
constexpr uint32_t kCoredll = 0x03F00000;
constexpr uint32_t kReturnToLoader = 0x03FFFFF0;
static_assert(kCoredll + 4 * kExportCount <= kReturnToLoader,
              "the loader's return address must be none of the imports' addresses");
constexpr uint32_t kShowNormal = 5;  // SW_SHOW, WinMain's nCmdShow

// The stack the image asks for, within Windows CE's bounds, below the
// command line; the heap gets what lies between the image and the stack,
// an unmapped page on either side. False when the image leaves no room.
bool PlanProcess(const LoadedImage& image, ProcessLayout& layout, std::string& error)
{
    layout.stackSize =
        static_cast<uint32_t>(pe::PageAlign(std::clamp(image.stackReserve, kSmallestStack, kLargestStack)));
    layout.stackBottom = kStackTop - layout.stackSize;
    layout.heapStart = image.base + static_cast<uint32_t>(image.memory.size()) + pe::kWincePage;
    layout.heapEnd = layout.stackBottom - pe::kWincePage;
    if (layout.heapStart > layout.heapEnd) {
        error = "an image of " + std::to_string(image.memory.size()) +
                " bytes leaves no room in the 32 MiB process slot for its stack of " +
                std::to_string(layout.stackSize) + " bytes";
        return false;
    }
    return true;
}

// The image's pages with their protection, each import address table slot
// leading to its import's address in COREDLL; the stack; the command line;
// the imports' addresses and the loader's as the processor's exits.
bool MapProcess(ArmMachine& machine, const PocketPcExe& exe, std::string& error)
{
    pe::Bytes memory = exe.image.memory;
    for (size_t i = 0; i < exe.image.imports.size(); ++i)
        pe::Put(memory, exe.image.imports[i].slot - exe.image.base, kCoredll + 4 * i, 4);
    for (const LoadedImage::Section& s : exe.image.sections) {
        const uint32_t offset = s.address - exe.image.base;
        if (!machine.Map(s.address, s.size, s.access,
                         pe::Bytes(memory.begin() + offset, memory.begin() + offset + s.size))) {
            error = "the emulator cannot map section " + s.name + " at " + pe::Hex(s.address);
            return false;
        }
    }
    if (!machine.Map(exe.layout.stackBottom, exe.layout.stackSize, kRead | kWrite) ||
        !machine.Map(kCommandLine, pe::kWincePage, kRead | kWrite)) {
        error = "the emulator cannot map the stack";
        return false;
    }
    std::vector<uint32_t> exits{kReturnToLoader};
    for (size_t i = 0; i < exe.image.imports.size(); ++i) exits.push_back(kCoredll + 4 * static_cast<uint32_t>(i));
    if (!machine.SetExits(exits)) {
        error = "the emulator cannot set the imports' addresses as exits";
        return false;
    }
    return true;
}

// WinMain(hInstance, hPrevInstance, lpCmdLine, nCmdShow), returning to the
// loader; the command line (what follows the program's name) in its page,
// as much of it as the page holds.
void PrepareWinMain(ArmMachine& machine, const PocketPcExe& exe, const std::u16string& commandLine)
{
    const size_t units = std::min<size_t>(commandLine.size(), pe::kWincePage / 2 - 1);
    std::vector<uint8_t> text(2 * units + 2, 0);
    for (size_t i = 0; i < units; ++i) {
        text[2 * i] = static_cast<uint8_t>(commandLine[i]);
        text[2 * i + 1] = static_cast<uint8_t>(commandLine[i] >> 8);
    }
    machine.Write(kCommandLine, text.data(), static_cast<uint32_t>(text.size()));
    machine.SetReg(UC_ARM_REG_R0, exe.image.base);
    machine.SetReg(UC_ARM_REG_R1, 0);
    machine.SetReg(UC_ARM_REG_R2, kCommandLine);
    machine.SetReg(UC_ARM_REG_R3, kShowNormal);
    machine.SetReg(UC_ARM_REG_SP, kStackTop);
    machine.SetReg(UC_ARM_REG_LR, kReturnToLoader);
}

// What the programs of one run share: the processor they run on, and what
// is left of the run's budgets, which bound them all together.
struct RunShare {
    Cpu cpu;
    Budgets budgets;
    uint64_t instructionsLeft = 0, callsLeft = 0;
    CopyBudget copies;
};

// How one process's run ended: it returned exitCode, or broke down (fault,
// naming the executable), or it waits or stopped the device, which the
// session knows.
struct ProcessEnd {
    int exitCode = 0;
    std::string fault;
};

ProcessEnd Fault(const PocketPcExe& exe, const std::string& what)
{
    return {0, exe.name + ": " + what};
}

// Why the processor stopped, when it did not call out.
std::string Breakdown(const Halt& halt, const Budgets& budgets)
{
    if (halt.kind == Halt::Budget)
        return "ran past its budget of " + std::to_string(budgets.instructions) + " instructions, at " +
               pe::Hex(halt.pc);
    if (halt.kind == Halt::Fault && halt.address != halt.pc)
        return halt.what + " by the instruction at " + pe::Hex(halt.pc);
    return halt.what;
}

// Where a call out of the program went, when it is not one of its imports.
std::string StrayCall(uint32_t target, uint32_t returnTo)
{
    const std::string from = " (return address " + pe::Hex(returnTo) + ")";
    if (target >= kCoredll && target < kReturnToLoader)
        return "call into COREDLL at " + pe::Hex(target) + ", which is none of the image's imports" + from;
    return "jump to " + pe::Hex(target) + ", memory the program was not given" + from;
}

// WinMain returned: its result is the exit code, unless a heap block it
// still holds was written past its end.
ProcessEnd Returned(const PocketPcExe& exe, const ArmMachine& machine, const ProcessHeap& heap)
{
    const std::string overrun = heap.AnyOverrun();
    if (!overrun.empty()) return Fault(exe, overrun + ", found when the program returned");
    return {static_cast<int>(machine.Reg(UC_ARM_REG_R0)), ""};
}

// Runs one process of the executable on the device, on a processor and in a
// process slot of its own, until it returns, breaks down, waits or stops
// the device.
ProcessEnd RunProcess(sim::DeviceSession& session, const PocketPcExe& exe, RunShare& share,
                      const std::u16string& commandLine)
{
    ArmMachine machine(share.cpu);
    std::string error;
    if (!machine.Ok()) return Fault(exe, machine.Error());
    if (!MapProcess(machine, exe, error)) return Fault(exe, error);
    if (exe.layout.heapEnd > exe.layout.heapStart &&
        !machine.Reserve(exe.layout.heapStart, exe.layout.heapEnd - exe.layout.heapStart))
        return Fault(exe, "the emulator cannot reserve the heap");
    ProcessHeap heap(machine, exe.layout.heapStart, exe.layout.heapEnd);
    PrepareWinMain(machine, exe, commandLine);
    session.SetModuleHandle(exe.image.base);

    uint32_t pc = exe.image.entry;
    for (;;) {
        machine.SetBudget(machine.Executed() + share.instructionsLeft);
        const uint64_t before = machine.Executed();
        const Halt halt = machine.Run(pc);
        share.instructionsLeft -= std::min(share.instructionsLeft, machine.Executed() - before);
        if (halt.kind != Halt::Call) return Fault(exe, Breakdown(halt, share.budgets));
        if (halt.address == kReturnToLoader) return Returned(exe, machine, heap);
        const uint32_t returnTo = machine.Reg(UC_ARM_REG_LR);
        const uint32_t import = (halt.address - kCoredll) / 4;
        if (halt.address < kCoredll || halt.address % 4 || import >= exe.imports.size())
            return Fault(exe, StrayCall(halt.address, returnTo));
        if (share.callsLeft == 0)
            return Fault(exe, "made more than its budget of " + std::to_string(share.budgets.calls) +
                                  " calls into COREDLL (return address " + pe::Hex(returnTo) + ")");
        --share.callsLeft;

        const Export& call = *exe.imports[import];
        CallFrame frame(machine, heap, share.copies, *call.call);
        if (frame.Marshal()) {
            session.Calling(*call.call);
            call.serve(session, frame);
            session.Returned(frame.Returned(session.ErrorCode()));
            // The device restarted, waits at a box, or the program waits.
            if (session.Stopped() || session.Parked()) return {};
        }
        if (frame.Faulted() || !frame.WriteBack())
            return Fault(exe, frame.Fault() + " (return address " + pe::Hex(returnTo) + ")");
        machine.SetReg(UC_ARM_REG_R0, frame.result);
        pc = returnTo;
    }
}

// The programs a run's program starts run as processes of their own on the
// same processor, drawing on what is left of the run's budgets. The loader
// is the device's only while the run lasts.
class ChildLoader {
public:
    ChildLoader(sim::DeviceSession& session, RunShare& share)
        : session_(session),
          before_(session.LendProgramLoader([&share](const std::string& name, const std::string& bytes,
                                                     sim::LoadedProgram& out, std::string& error) {
              auto child = std::make_shared<PocketPcExe>();
              if (!LoadPocketPcImage(name, bytes, *child, error)) return false;
              out.moduleHandle = child->image.base;
              out.run = [child, &share](sim::DeviceSession& device, const std::u16string& commandLine) {
                  ProcessEnd end = RunProcess(device, *child, share, commandLine);
                  return sim::ProgramRun{end.exitCode, end.fault};
              };
              return true;
          }))
    {
    }
    ~ChildLoader() { session_.LendProgramLoader(std::move(before_)); }
    ChildLoader(const ChildLoader&) = delete;
    ChildLoader& operator=(const ChildLoader&) = delete;

private:
    sim::DeviceSession& session_;
    sim::ProgramLoader before_;
};

int Run(sim::DeviceSession& session, const PocketPcExe& exe, Cpu cpu, const Budgets& budgets)
{
    RunShare share{cpu, budgets, budgets.instructions, budgets.calls, {budgets.copiedBytes, budgets.copiedBytes}};
    ChildLoader children(session, share);
    const ProcessEnd end = RunProcess(session, exe, share, u"");
    if (end.fault.empty()) return end.exitCode;
    session.ProgramBrokeDown(end.fault);
    return 0;
}

}  // namespace

bool LoadPocketPcExe(const std::filesystem::path& file, PocketPcExe& exe, std::string& error)
{
    std::string bytes;
    exe = PocketPcExe{};
    if (!host::ReadRegularFile(AT_FDCWD, file.string(), kLargestExe, host::Links::Follow, bytes, error)) return false;
    return LoadPocketPcImage(file.filename().string(), bytes, exe, error);
}

bool LoadPocketPcImage(const std::string& name, const std::string& bytes, PocketPcExe& exe, std::string& error)
{
    exe = PocketPcExe{};
    exe.name = host::Printable(name);
    if (bytes.size() > kLargestExe) {
        error = "larger than " + std::to_string(kLargestExe) + " bytes, the process slot";
        return false;
    }
    if (!LoadWinceImage(pe::Bytes(bytes.begin(), bytes.end()), kExportCount, exe.image, error)) return false;
    for (const LoadedImage::Import& import : exe.image.imports) {
        const Export* served = IsCoredll(import.library) ? FindExport(import.name) : nullptr;
        if (!served) {
            error = "imports " + import.name + " from " + import.library +
                    ", which the emulated Pocket PC does not serve (its COREDLL.dll serves the device calls)";
            return false;
        }
        exe.imports.push_back(served);
    }
    return PlanProcess(exe.image, exe.layout, error);
}

runner::Program PocketPcProgram(std::shared_ptr<const PocketPcExe> exe, Cpu cpu, Budgets budgets)
{
    return [exe = std::move(exe), cpu, budgets](sim::DeviceSession& session) {
        return Run(session, *exe, cpu, budgets);
    };
}

}  // namespace emulator
