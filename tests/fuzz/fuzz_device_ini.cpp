// device.ini: any bytes. A file it refuses must come with a "device.ini:LINE:"
// reason and leave the configuration alone; a file it accepts must be written
// back by FormatDeviceIni into a file that reads back the same, and every
// file it names as held open (that a device path can name) must then count
// as held open.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "formats/device_ini.h"
#include "formats/text.h"
#include "platform/sim/device_files.h"

namespace {

[[noreturn]] void Broken(const std::string& what)
{
    std::fprintf(stderr, "device.ini fuzz: %s\n", what.c_str());
    std::abort();
}

bool Same(const formats::DeviceConfig& a, const formats::DeviceConfig& b)
{
    return a.startup == b.startup && a.programs == b.programs && a.temp == b.temp &&
           a.heldOpen == b.heldOpen && a.heldByDevice == b.heldByDevice;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    formats::DeviceConfig config;
    config.heldOpen.push_back(u"\\Untouched");  // a refused file leaves this as it is
    const formats::DeviceConfig before = config;
    std::string error;
    if (!formats::ParseDeviceIni(text, config, error)) {
        if (error.rfind("device.ini:", 0) != 0) Broken("refused without a line: " + error);
        if (!Same(config, before)) Broken("a refused file changed the configuration");
        return 0;
    }
    const std::string written = formats::FormatDeviceIni(config);
    formats::DeviceConfig again;
    if (!formats::ParseDeviceIni(written, again, error))
        Broken("what FormatDeviceIni wrote is refused: " + error);
    if (!Same(again, config)) Broken("the configuration changed on the way back");
    if (formats::FormatDeviceIni(again) != written) Broken("written twice, two different files");
    std::vector<std::u16string> parts;
    auto namesFile = [&parts](const std::u16string& path) {
        return formats::SplitDevicePath(path, parts) && !parts.empty();
    };
    for (const std::u16string& path : config.heldOpen)
        if (namesFile(path) && !config.IsHeldOpen(path))
            Broken("[HeldOpen] " + formats::Utf16ToUtf8Lossy(path) + " does not count as held open");
    for (const formats::DeviceHold& hold : config.heldByDevice)
        if (namesFile(hold.path) && !config.IsHeldOpen(hold.path))
            Broken("[HeldByDevice] " + formats::Utf16ToUtf8Lossy(hold.path) + " does not count as held open");
    return 0;
}
