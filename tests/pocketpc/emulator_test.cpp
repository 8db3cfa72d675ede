// The ARM emulator as a Pocket PC: a program that breaks down ends the run
// with the cause and the address, on either processor, and what it did
// before stays done; what Windows CE's loader refuses is refused; code built
// for a newer processor does not run on a StrongARM; and trq-uninstall-sim's
// --exe and --cpu end to end.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <regex>

#include "formats/pe_format.h"
#include "tests/pocketpc/pocketpc_test_support.h"
#include "tests/scenarios.h"
#include "tests/test_device.h"

namespace trq_test {
namespace {

namespace fs = std::filesystem;
using emulator::Cpu;

const Cpu kCpus[] = {Cpu::Sa1110, Cpu::Pxa270};

std::string CpuWord(Cpu cpu) { return cpu == Cpu::Sa1110 ? "SA1110" : "PXA270"; }

// ------------------------------------------------ programs that break down --

struct Breakdown {
    std::string program;  // tests/pocketpc/programs
    std::string fault;    // a regular expression for the message
};

const Breakdown kBreakdowns[] = {
    {"null_read", "read of memory the program was not given at 0x00000004 by the instruction at 0x0001"},
    {"null_call", "jump to 0x00000000, memory the program was not given \\(return address 0x0001"},
    {"code_write", "write to read-only memory at 0x00011000 by the instruction at 0x0001"},
    {"endless_loop", "ran past its budget of 100000 instructions, at 0x0001"},
    {"stray_import", "call into COREDLL at 0x03F00100, which is none of the image's imports"},
    {"software_interrupt", "a software interrupt \\(SWI 0x001234\\) at 0x0001"},
    {"bad_string", "DeleteFileW, argument 1: the string at 0x00001000 runs into memory the program was not given"},
    // A heap block ends where an unmapped page begins, and goes when it is freed.
    {"heap_overrun", "write to memory the program was not given at 0x000[0-9A-F]{2}000 "},
    {"heap_use_after_free", "read of memory the program was not given at 0x000[0-9A-F]{5} "},
    {"read_only_buffer",
     "GetTempPathW, argument 2: the call may write the 520 bytes at 0x0001[0-9A-F]{4}, which the program may not write"},
    // The same, where the call would leave the buffer as it is: a device faults on the write access.
    {"read_only_untouched_buffer",
     "GetTempPathW, argument 2: the call may write the 4 bytes at 0x0001[0-9A-F]{4}, which the program may not write"},
};

class ProgramBreaksDown : public testing::TestWithParam<std::tuple<Breakdown, Cpu>> {
protected:
    void SetUp() override { TRQ_REQUIRE_POCKETPC_BUILD(); }
};

TEST_P(ProgramBreaksDown, TheRunEndsNamingTheCauseAndTheAddress)
{
    const auto& [breakdown, cpu] = GetParam();
    TestDevice device;
    device.program = emulator::PocketPcProgram(LoadPocketPc(PocketPcTestProgram(breakdown.program)), cpu, {100000});
    const runner::RunOutcome run = device.Run({});
    EXPECT_EQ(run.stop, sim::Stop::Fault);
    EXPECT_TRUE(std::regex_search(run.fault, std::regex("^" + breakdown.program + "\\.exe: .*" + breakdown.fault)))
        << run.fault;
}

INSTANTIATE_TEST_SUITE_P(Programs, ProgramBreaksDown,
                         testing::Combine(testing::ValuesIn(kBreakdowns), testing::ValuesIn(kCpus)),
                         [](const auto& info) {
                             return std::get<0>(info.param).program + "_" + CpuWord(std::get<1>(info.param));
                         });

// A buffer the program may not write is refused before the call: the device
// never sees it, on either processor.
TEST(ProgramBreaksDownBeforeTheCall, AReadOnlyBufferOutIsRefusedBeforeTheDeviceSeesTheCall)
{
    TRQ_REQUIRE_POCKETPC_BUILD();
    for (Cpu cpu : kCpus) {
        TestDevice device;
        device.program =
            emulator::PocketPcProgram(LoadPocketPc(PocketPcTestProgram("read_only_untouched_buffer")), cpu);
        const runner::RunOutcome run = device.Run({});
        EXPECT_EQ(run.stop, sim::Stop::Fault) << CpuWord(cpu);
        std::vector<std::string> ops;
        for (const auto& record : run.trace.Records()) ops.push_back(record.call->name);
        EXPECT_EQ(ops, std::vector<std::string>{"SetLastError"}) << CpuWord(cpu);
    }
}

// ---------------------------------------------------------- the processors --

TEST(Processor, CodeForArmV5teDoesNotRunOnTheStrongArmButDoesOnTheXScale)
{
    TRQ_REQUIRE_POCKETPC_BUILD();
    auto armv5te = LoadPocketPc(PocketPcTestProgram("TRQUninstall_armv5te"));
    TestDevice strongArm;
    strongArm.program = emulator::PocketPcProgram(armv5te, Cpu::Sa1110);
    const runner::RunOutcome refused = strongArm.Run({6, 6});
    EXPECT_EQ(refused.stop, sim::Stop::Fault);
    EXPECT_NE(refused.fault.find("invalid instruction"), std::string::npos) << refused.fault;

    const Scenario& clean = SharedScenarios()[0];
    const runner::RunOutcome device = PlayScenario(clean);
    const runner::RunOutcome xscale = PlayScenario(clean, emulator::PocketPcProgram(armv5te, Cpu::Pxa270));
    EXPECT_EQ(FirstDifference(xscale.trace, device.trace), "");
}

// ------------------------------------------------------------- the loader --

// Where elf-to-wince puts the PE header, after the DOS header and the
// signature; the optional header follows it, then the section table.
constexpr size_t kFileHeader = 0x40 + 4;
const size_t kOptionalHeader = kFileHeader + pe::SizeOf<pe::FileHeader>();

// Rewrites the headers of an image in place.
void EditHeaders(pe::Bytes& image, const std::function<void(pe::FileHeader&, pe::OptionalHeader32&)>& edit)
{
    pe::FileHeader file;
    pe::OptionalHeader32 opt;
    ASSERT_TRUE(pe::Load(image, kFileHeader, file));
    ASSERT_TRUE(pe::Load(image, kOptionalHeader, opt));
    edit(file, opt);
    pe::Store(image, kFileHeader, file);
    pe::Store(image, kOptionalHeader, opt);
}

// Rewrites the header of section `index` in place.
void EditSection(pe::Bytes& image, size_t index, const std::function<void(pe::SectionHeader&)>& edit)
{
    pe::FileHeader file;
    ASSERT_TRUE(pe::Load(image, kFileHeader, file));
    const size_t at = kOptionalHeader + file.sizeOfOptionalHeader + index * pe::SizeOf<pe::SectionHeader>();
    pe::SectionHeader section;
    ASSERT_TRUE(pe::Load(image, at, section));
    edit(section);
    pe::Store(image, at, section);
}

// Where the byte at rva lies in the file.
size_t FileOffset(const pe::Bytes& image, uint32_t rva)
{
    pe::FileHeader file;
    EXPECT_TRUE(pe::Load(image, kFileHeader, file));
    for (size_t i = 0; i < file.numberOfSections; ++i) {
        pe::SectionHeader s;
        EXPECT_TRUE(pe::Load(image, kOptionalHeader + file.sizeOfOptionalHeader + i * pe::SizeOf<pe::SectionHeader>(), s));
        if (rva >= s.virtualAddress && rva < s.virtualAddress + s.sizeOfRawData)
            return s.pointerToRawData + (rva - s.virtualAddress);
    }
    ADD_FAILURE() << "no section holds " << rva;
    return 0;
}

void Replace(pe::Bytes& image, const std::string& from, const std::string& to)
{
    auto at = std::search(image.begin(), image.end(), from.begin(), from.end());
    ASSERT_NE(at, image.end()) << from;
    std::copy(to.begin(), to.end(), at);
}

// The first import of COREDLL.dll by ordinal 42 instead of by name.
void ImportFirstByOrdinal(pe::Bytes& image)
{
    pe::OptionalHeader32 opt;
    pe::ImportDescriptor coredll;
    ASSERT_TRUE(pe::Load(image, kOptionalHeader, opt));
    ASSERT_TRUE(pe::Load(image, FileOffset(image, opt.dataDirectory[pe::kImportDirectory].rva), coredll));
    pe::Put(image, FileOffset(image, coredll.importLookupTable), pe::kImportByOrdinal | 42, 4);
}

// The import address table of COREDLL.dll moved to the end of the address space.
void MoveImportAddressTable(pe::Bytes& image)
{
    pe::OptionalHeader32 opt;
    pe::ImportDescriptor coredll;
    ASSERT_TRUE(pe::Load(image, kOptionalHeader, opt));
    const size_t at = FileOffset(image, opt.dataDirectory[pe::kImportDirectory].rva);
    ASSERT_TRUE(pe::Load(image, at, coredll));
    coredll.importAddressTable = 0xFFFFFFF0;
    pe::Store(image, at, coredll);
}


const BrokenImage kRefusals[] = {
    {"not an executable", [](pe::Bytes& b) { b[0] = 'Z'; }, "not an executable: no MZ header"},
    {"truncated", [](pe::Bytes& b) { b.resize(0x300); }, "runs past the end of the file"},
    {"Thumb-2 of desktop Windows on ARM",
     [](pe::Bytes& b) { EditHeaders(b, [](pe::FileHeader& f, pe::OptionalHeader32&) { f.machine = 0x01C4; }); },
     "machine 0x01C4 is not ARM (0x01C0)"},
    {"a desktop Windows program",
     [](pe::Bytes& b) { EditHeaders(b, [](pe::FileHeader&, pe::OptionalHeader32& o) { o.subsystem = 2; }); },
     "subsystem 2 is not Windows CE GUI (9)"},
    {"another image base",
     [](pe::Bytes& b) { EditHeaders(b, [](pe::FileHeader&, pe::OptionalHeader32& o) { o.imageBase = 0x400000; }); },
     "image base 0x00400000: Windows CE loads an executable at 0x00010000"},
    {"too big for the process slot",
     [](pe::Bytes& b) { EditHeaders(b, [](pe::FileHeader&, pe::OptionalHeader32& o) { o.sizeOfImage = 0x2000000; }); },
     "does not fit in the 32 MiB process slot"},
    {"a section as large as the address space",
     [](pe::Bytes& b) { EditSection(b, 0, [](pe::SectionHeader& s) { s.virtualSize = 0xFFFFF001; }); },
     "section .text ends past the end of the image"},
    {"a section's data past the end of the file",
     [](pe::Bytes& b) { EditSection(b, 1, [](pe::SectionHeader& s) { s.pointerToRawData = 0x10000; }); },
     "section .idata runs past the end of the file"},
    {"sections out of order",
     [](pe::Bytes& b) { EditSection(b, 1, [](pe::SectionHeader& s) { s.virtualAddress = 0x1000; }); },
     "section .idata at 0x00011000 does not follow the one before"},
    {"entry point in the import table",
     [](pe::Bytes& b) {
         EditHeaders(b, [](pe::FileHeader&, pe::OptionalHeader32& o) { o.addressOfEntryPoint = o.baseOfData; });
     },
     "is not in a code section"},
    {"a library other than COREDLL", [](pe::Bytes& b) { Replace(b, "COREDLL.dll", "NOTCORE.dll"); },
     "imports from NOTCORE.dll, a library the emulated Pocket PC does not have"},
    {"a call COREDLL does not serve here", [](pe::Bytes& b) { Replace(b, "GetTempPathW", "GetTickCount"); },
     "imports GetTickCount from COREDLL.dll, which the emulated Pocket PC does not serve"},
    {"an import by ordinal", ImportFirstByOrdinal, "imports ordinal 42 from COREDLL.dll"},
    {"an import address table past the image", MoveImportAddressTable,
     "the import address table of COREDLL.dll runs past the image"},
};

class Loader : public testing::TestWithParam<BrokenImage> {
protected:
    void SetUp() override { TRQ_REQUIRE_POCKETPC_BUILD(); }
};

pe::Bytes Uninstaller()
{
    const std::string bytes = ReadHostFile(PocketPcUninstaller());
    return pe::Bytes(bytes.begin(), bytes.end());
}

bool Load(const pe::Bytes& image, std::string& error)
{
    TempDir dir;
    const fs::path file = dir.Path() / "TRQUninstall.exe";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    emulator::PocketPcExe exe;
    return emulator::LoadPocketPcExe(file, exe, error);
}

TEST_P(Loader, RefusesWhatAPocketPcWouldNotRun)
{
    pe::Bytes image = Uninstaller();
    GetParam().breakIt(image);
    std::string error;
    EXPECT_FALSE(Load(image, error));
    EXPECT_NE(error.find(GetParam().error), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Refusals, Loader, testing::ValuesIn(kRefusals), NameFromParam());

TEST(LoaderAccepts, TheLibraryNameInAnyCase)
{
    TRQ_REQUIRE_POCKETPC_BUILD();
    pe::Bytes image = Uninstaller();
    Replace(image, "COREDLL.dll", "coredll.DLL");
    std::string error;
    EXPECT_TRUE(Load(image, error)) << error;
}

// ------------------------------------------------------- the command line --

struct CliCase {
    std::string name;
    std::string args;  // after --device DIR, with @EXE@, @ELF@ and @PROGRAMS@ for the build's files
    int exitCode;
    std::string output;  // part of what it prints
};

void PrintTo(const CliCase& c, std::ostream* out) { *out << c.name; }

const CliCase kCliCases[] = {
    {"the uninstaller on the StrongARM", "--exe @EXE@ --answer yes,yes", 0, "Exit code: 0"},
    {"the uninstaller on the XScale", "--exe @EXE@ --cpu pxa270 --answer yes,yes", 0, "Exit code: 0"},
    {"a program that faults", "--exe @PROGRAMS@/null_read.exe", 4,
     "the program faulted: null_read.exe: read of memory the program was not given at 0x00000004"},
    {"no such file", "--exe @PROGRAMS@/none.exe", 2, "--exe @PROGRAMS@/none.exe: cannot open"},
    {"not a Pocket PC executable", "--exe @ELF@", 2, "not an executable: no MZ header"},
    {"an unknown processor", "--exe @EXE@ --cpu arm920t", 2, "--cpu"},
    {"a processor without --exe", "--cpu pxa270", 2, "--cpu requires --exe"},
    {"--exe with --status", "--exe @EXE@ --status", 2, "excludes"},
};

class PocketPcCli : public testing::TestWithParam<CliCase> {
protected:
    void SetUp() override { TRQ_REQUIRE_POCKETPC_BUILD(); }
};

std::string Expand(std::string text)
{
    const std::pair<std::string, std::string> words[] = {
        {"@EXE@", PocketPcUninstaller().string()},
        {"@ELF@", PocketPcUninstallerElf().string()},
        {"@PROGRAMS@", PocketPcTestProgram("any").parent_path().string()}};
    for (const auto& [word, path] : words)
        for (size_t at; (at = text.find(word)) != std::string::npos;) text.replace(at, word.size(), path);
    return text;
}

TEST_P(PocketPcCli, RunsTheExecutableOnTheSimulatedDevice)
{
    TempDir dir;
    const fs::path device = dir.Path() / "device";
    ASSERT_EQ(RunCommand(std::string(TRQ_SIM_CLI) + " --init-device " + device.string()).exitCode, 0);
    const CommandResult run =
        RunCommand(std::string(TRQ_SIM_CLI) + " --device " + device.string() + " " + Expand(GetParam().args) +
                   " </dev/null 2>&1");
    EXPECT_EQ(run.exitCode, GetParam().exitCode) << run.output;
    EXPECT_NE(run.output.find(Expand(GetParam().output)), std::string::npos) << run.output;
}

INSTANTIATE_TEST_SUITE_P(Cases, PocketPcCli, testing::ValuesIn(kCliCases), NameFromParam());

// The command line's trace of the Pocket PC is the simulated device's, and a
// program that faults leaves the device as its calls made it.
TEST(PocketPcCliRun, SameTraceAsTheSimulatedDeviceAndWhatWasDoneStaysDone)
{
    TRQ_REQUIRE_POCKETPC_BUILD();
    TempDir dir;
    const std::string cli = TRQ_SIM_CLI;
    for (const char* name : {"host", "arm", "faulted"})
        ASSERT_EQ(RunCommand(cli + " --init-device " + (dir.Path() / name).string()).exitCode, 0);
    auto run = [&](const char* name, const std::string& exe) {
        return RunCommand(cli + " --device " + (dir.Path() / name).string() + " --answer yes --trace " +
                          (dir.Path() / name).string() + ".jsonl" + exe + " >/dev/null 2>&1")
            .exitCode;
    };
    EXPECT_EQ(run("host", ""), 3);  // the Reset offer finds no answer
    EXPECT_EQ(run("arm", " --exe " + PocketPcUninstaller().string()), 3);
    runner::DeviceTrace host, arm;
    std::string error;
    ASSERT_TRUE(runner::ReadDeviceTrace(ReadHostFile(dir.Path() / "host.jsonl"), host, error)) << error;
    ASSERT_TRUE(runner::ReadDeviceTrace(ReadHostFile(dir.Path() / "arm.jsonl"), arm, error)) << error;
    EXPECT_EQ(FirstDifference(arm.runs.at(0), host.runs.at(0)), "");

    EXPECT_EQ(run("faulted", " --exe " + PocketPcTestProgram("null_read").string()), 4);
    const std::string trace = ReadHostFile(dir.Path() / "faulted.jsonl");
    EXPECT_NE(trace.find("{\"call\":\"DeleteFileW\",\"args\":{\"path\":\"\\\\Program Files\\\\TRQ\\\\TRQ.exe.log\"},"
                         "\"ret\":1"),
              std::string::npos)
        << trace;
    EXPECT_FALSE(fs::exists(dir.Path() / "faulted/files/Program Files/TRQ/TRQ.exe.log"));
    EXPECT_TRUE(fs::exists(dir.Path() / "faulted/files/Program Files/TRQ/TRQ.exe"));
}

}  // namespace
}  // namespace trq_test
