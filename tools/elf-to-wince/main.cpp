// elf-to-wince: writes the Pocket PC executable from the linked ARM ELF file.
//
//   elf-to-wince [--calls uninstaller|trace|kit] INPUT.elf OUTPUT.exe
//
// No linker here writes Windows CE images for ARM, so the build links an ELF
// file at the addresses a Pocket PC loads the executable at
// (platform/wince/pocketpc.ld) and this tool lays it out as a PE image. The
// image may import only the device calls of device/device_calls.h of its
// tier: the uninstaller's own (the default), those of its trace build, or
// the device kit's. On any error
// OUTPUT.exe is left as it was (host_folder.h).
//
// Exit code: 0, the image was written; 1, it was not (one line says why);
// 2, bad usage.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string_view>

#include <CLI/CLI.hpp>

#include "device/call_names.h"
#include "formats/host_file.h"
#include "formats/host_folder.h"
#include "formats/wince_image.h"

namespace {

constexpr int kExitNotWritten = 1;
constexpr int kExitUsage = 2;

// The largest ELF file read: far more than an image of the 32 MiB process
// slot with its symbols and debugging sections needs.
constexpr size_t kLargestElf = 64u << 20;

// Both are escaped: the file is named on the command line, and the reason
// may quote names from the ELF file.
int NotWritten(const std::string& file, const std::string& reason)
{
    std::cerr << "elf-to-wince: " << host::Printable(file) << ": " << host::Printable(reason) << "\n";
    return kExitNotWritten;
}

// The image replaces OUTPUT.exe whole or not at all; a link there is
// replaced, never followed.
bool WriteOutput(const std::string& output, const pe::Bytes& image, std::string& error)
{
    const std::filesystem::path path(output);
    host::Folder folder;
    if (!host::Folder::Open(path.has_parent_path() ? path.parent_path() : ".", folder)) {
        error = std::string("cannot open its folder: ") + std::strerror(errno);
        return false;
    }
    const std::string_view bytes(reinterpret_cast<const char*>(image.data()), image.size());
    return host::ReplaceFile(folder, path.filename().string(), bytes, host::AtLink::Replace, error);
}

int Convert(const std::string& input, const std::string& output, device_calls::Tier tier)
{
    std::string bytes;
    elf::ElfFile elf;
    pe::Bytes image;
    std::string error;
    if (!host::ReadRegularFile(AT_FDCWD, input, kLargestElf, host::Links::Follow, bytes, error) ||
        !elf::ReadElfFile(std::vector<uint8_t>(bytes.begin(), bytes.end()), elf, error) ||
        !wince::MakeWinceImage(elf, device_calls::CallNames(tier), image, error))
        return NotWritten(input, error);
    if (!WriteOutput(output, image, error)) return NotWritten(output, error);
    return 0;
}

int Main(int argc, char** argv)
{
    CLI::App app{"Writes the Pocket PC executable from the linked ARM ELF file.", "elf-to-wince"};
    std::string calls = "uninstaller", input, output;
    app.add_option("--calls", calls, "The device calls the image may import: the uninstaller's, its trace build's "
                                     "or the device kit's")
        ->check(CLI::IsMember({"uninstaller", "trace", "kit"}));
    app.add_option("INPUT.elf", input)->required();
    app.add_option("OUTPUT.exe", output)->required();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help
        std::cerr << "usage: elf-to-wince [--calls uninstaller|trace|kit] INPUT.elf OUTPUT.exe\n";
        return kExitUsage;
    }
    const device_calls::Tier tier = calls == "trace" ? device_calls::Trace
                                    : calls == "kit" ? device_calls::Kit
                                                     : device_calls::Uninstaller;
    // The last resort: whatever the input, one line and the documented code.
    try {
        return Convert(input, output, tier);
    } catch (const std::exception& e) {
        return NotWritten(input, std::string("cannot be converted: ") + e.what());
    } catch (...) {
        return NotWritten(input, "cannot be converted");
    }
}

}  // namespace

int main(int argc, char** argv)
{
    // Thrown outside the conversion (the command line's set-up, a message not made): nothing was written.
    try {
        return Main(argc, argv);
    } catch (...) {
        (void)std::fputs("elf-to-wince: internal error: nothing was written\n", stderr);
        return kExitNotWritten;
    }
}
