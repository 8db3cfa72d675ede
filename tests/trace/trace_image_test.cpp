// The Pocket PC trace build's image read back by pefile, a PE reader that is
// not ours: from COREDLL.dll alone, the uninstaller's calls and the trace
// build's seven, no other. And elf-to-wince lets an image import the trace
// build's calls only when told it is of that tier.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>

#include "tests/expected/expected_words.h"
#include "tests/pocketpc/pocketpc_test_support.h"
#include "tests/test_device.h"

namespace trq_test {
namespace {

namespace fs = std::filesystem;

fs::path TraceExe() { return TRQ_POCKETPC_TRACE_EXE; }

class TraceImage : public testing::Test {
protected:
    void SetUp() override
    {
        TRQ_REQUIRE_POCKETPC_BUILD();
        if (!fs::exists(TraceExe())) FAIL() << "missing " << TraceExe();
    }
};

TEST_F(TraceImage, ImportsTheUninstallersAndTheTraceCallsFromCoredllAlone)
{
    const CommandResult run = RunCommand("/usr/bin/python3 " TRQ_SOURCE_DIR "/tests/pocketpc/pe_fields.py '" +
                                         TraceExe().string() + "' 2>&1");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const nlohmann::json pe = nlohmann::json::parse(run.output, nullptr, /*allow_exceptions=*/false);
    ASSERT_EQ(pe["imports"].size(), 1u) << run.output;
    EXPECT_EQ(pe["imports"][0]["library"], "COREDLL.dll");
    std::vector<std::string> names;
    for (const nlohmann::json& f : pe["imports"][0]["functions"]) {
        EXPECT_FALSE(f["by_ordinal"]) << f.dump();
        names.push_back(f["name"].is_string() ? f["name"].get<std::string>() : "(none)");
    }
    // The uninstaller's: every call it may fail, and GetProcessHeap.
    std::vector<std::string> calls(std::begin(expected::kFaultableCalls), std::end(expected::kFaultableCalls));
    calls.push_back("GetProcessHeap");
    calls.insert(calls.end(), std::begin(expected::kTraceBuildCalls), std::end(expected::kTraceBuildCalls));
    std::sort(names.begin(), names.end());
    std::sort(calls.begin(), calls.end());
    EXPECT_EQ(names, calls);
    EXPECT_EQ(pe["warnings"], nlohmann::json::array());

    const unsigned size = pe["size"];
    std::printf("[ budget   ] TRQUninstallTrace.exe (Pocket PC): %u bytes of 16384\n", size);
    EXPECT_LE(size, 16384u);
}

// The uninstaller's ELF file with its DeleteFileW slot named CreateFileW.
std::string UninstallerImportingCreateFile()
{
    std::string bytes = ReadHostFile(PocketPcUninstallerElf());
    size_t renamed = 0;
    for (size_t at; (at = bytes.find("__imp_DeleteFileW")) != std::string::npos; ++renamed)
        bytes.replace(at, 17, "__imp_CreateFileW");
    EXPECT_GE(renamed, 1u);
    return bytes;
}

struct Conversion {
    const char* name;
    bool trace;         // the trace build's ELF file, else the uninstaller's importing CreateFileW
    const char* calls;  // --calls, or nullptr for the default
    const char* refusal;  // nullptr: written
};

const Conversion kConversions[] = {
    {"UninstallerImportingCreateFileW", false, nullptr,
     "imports CreateFileW, which is not one of the device calls"},
    {"UninstallerImportingCreateFileWAsTrace", false, "trace", nullptr},
    {"TraceBuildAsUninstaller", true, "uninstaller", ", which is not one of the device calls"},
};

void PrintTo(const Conversion& c, std::ostream* out) { *out << c.name; }

class TraceTier : public TraceImage, public testing::WithParamInterface<Conversion> {
protected:
    TempDir dir;
};

TEST_P(TraceTier, ElfToWinceImportsOnlyTheTiersCalls)
{
    const Conversion& c = GetParam();
    const fs::path input = dir.Path() / "input.elf", output = dir.Path() / "output.exe";
    const fs::path traceElf = fs::path(TraceExe()).replace_extension(".elf");
    std::ofstream(input, std::ios::binary) << (c.trace ? ReadHostFile(traceElf) : UninstallerImportingCreateFile());
    const std::string calls = c.calls ? std::string(" --calls ") + c.calls : "";
    const CommandResult run = RunCommand(std::string(TRQ_ELF_TO_WINCE) + calls + " '" + input.string() + "' '" +
                                         output.string() + "' 2>&1");
    EXPECT_EQ(run.exitCode, c.refusal ? 1 : 0) << run.output;
    EXPECT_EQ(fs::exists(output), !c.refusal);
    if (c.refusal) {
        EXPECT_NE(run.output.find(c.refusal), std::string::npos) << run.output;
    }
}

INSTANTIATE_TEST_SUITE_P(Conversions, TraceTier, testing::ValuesIn(kConversions), NameFromParam());

}  // namespace
}  // namespace trq_test
