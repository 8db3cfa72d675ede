#include "tests/pocketpc/pocketpc_test_support.h"

#include <map>

#include "tests/test_device.h"

namespace trq_test {

namespace fs = std::filesystem;

fs::path PocketPcUninstaller() { return TRQ_POCKETPC_EXE; }

fs::path PocketPcUninstallerElf()
{
    fs::path exe = PocketPcUninstaller();
    return exe.replace_extension(".elf");
}

fs::path PocketPcTestProgram(const std::string& name)
{
    return fs::path(TRQ_POCKETPC_PROGRAMS) / (name + ".exe");
}

std::string PocketPcBuildMissing()
{
    if (std::string(TRQ_POCKETPC_EXE).empty())
        return "the Pocket PC executable was not built: is arm-none-eabi-g++ installed?";
    for (const fs::path& file : {PocketPcUninstaller(), PocketPcTestProgram("null_read")})
        if (!fs::exists(file)) return "missing " + file.string();
    return "";
}

std::shared_ptr<const emulator::PocketPcExe> LoadPocketPc(const fs::path& file)
{
    static std::map<fs::path, std::shared_ptr<const emulator::PocketPcExe>> loaded;
    auto& exe = loaded[file];
    if (!exe) {
        auto fresh = std::make_shared<emulator::PocketPcExe>();
        std::string error;
        EXPECT_TRUE(emulator::LoadPocketPcExe(file, *fresh, error)) << error;
        exe = fresh;
    }
    return exe;
}

runner::Program PocketPcUninstallerOn(emulator::Cpu cpu)
{
    return emulator::PocketPcProgram(LoadPocketPc(PocketPcUninstaller()), cpu);
}

}  // namespace trq_test
