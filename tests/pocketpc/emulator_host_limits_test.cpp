// The emulated Pocket PC under programs and images made to hurt the host:
// every run ends soon, in bounded memory, with a message naming the budget
// it ran past; the heap behaves as COREDLL's (an impossible request is
// refused, freed pages come back, an overrun into a block's rounding is
// caught); what cannot be started is refused before it runs; names from an
// image reach the terminal escaped; odd files given as --exe are refused.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <regex>

#include "device/device_call_table.h"
#include "formats/pe_format.h"
#include "tests/pocketpc/pocketpc_test_support.h"
#include "tests/test_device.h"

namespace trq_test {
namespace {

namespace fs = std::filesystem;
using emulator::Cpu;

// ------------------------------------------- programs that press on the host --

struct Pressing {
    std::string program;  // tests/pocketpc/programs
    emulator::Budgets budgets;
    std::string fault;    // a regular expression for the message; empty: returns 0
};

void PrintTo(const Pressing& p, std::ostream* out) { *out << p.program; }

const Pressing kPressing[] = {
    {"last_error_loop", {20'000'000, 1000, 16u << 20}, "made more than its budget of 1000 calls into COREDLL"},
    {"kernel_io_loop", {}, "KernelIoControl, over the run's budget of 16777216 bytes that calls may copy"},
    {"message_box_loop", {20'000'000, 1'000'000, 1u << 20},
     "MessageBoxW, over the run's budget of 1048576 bytes that calls may copy"},
    // Blocks are 8-byte aligned and end where their pages end: 13 bytes lie at ...FF0.
    {"heap_rounding_at_free", {},
     "HeapFree, the heap block at 0x000[0-9A-F]{2}FF0 \\(13 bytes\\) was written past its end, at 0x000[0-9A-F]{2}FFD"},
    {"heap_rounding_at_end", {},
     "the heap block at 0x000[0-9A-F]{2}FF0 \\(13 bytes\\) was written past its end, at 0x000[0-9A-F]{2}FFF, "
     "found when the program returned"},
    {"wait_for_interrupt", {}, "idle instruction 0xE320F003 \\(wait for interrupt\\) at 0x0001"},
    {"heap_too_large", {}, ""},
    {"heap_reuse", {}, ""},
};

class PressingProgram : public testing::TestWithParam<std::tuple<Pressing, Cpu>> {
protected:
    void SetUp() override { TRQ_REQUIRE_POCKETPC_BUILD(); }
};

TEST_P(PressingProgram, EndsAsCoredllOrItsBudgetsSay)
{
    const auto& [c, cpu] = GetParam();
    TestDevice device;
    device.program = emulator::PocketPcProgram(LoadPocketPc(PocketPcTestProgram(c.program)), cpu, c.budgets);
    const auto start = std::chrono::steady_clock::now();
    const runner::RunOutcome run = device.Run({});
    std::printf("[ time     ] %s: %.2f s\n", c.program.c_str(),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (c.fault.empty()) {
        EXPECT_EQ(run.stop, sim::Stop::None) << run.fault;
        EXPECT_EQ(run.exitCode, 0) << "the step that went wrong";
        EXPECT_EQ(run.heapBlocksLeft, 0u);
        return;
    }
    EXPECT_EQ(run.stop, sim::Stop::Fault);
    EXPECT_TRUE(std::regex_search(run.fault, std::regex("^" + c.program + "\\.exe: " + c.fault))) << run.fault;
}

INSTANTIATE_TEST_SUITE_P(Programs, PressingProgram,
                         testing::Combine(testing::ValuesIn(kPressing),
                                          testing::Values(Cpu::Sa1110, Cpu::Pxa270)),
                         [](const auto& info) {
                             return std::get<0>(info.param).program +
                                    (std::get<1>(info.param) == Cpu::Sa1110 ? "_SA1110" : "_PXA270");
                         });

// The request the heap cannot meet is still a call the device saw.
TEST(PressingHeap, AnImpossibleRequestIsTracedAndAllocatesNothing)
{
    TRQ_REQUIRE_POCKETPC_BUILD();
    TestDevice device;
    device.program = emulator::PocketPcProgram(LoadPocketPc(PocketPcTestProgram("heap_too_large")), Cpu::Sa1110);
    const runner::RunOutcome run = device.Run({});
    const auto allocations = run.trace.Of(device_calls::call::HeapAlloc);
    ASSERT_EQ(allocations.size(), 2u);
    EXPECT_EQ(allocations[0].Arg("bytes").number, 0xFFFFFFFFu);
    EXPECT_EQ(allocations[0].result.number, 0);
    EXPECT_EQ(allocations[1].Arg("bytes").number, 16u);
}

// A loop on GetLastError through the command line, with a trace: the run
// ends at its call budget, every call is in the trace, and the host's
// memory stays small, for the trace is written as the run goes.
TEST(PressingCli, ALoopOfCallsEndsAtTheBudgetInBoundedMemory)
{
    TRQ_REQUIRE_POCKETPC_BUILD();
    TempDir dir;
    const std::string cli = TRQ_SIM_CLI, device = (dir.Path() / "device").string();
    ASSERT_EQ(RunCommand(cli + " --init-device " + device).exitCode, 0);
    const fs::path trace = dir.Path() / "trace.jsonl";
    const auto start = std::chrono::steady_clock::now();
    const CommandResult run = RunCommand(cli + " --device " + device + " --trace " + trace.string() + " --exe " +
                                         PocketPcTestProgram("last_error_loop").string() + " 2>&1 >/dev/null");
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    std::printf("[ host     ] a loop on GetLastError: %.2f s, peak %ld MiB\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                usage.ru_maxrss / 1024);
    EXPECT_EQ(run.exitCode, 4) << run.output;
    EXPECT_NE(run.output.find("made more than its budget of 1000000 calls into COREDLL"), std::string::npos)
        << run.output;
#if !defined(__SANITIZE_ADDRESS__)
    // (Under AddressSanitizer freed memory is held back by design: there
    // the figure is printed, not checked.)
    EXPECT_LT(usage.ru_maxrss / 1024, 200) << "MiB at the peak";
#endif
    // The device's facts, then each call's "calling" line and its record.
    const std::string lines = ReadHostFile(trace);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1 + 2 * 1'000'000);
}

// A program's exit code that is not 0 is never passed on as success, not
// even 256, which a process exit status would read as 0.
TEST(PressingCli, AnExitCodeOf256IsPrintedAndIsNotSuccess)
{
    TRQ_REQUIRE_POCKETPC_BUILD();
    TempDir dir;
    const std::string cli = TRQ_SIM_CLI, device = (dir.Path() / "device").string();
    ASSERT_EQ(RunCommand(cli + " --init-device " + device).exitCode, 0);
    const CommandResult run =
        RunCommand(cli + " --device " + device + " --exe " + PocketPcTestProgram("return_256").string() + " 2>&1");
    EXPECT_EQ(run.exitCode, 6) << run.output;
    EXPECT_NE(run.output.find("Exit code: 256\n"), std::string::npos) << run.output;
}

// ----------------------------------------------------- images made to hurt --

// Where elf-to-wince puts the headers (emulator_test.cpp edits them too).
constexpr size_t kFileHeader = 0x40 + 4;
const size_t kOptionalHeader = kFileHeader + pe::SizeOf<pe::FileHeader>();

pe::Bytes Uninstaller()
{
    const std::string bytes = ReadHostFile(PocketPcUninstaller());
    return pe::Bytes(bytes.begin(), bytes.end());
}

// The first section's header, and where its bytes lie in the file.
pe::SectionHeader CodeSection(const pe::Bytes& image)
{
    pe::FileHeader file;
    pe::SectionHeader code;
    EXPECT_TRUE(pe::Load(image, kFileHeader, file));
    EXPECT_TRUE(pe::Load(image, kOptionalHeader + file.sizeOfOptionalHeader, code));
    return code;
}

// An import directory laid over the code (the loader never runs it):
// `libraries` descriptors of `library`, each importing `imports` times
// the name `name`. The code is large enough for what the cases write.
void CraftImports(pe::Bytes& image, size_t libraries, size_t imports, const std::string& name,
                  const std::string& library = "COREDLL.dll")
{
    const pe::SectionHeader code = CodeSection(image);
    const uint32_t rva = code.virtualAddress;
    const size_t file = code.pointerToRawData;
    const uint32_t libraryName = rva + 0x400, hintName = rva + 0x410, lookup = rva + 0x600;
    ASSERT_LE(0x600 + 4 * (imports + 1), code.sizeOfRawData);
    ASSERT_LE(0x410 + name.size() + 3, 0x600u);
    ASSERT_LT(library.size(), 0x10u);
    for (size_t i = 0; i < libraries; ++i)
        pe::Store(image, file + 20 * i, pe::ImportDescriptor{lookup, 0, 0, libraryName, lookup});
    pe::Store(image, file + 20 * libraries, pe::ImportDescriptor{});
    std::copy(library.c_str(), library.c_str() + library.size() + 1, &image[file + 0x400]);  // with its NUL
    std::copy(name.c_str(), name.c_str() + name.size() + 1, &image[file + 0x412]);
    for (size_t i = 0; i < imports; ++i) pe::Put(image, file + 0x600 + 4 * i, hintName, 4);
    pe::Put(image, file + 0x600 + 4 * imports, 0, 4);
    pe::OptionalHeader32 opt;
    ASSERT_TRUE(pe::Load(image, kOptionalHeader, opt));
    opt.dataDirectory[pe::kImportDirectory].rva = rva;
    pe::Store(image, kOptionalHeader, opt);
}


// The names COREDLL serves: the device calls.
size_t Served() { return device_calls::kCallCount; }

const BrokenImage kHurting[] = {
    {"a DLL",
     [](pe::Bytes& b) {
         pe::FileHeader f;
         ASSERT_TRUE(pe::Load(b, kFileHeader, f));
         f.characteristics |= 0x2000;
         pe::Store(b, kFileHeader, f);
     },
     "a DLL, not an executable"},
    {"a section of no size",
     [](pe::Bytes& b) {
         pe::FileHeader f;
         ASSERT_TRUE(pe::Load(b, kFileHeader, f));
         const size_t at = kOptionalHeader + f.sizeOfOptionalHeader + pe::SizeOf<pe::SectionHeader>();
         pe::SectionHeader s;
         ASSERT_TRUE(pe::Load(b, at, s));
         s.virtualSize = s.sizeOfRawData = 0;
         pe::Store(b, at, s);
     },
     "has no size"},
    {"no room left for the stack",
     [](pe::Bytes& b) {
         pe::OptionalHeader32 o;
         ASSERT_TRUE(pe::Load(b, kOptionalHeader, o));
         o.sizeOfImage = 0x02000000 - 0x00010000;  // the whole slot
         pe::Store(b, kOptionalHeader, o);
     },
     "leaves no room in the 32 MiB process slot for its stack"},
    {"a name with a line break and an escape sequence",
     [](pe::Bytes& b) { CraftImports(b, 1, 1, "Get\n\x1b[31mPat"); },
     "imports Get\\x0A\\x1B[31mPat from COREDLL.dll, which the emulated Pocket PC does not serve"},
    {"an import name longer than a name may be", [](pe::Bytes& b) { CraftImports(b, 1, 1, std::string(300, 'A')); },
     "is longer than 255 bytes"},
    {"more imports than COREDLL has names",
     [](pe::Bytes& b) { CraftImports(b, 1, Served() + 1, "DeleteFileW"); },
     "more than " + std::to_string(Served()) + " imports"},
    {"a hundred import descriptors", [](pe::Bytes& b) { CraftImports(b, 100, 1, "DeleteFileW"); },
     "imports from more than 16 libraries"},
    {"sixteen libraries, none of them COREDLL, importing nothing",
     [](pe::Bytes& b) { CraftImports(b, 16, 0, "", "NOTCORE.dll"); },
     "imports from NOTCORE.dll, a library the emulated Pocket PC does not have"},
};

class HurtingImage : public testing::TestWithParam<BrokenImage> {
protected:
    void SetUp() override { TRQ_REQUIRE_POCKETPC_BUILD(); }
};

TEST_P(HurtingImage, IsRefusedBeforeAnythingRunsAndTheCommandLineExitsWithTwo)
{
    pe::Bytes image = Uninstaller();
    GetParam().breakIt(image);
    TempDir dir;
    const fs::path file = dir.Path() / "TRQUninstall.exe";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    emulator::PocketPcExe exe;
    std::string error;
    EXPECT_FALSE(emulator::LoadPocketPcExe(file, exe, error));
    EXPECT_NE(error.find(GetParam().error), std::string::npos) << error;

    const std::string device = (dir.Path() / "device").string();
    ASSERT_EQ(RunCommand(std::string(TRQ_SIM_CLI) + " --init-device " + device).exitCode, 0);
    const CommandResult run = RunCommand(std::string(TRQ_SIM_CLI) + " --device " + device + " --exe " +
                                         file.string() + " 2>&1 </dev/null");
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
    EXPECT_EQ(run.output.find('\x1b'), std::string::npos) << "no escape sequence reaches the terminal";
}

INSTANTIATE_TEST_SUITE_P(Images, HurtingImage, testing::ValuesIn(kHurting), NameFromParam());

// ------------------------------------------------------ odd files as --exe --

struct OddFile {
    std::string name;
    std::string path;  // @DIR@: a fresh folder holding a FIFO named fifo
    std::string error;
};

void PrintTo(const OddFile& o, std::ostream* out) { *out << o.name; }

const OddFile kOddFiles[] = {
    {"a directory", "@DIR@", "a directory, not a regular file"},
    {"a FIFO", "@DIR@/fifo", "a FIFO, not a regular file"},
    {"an endless device", "/dev/zero", "a device, not a regular file"},
    {"the process's own memory", "/proc/self/mem", "cannot read"},
};

class OddExe : public testing::TestWithParam<OddFile> {};

TEST_P(OddExe, IsRefusedAtOnceInOneLine)
{
    TempDir dir;
    ASSERT_EQ(mkfifo((dir.Path() / "fifo").c_str(), 0600), 0);
    const std::string device = (dir.Path() / "device").string();
    ASSERT_EQ(RunCommand(std::string(TRQ_SIM_CLI) + " --init-device " + device).exitCode, 0);
    std::string path = GetParam().path;
    if (path.rfind("@DIR@", 0) == 0) path.replace(0, 5, dir.Path().string());
    const auto start = std::chrono::steady_clock::now();
    const CommandResult run = RunCommand("timeout 60 " + std::string(TRQ_SIM_CLI) + " --device " + device +
                                         " --exe " + path + " 2>&1 </dev/null");
    std::printf("[ time     ] %s: %.2f s\n", GetParam().name.c_str(),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_NE(run.output.find("--exe " + path + ": " + GetParam().error), std::string::npos) << run.output;
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
}

INSTANTIATE_TEST_SUITE_P(Files, OddExe, testing::ValuesIn(kOddFiles), NameFromParam());

}  // namespace
}  // namespace trq_test
