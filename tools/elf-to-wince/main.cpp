// elf-to-wince: writes the Pocket PC executable from the linked ARM ELF file.
//
//   elf-to-wince INPUT.elf OUTPUT.exe
//
// No linker here writes Windows CE images for ARM, so the build links an ELF
// file at the addresses a Pocket PC loads the executable at
// (platform/wince/pocketpc.ld) and this tool lays it out as a PE image. The
// image may import only the device calls of platform/device.h. On any error
// OUTPUT.exe is left as it was: the image is written to a temporary file
// beside it and renamed into place.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>

#include "tools/elf-to-wince/wince_image.h"

namespace {

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = std::strerror(errno);
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool WriteAtomically(const std::string& path, const pe::Bytes& bytes, std::string& error)
{
    const std::string temporary = path + ".tmp." + std::to_string(getpid());
    std::FILE* out = std::fopen(temporary.c_str(), "wb");
    bool ok = out && std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    if (out) ok = std::fclose(out) == 0 && ok;
    if (ok && std::rename(temporary.c_str(), path.c_str()) == 0) return true;
    error = std::strerror(errno);
    std::remove(temporary.c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: elf-to-wince INPUT.elf OUTPUT.exe\n";
        return 2;
    }
    const std::string input = argv[1], output = argv[2];
    std::vector<uint8_t> elfBytes;
    wince::ElfFile elf;
    pe::Bytes image;
    std::string error;
    if (!ReadFile(input, elfBytes, error) || !wince::ReadElfFile(elfBytes, elf, error) ||
        !wince::MakeWinceImage(elf, wince::DeviceCallNames(), image, error)) {
        std::cerr << "elf-to-wince: " << input << ": " << error << "\n";
        return 1;
    }
    if (!WriteAtomically(output, image, error)) {
        std::cerr << "elf-to-wince: " << output << ": " << error << "\n";
        return 1;
    }
    return 0;
}
