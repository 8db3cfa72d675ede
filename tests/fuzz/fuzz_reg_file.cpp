// The .reg reader: any bytes. A file it refuses must come with a reason; a
// file it accepts must be written back by FormatRegFile into a file that
// reads back to the same registry, encoding and line ends, and is written
// back the same again.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "formats/reg_file.h"

namespace {

[[noreturn]] void Broken(const std::string& what)
{
    std::fprintf(stderr, "reg file fuzz: %s\n", what.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    formats::RegFile read;
    formats::RegFileError error;
    if (!formats::ParseRegFile(bytes, "fuzz.reg", read, error)) {
        if (error.reason.empty() || error.file != "fuzz.reg") Broken("refused without a reason");
        return 0;
    }
    const std::string written = formats::FormatRegFile(read);
    formats::RegFile again;
    if (!formats::ParseRegFile(written, "written.reg", again, error))
        Broken("what FormatRegFile wrote is refused: " + error.Message());
    if (again.keys != read.keys) Broken("the registry changed on the way back");
    if (again.encoding != read.encoding || again.crlf != read.crlf) Broken("encoding or line ends changed");
    if (formats::FormatRegFile(again) != written) Broken("written twice, two different files");
    return 0;
}
