// The Pocket PC kit, TRQUninstallKit.exe, read back by pefile (Debian's
// python3-pefile, with Debian's own Python): a Windows CE GUI program for
// ARM that imports from COREDLL.dll alone, by name, only calls of the list
// (device/device_calls.h, all three tiers), and that the uninstaller's own
// tier does not cover.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "device/call_names.h"
#include "tests/test_device.h"

namespace trq_test {
namespace {

TEST(KitImage, ImportsOnlyCallsOfTheListFromCoredll)
{
    const std::filesystem::path exe = TRQ_POCKETPC_KIT;
    if (exe.empty() || !std::filesystem::exists(exe)) {
        const std::string missing = "the Pocket PC kit was not built (" + exe.string() +
                                    "): is arm-none-eabi-g++ installed?";
        if (RunningInCi()) FAIL() << missing;
        GTEST_SKIP() << missing;
    }
    const CommandResult run =
        RunCommand("/usr/bin/python3 " TRQ_SOURCE_DIR "/tests/pocketpc/pe_fields.py '" + exe.string() + "' 2>&1");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const nlohmann::json pe = nlohmann::json::parse(run.output, nullptr, false);
    ASSERT_TRUE(pe.is_object()) << run.output;

    EXPECT_EQ(pe["machine"], 0x01C0);  // ARM
    EXPECT_EQ(pe["subsystem"], 9);     // Windows CE GUI
    EXPECT_EQ(pe["image_base"], 0x00010000);
    EXPECT_EQ(pe["base_relocations"], false);
    EXPECT_EQ(pe["warnings"], nlohmann::json::array());

    ASSERT_EQ(pe["imports"].size(), 1u);
    EXPECT_EQ(pe["imports"][0]["library"], "COREDLL.dll");
    const std::vector<std::string> listed = device_calls::CallNames(device_calls::Kit);
    const std::vector<std::string> uninstallers = device_calls::CallNames(device_calls::Uninstaller);
    size_t beyondTheUninstaller = 0;
    for (const nlohmann::json& f : pe["imports"][0]["functions"]) {
        EXPECT_FALSE(f["by_ordinal"]) << f.dump();
        const std::string name = f["name"].is_string() ? f["name"].get<std::string>() : "(none)";
        EXPECT_NE(std::find(listed.begin(), listed.end(), name), listed.end()) << name << " is no call of the list";
        beyondTheUninstaller += std::find(uninstallers.begin(), uninstallers.end(), name) == uninstallers.end();
    }
    // The kit writes files and keys, starts its holder and waits on events:
    // calls of the tiers above the uninstaller's.
    EXPECT_GT(beyondTheUninstaller, 0u);
    std::printf("[ kit      ] TRQUninstallKit.exe (Pocket PC): %u bytes, %zu imports, %zu beyond the uninstaller's\n",
                pe["size"].get<unsigned>(), pe["imports"][0]["functions"].size(), beyondTheUninstaller);
}

}  // namespace
}  // namespace trq_test
