// A device image of the simulated device laid into a Wine prefix as it is:
// registry.reg imported (as UTF-16LE), files/ copied to drive C, with the
// device's Startup, Programs and temporary folders laid onto the folders
// Wine's API returns, read-only files kept read-only, files the device
// holds open held open by the driver. The shared scenarios and the trace
// build's tests play a scenario's image this way.
#ifndef TRQ_TESTS_WINE_WINE_IMAGE_H
#define TRQ_TESTS_WINE_WINE_IMAGE_H

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "formats/device_ini.h"
#include "platform/sim/device_image.h"
#include "tests/wine/wine_prefix.h"

namespace trq::wine {

// What a device image held before the simulated device played on it: all
// that is needed to lay the same image into a prefix.
struct ImageCopy {
    std::string regFile;  // UTF-16LE with a BOM, CRLF: as "wine reg import" reads it
    struct File {
        std::u16string path;
        std::string contents;
        bool readOnly = false;
    };
    std::vector<File> files;
    std::vector<std::u16string> folders;  // every folder, so empty ones exist too
    formats::DeviceConfig config;
};

ImageCopy CopyImage(const sim::DeviceImage& image);

// Device paths as Windows paths in the prefix: the device's special folders
// become Wine's, everything else lands on C:.
class PathMap {
public:
    PathMap(const formats::DeviceConfig& device, const WineFolders& wine);
    std::string Windows(std::u16string_view devicePath) const;

private:
    struct Folder {
        std::vector<std::u16string> parts;
        std::string windows;  // no separator at the end
    };
    std::vector<Folder> folders_;
};

// The run that lays image into a prefix (its registry written to regFile
// for the import) and answers the question boxes with answers (IDYES, IDNO,
// IDCANCEL), in order.
WineScenario ImageRun(const ImageCopy& image, const PathMap& paths, const std::filesystem::path& regFile,
                      const std::vector<int>& answers);

}  // namespace trq::wine

#endif
