// elf-to-wince on the linked uninstaller and on broken copies of it: each
// broken input gets a clear error and no output file, and an existing one
// is left as it was.
#include <gtest/gtest.h>

#include <elf.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <functional>

#include "tests/pocketpc/pocketpc_test_support.h"
#include "tests/test_device.h"

namespace trq_test {
namespace {

namespace fs = std::filesystem;

// The linked ELF file, to break in one place.
class ElfBytes {
public:
    explicit ElfBytes(const fs::path& file) : bytes_(ReadHostFile(file)) {}
    std::string& Bytes() { return bytes_; }

    Elf32_Ehdr& Header() { return At<Elf32_Ehdr>(0); }
    Elf32_Shdr& Section(const std::string& name)
    {
        for (int i = 0; i < Header().e_shnum; ++i) {
            Elf32_Shdr& s = SectionAt(i);
            if (NameIn(SectionAt(Header().e_shstrndx), s.sh_name) == name) return s;
        }
        ADD_FAILURE() << "no section " << name;
        return SectionAt(0);
    }
    // Symbols of the symbol table, each with its name.
    void ForEachSymbol(const std::function<void(Elf32_Sym&, char* name)>& visit)
    {
        Elf32_Shdr& table = Section(".symtab");
        for (uint32_t i = 1; i < table.sh_size / sizeof(Elf32_Sym); ++i) {
            Elf32_Sym& s = At<Elf32_Sym>(table.sh_offset + i * sizeof(Elf32_Sym));
            visit(s, &bytes_[SectionAt(table.sh_link).sh_offset + s.st_name]);
        }
    }
    Elf32_Sym& Symbol(const std::string& name)
    {
        Elf32_Sym* found = nullptr;
        ForEachSymbol([&](Elf32_Sym& s, char* n) {
            if (name == n) found = &s;
        });
        EXPECT_NE(found, nullptr) << "no symbol " << name;
        return found ? *found : At<Elf32_Sym>(Section(".symtab").sh_offset);
    }
    // Renames in place: a name of the same length.
    void RenameSection(const std::string& from, const std::string& to)
    {
        // NOLINTNEXTLINE(bugprone-not-null-terminated-result): the name keeps the NUL the string table has after it
        std::memcpy(&bytes_[SectionAt(Header().e_shstrndx).sh_offset + Section(from).sh_name], to.data(), to.size());
    }
    void RenameSymbol(const std::string& from, const std::string& to)
    {
        ForEachSymbol([&](Elf32_Sym&, char* n) {
            // NOLINTNEXTLINE(bugprone-not-null-terminated-result): the name keeps the NUL after it
            if (from == n) std::memcpy(n, to.data(), to.size());
        });
    }
    // Moves a section and every symbol in it.
    void MoveSection(const std::string& name, uint32_t address)
    {
        Elf32_Shdr& s = Section(name);
        const uint32_t from = s.sh_addr;
        ForEachSymbol([&](Elf32_Sym& sym, char*) {
            if (sym.st_shndx != SHN_UNDEF && sym.st_value >= from && sym.st_value < from + s.sh_size)
                sym.st_value += address - from;
        });
        s.sh_addr = address;
    }

private:
    template <class T> T& At(size_t offset) { return *reinterpret_cast<T*>(&bytes_[offset]); }
    Elf32_Shdr& SectionAt(size_t i) { return At<Elf32_Shdr>(Header().e_shoff + i * sizeof(Elf32_Shdr)); }
    std::string NameIn(Elf32_Shdr& table, uint32_t offset) { return &bytes_[table.sh_offset + offset]; }
    std::string bytes_;
};

struct Broken {
    std::string name;
    std::function<void(ElfBytes&)> breakIt;
    std::string error;  // what the tool must say
};

void PrintTo(const Broken& b, std::ostream* out) { *out << b.name; }

const Broken kBroken[] = {
    {"not an ELF file", [](ElfBytes& e) { e.Bytes()[1] = 'X'; }, "not an ELF file"},
    {"truncated", [](ElfBytes& e) { e.Bytes().resize(200); }, "runs past the end of the file"},
    {"another processor's ELF file", [](ElfBytes& e) { e.Header().e_machine = EM_386; }, "not an ARM ELF file"},
    {"no import table section", [](ElfBytes& e) { e.RenameSection(".idata", ".idatx"); },
     "no .idata section: the import thunks were not linked in"},
    {"no code section", [](ElfBytes& e) { e.RenameSection(".text", ".texx"); }, "no .text section"},
    {"an import the device calls do not name",
     [](ElfBytes& e) { e.RenameSymbol("__imp_DeleteFileW", "__imp_DeleteFileX"); },
     "imports DeleteFileX, which is not one of the device calls"},
    {"a name that would drive the terminal",
     [](ElfBytes& e) { e.RenameSymbol("__imp_DeleteFileW", "__imp_\n\x1b[31mFileW"); },
     "imports \\x0A\\x1B[31mFileW, which is not one of the device calls"},
    {"a call imported twice", [](ElfBytes& e) { e.RenameSymbol("__imp_GetLastError", "__imp_SetLastError"); },
     "imports SetLastError twice"},
    {"an import slot without a name",
     [](ElfBytes& e) { e.RenameSymbol("__imp_GetLastError", "xx_imp_GetLastError"); },
     "has no __imp_ name"},
    {"an undefined symbol", [](ElfBytes& e) { e.Symbol("_Z12RunUninstallv").st_shndx = SHN_UNDEF; },
     "undefined symbol _Z12RunUninstallv"},
    {"no WinMain", [](ElfBytes& e) { e.RenameSymbol("WinMain", "WinMan"); }, "no function WinMain in .text"},
    {"WinMain past the code",
     [](ElfBytes& e) {
         const uint32_t past = e.Section(".text").sh_addr + e.Section(".text").sh_size;
         e.Symbol("WinMain").st_value = past;
         e.Header().e_entry = past;
     },
     "no function WinMain in .text"},
    {"entry not at WinMain", [](ElfBytes& e) { e.Header().e_entry += 4; }, "is not WinMain"},
    {"an image that would not fit the process slot",
     [](ElfBytes& e) { e.MoveSection(".idata", 0x02000000); }, "past 0x02000000, the end of the 32 MiB process slot"},
    {"sections sharing a page", [](ElfBytes& e) { e.MoveSection(".idata", e.Section(".text").sh_addr + 0x800); },
     "is not on a page of its own"},
};

class ElfToWince : public testing::TestWithParam<Broken> {
protected:
    void SetUp() override { TRQ_REQUIRE_POCKETPC_BUILD(); }
    TempDir dir;
};

CommandResult RunTool(const fs::path& elf, const fs::path& exe)
{
    return RunCommand(std::string(TRQ_ELF_TO_WINCE) + " '" + elf.string() + "' '" + exe.string() + "' 2>&1");
}

TEST_P(ElfToWince, RefusesBrokenInputAndWritesNothing)
{
    ElfBytes elf(PocketPcUninstallerElf());
    GetParam().breakIt(elf);
    const fs::path input = dir.Path() / "broken.elf", output = dir.Path() / "TRQUninstall.exe";
    std::ofstream(input, std::ios::binary) << elf.Bytes();

    CommandResult run = RunTool(input, output);
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_NE(run.output.find(GetParam().error), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find('\n'), run.output.size() - 1) << "one line: " << run.output;
    EXPECT_FALSE(fs::exists(output));

    // An executable already there stays as it was, and no scrap is left.
    std::ofstream(output, std::ios::binary) << "the previous build";
    run = RunTool(input, output);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(ReadHostFile(output), "the previous build");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 2);
}

INSTANTIATE_TEST_SUITE_P(Broken, ElfToWince, testing::ValuesIn(kBroken), NameFromParam());

// Input that is not a regular file is refused at once, in one line, before
// anything is read from it; the name given is shown escaped.
TEST(ElfToWinceInput, OddFilesAreRefusedInOneLine)
{
    TRQ_REQUIRE_POCKETPC_BUILD();
    TempDir dir;
    ASSERT_EQ(mkfifo((dir.Path() / "fifo").c_str(), 0600), 0);
    const std::string d = dir.Path().string();
    const struct {
        std::string input, shown, error;
    } cases[] = {
        {d, d, "a directory, not a regular file"},
        {d + "/fifo", d + "/fifo", "a FIFO, not a regular file"},
        {"/dev/zero", "/dev/zero", "a device, not a regular file"},
        {d + "/line\nbreak.elf", d + "/line\\x0Abreak.elf", "cannot open: No such file or directory"},
    };
    for (const auto& c : cases) {
        const CommandResult run = RunCommand("timeout 60 " + std::string(TRQ_ELF_TO_WINCE) + " '" + c.input + "' " +
                                             (dir.Path() / "out.exe").string() + " 2>&1");
        EXPECT_EQ(run.exitCode, 1) << c.input;
        EXPECT_EQ(run.output, "elf-to-wince: " + c.shown + ": " + c.error + "\n");
    }
    EXPECT_FALSE(fs::exists(dir.Path() / "out.exe"));
}

// The same input makes the same image, and a link where the output goes is
// replaced by it; the file the link names elsewhere is not written through
// it, and no temporary file stays.
TEST(ElfToWinceOutput, ALinkAtTheOutputIsReplacedNotFollowed)
{
    TRQ_REQUIRE_POCKETPC_BUILD();
    TempDir dir;
    fs::create_directory(dir.Path() / "out");
    const fs::path elsewhere = dir.Path() / "elsewhere", output = dir.Path() / "out/TRQUninstall.exe";
    std::ofstream(elsewhere) << "someone else's file";
    fs::create_symlink(elsewhere, output);
    const CommandResult run = RunTool(PocketPcUninstallerElf(), output);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_FALSE(fs::is_symlink(output));
    EXPECT_EQ(ReadHostFile(output), ReadHostFile(PocketPcUninstaller()));
    EXPECT_EQ(ReadHostFile(elsewhere), "someone else's file");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path() / "out"), fs::directory_iterator()), 1);
}

TEST(ElfToWinceOutput, UsageErrorsExitWithTwo)
{
    TRQ_REQUIRE_POCKETPC_BUILD();
    for (const char* args : {"", " one.elf", " a b c", " --calls other a.elf b.exe"}) {
        const CommandResult run = RunCommand(std::string(TRQ_ELF_TO_WINCE) + args + " 2>&1");
        EXPECT_EQ(run.exitCode, 2) << args;
        EXPECT_NE(run.output.find("usage"), std::string::npos) << run.output;
    }
}

}  // namespace
}  // namespace trq_test
