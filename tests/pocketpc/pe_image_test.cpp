// The Pocket PC executable read back by pefile, a PE reader that is not ours
// (Debian's python3-pefile, run with Debian's own Python): every field a
// Pocket PC relies on, the exact list of imports, the thunks that reach
// them, and the size budget.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "device/call_names.h"
#include "formats/elf_file.h"
#include "formats/wince_image.h"
#include "tests/expected/expected_words.h"
#include "tests/pocketpc/pocketpc_test_support.h"
#include "tests/test_device.h"

namespace trq_test {
namespace {

constexpr uint32_t kBudget = 8192;

nlohmann::json ReadWithPefile(const std::filesystem::path& exe)
{
    const CommandResult run = RunCommand("/usr/bin/python3 " TRQ_SOURCE_DIR "/tests/pocketpc/pe_fields.py '" +
                                         exe.string() + "' 2>&1");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    return nlohmann::json::parse(run.output, nullptr, /*allow_exceptions=*/false);
}

elf::ElfFile ReadElf(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    elf::ElfFile elf;
    std::string error;
    EXPECT_TRUE(elf::ReadElfFile(bytes, elf, error)) << error;
    return elf;
}

class PeImage : public testing::Test {
protected:
    void SetUp() override
    {
        TRQ_REQUIRE_POCKETPC_BUILD();
        pe = ReadWithPefile(PocketPcUninstaller());
        ASSERT_TRUE(pe.is_object()) << "pefile could not read " << PocketPcUninstaller();
    }
    nlohmann::json pe;
};

TEST_F(PeImage, HeadersAreWhatAPocketPcLoads)
{
    const elf::ElfFile elf = ReadElf(PocketPcUninstallerElf());
    const elf::ElfSymbol* winMain = elf.Symbol("WinMain");
    ASSERT_NE(winMain, nullptr);
    const struct {
        const char* field;
        nlohmann::json want;
    } fields[] = {
        {"pe32", true},
        {"machine", 0x01C0},  // ARM
        {"relocs_stripped", true},
        {"executable", true},
        {"image_base", 0x00010000},
        {"section_alignment", 0x1000},
        {"file_alignment", 0x200},
        {"subsystem", 9},  // Windows CE GUI
        {"subsystem_version", {4, 20}},
        {"os_version", {4, 20}},
        {"entry", winMain->value - 0x00010000},
        {"checksum_valid", true},
        {"base_relocations", false},
        {"warnings", nlohmann::json::array()},
    };
    for (const auto& f : fields) EXPECT_EQ(pe[f.field], f.want) << f.field;
}

TEST_F(PeImage, SectionsHoldTheLinkedCodeAndTheImportTable)
{
    const elf::ElfFile elf = ReadElf(PocketPcUninstallerElf());
    ASSERT_EQ(pe["sections"].size(), 2u);
    const nlohmann::json& text = pe["sections"][0];
    const nlohmann::json& idata = pe["sections"][1];
    EXPECT_EQ(text["name"], ".text");
    EXPECT_TRUE(text["executable"]);
    EXPECT_FALSE(text["writable"]);
    EXPECT_EQ(idata["name"], ".idata");
    EXPECT_FALSE(idata["executable"]);
    EXPECT_TRUE(idata["writable"]);  // the loader fills the import address table

    // The code and constants, byte for byte where the linker put them.
    const elf::ElfSection* code = elf.Section(".text");
    ASSERT_NE(code, nullptr);
    EXPECT_EQ(text["address"], code->address - 0x00010000);
    std::string hex;
    for (uint8_t b : code->bytes) {
        char pair[3];
        (void)std::snprintf(pair, sizeof pair, "%02x", b);
        hex += pair;
    }
    EXPECT_EQ(text["data"], hex);
}

TEST_F(PeImage, ImportsExactlyTheDeviceCallsByNameFromCoredll)
{
    ASSERT_EQ(pe["imports"].size(), 1u);
    EXPECT_EQ(pe["imports"][0]["library"], "COREDLL.dll");
    std::vector<std::string> names;
    for (const nlohmann::json& f : pe["imports"][0]["functions"]) {
        EXPECT_FALSE(f["by_ordinal"]) << f.dump();
        names.push_back(f["name"].is_string() ? f["name"].get<std::string>() : "(none)");
    }
    std::vector<std::string> calls = device_calls::CallNames();
    std::sort(names.begin(), names.end());
    std::sort(calls.begin(), calls.end());
    EXPECT_EQ(names, calls);
}

// Each call the device code makes lands on a thunk that loads its import
// address table slot and jumps through it: the slot pefile names for it.
TEST_F(PeImage, EachThunkJumpsThroughItsOwnSlot)
{
    const elf::ElfFile elf = ReadElf(PocketPcUninstallerElf());
    const elf::ElfSection* code = elf.Section(".text");
    ASSERT_NE(code, nullptr);
    for (const nlohmann::json& f : pe["imports"][0]["functions"]) {
        const std::string name = f["name"];
        const elf::ElfSymbol* thunk = elf.Symbol(name);
        ASSERT_NE(thunk, nullptr) << name;
        uint32_t words[3];
        ASSERT_LE(thunk->value - code->address + sizeof words, code->bytes.size());
        std::memcpy(words, code->bytes.data() + (thunk->value - code->address), sizeof words);
        EXPECT_EQ(words[0], 0xE59FC000u) << name << ": ldr ip, [pc]";
        EXPECT_EQ(words[1], 0xE59CF000u) << name << ": ldr pc, [ip]";
        EXPECT_EQ(words[2], f["slot"].get<uint32_t>()) << name << ": its slot";
    }
}

// The texts are most of the image: each is there once, however often the
// code uses it (the caption, the Not removed box), and spelled as written
// down in tests/expected/.
TEST_F(PeImage, EachTextIsInTheImageOnce)
{
    const std::string code = pe["sections"][0]["data"];
    std::vector<std::u16string> texts = {expected::kCaption};
    for (const expected::BoxWords& box : expected::kBoxes) texts.push_back(box.text);
    for (const expected::KeyWords& key : expected::kKeyRows) texts.push_back(key.path);
    for (const std::u16string& text : texts) {
        std::string hex;  // UTF-16LE and its terminator, as pefile spells bytes
        for (char16_t c : text + u'\0') {
            char pair[5];
            (void)std::snprintf(pair, sizeof pair, "%02x%02x", c & 0xFF, c >> 8);
            hex += pair;
        }
        size_t found = 0;
        for (size_t at = code.find(hex); at != std::string::npos; at = code.find(hex, at + 1))
            found += at % 4 == 0;  // on a character boundary
        EXPECT_EQ(found, 1u) << std::string(text.begin(), text.end());
    }
}

// The executable handed out to Pocket PC owners: these sources with this
// tree's compiler make these very bytes (docs/pocketpc.md).
TEST_F(PeImage, BytesAreTheShippedOnes)
{
    const CommandResult run = RunCommand("sha256sum '" + PocketPcUninstaller().string() + "'");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.output.substr(0, 64), "66d009c055409783fd35e12797fee9ddc173e0f01a32cbd49dbf1408e712127b");
}

TEST_F(PeImage, WithinBudget)
{
    const uint32_t size = pe["size"];
    std::printf("[ budget   ] TRQUninstall.exe (Pocket PC): %u bytes of %u (%u%%)\n", size, kBudget,
                size * 100 / kBudget);
    for (const nlohmann::json& s : pe["sections"])
        std::printf("[ budget   ]   %-7s %5u bytes, %5u on file\n", s["name"].get<std::string>().c_str(),
                    s["virtual_size"].get<uint32_t>(), s["raw_size"].get<uint32_t>());
    EXPECT_LE(size, kBudget);
}

}  // namespace
}  // namespace trq_test
