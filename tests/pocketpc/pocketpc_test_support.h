// What the Pocket PC tests share: where the build put the ARM executables,
// the uninstaller loaded for the emulator, and a check that skips a test when
// the ARM compiler was not installed (failing in CI instead).
#ifndef TRQ_TESTS_POCKETPC_POCKETPC_TEST_SUPPORT_H
#define TRQ_TESTS_POCKETPC_POCKETPC_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <memory>
#include <string>

#include "formats/pe_format.h"
#include "harness/emulator/pocketpc.h"

namespace trq_test {

std::filesystem::path PocketPcUninstaller();                   // TRQUninstall.exe
std::filesystem::path PocketPcTestProgram(const std::string& name);  // tests/pocketpc/programs
std::filesystem::path PocketPcUninstallerElf();                // what elf-to-wince made it from

// The executable loaded for the emulator; a failure to load fails the test.
std::shared_ptr<const emulator::PocketPcExe> LoadPocketPc(const std::filesystem::path& file);
// The uninstaller on an emulated processor, as a device's program.
runner::Program PocketPcUninstallerOn(emulator::Cpu cpu);

// Why the Pocket PC executables are not there, or empty.
std::string PocketPcBuildMissing();

// An executable broken on purpose, and the loader's one line about it.
struct BrokenImage {
    std::string name;
    std::function<void(pe::Bytes&)> breakIt;
    std::string error;
};
inline void PrintTo(const BrokenImage& image, std::ostream* out) { *out << image.name; }

}  // namespace trq_test

// In a test or its SetUp: skip without the Pocket PC build, fail in CI.
#define TRQ_REQUIRE_POCKETPC_BUILD()                                           \
    do {                                                                       \
        const std::string trq_missing = trq_test::PocketPcBuildMissing();      \
        if (!trq_missing.empty()) {                                            \
            if (trq_test::RunningInCi()) FAIL() << trq_missing;                \
            GTEST_SKIP() << trq_missing;                                       \
        }                                                                      \
    } while (0)

#endif
