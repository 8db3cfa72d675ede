#include "tests/wine/wine_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "device/device.h"
#include "formats/device_path.h"
#include "formats/reg_file.h"
#include "formats/text.h"
#include "platform/sim/device_files.h"

namespace trq::wine {

namespace fs = std::filesystem;

ImageCopy CopyImage(const sim::DeviceImage& image)
{
    ImageCopy copy;
    sim::DeviceImage onDisk;
    std::string error;
    EXPECT_TRUE(sim::LoadDeviceImage(image.dir, onDisk, error)) << error;
    formats::RegFile reg = std::move(onDisk.registry);
    reg.encoding = formats::TextEncoding::Utf16LeBom;
    reg.crlf = true;
    copy.regFile = formats::FormatRegFile(reg);

    const sim::DeviceFiles files = image.Files();
    for (const std::u16string& path : files.List()) {
        if (!path.empty() && path.back() == u'\\') {
            copy.folders.push_back(path);
            continue;
        }
        fs::path host = files.Resolve(path);
        std::ifstream in(host, std::ios::binary);
        std::ostringstream contents;
        contents << in.rdbuf();
        bool readOnly = (fs::status(host).permissions() & fs::perms::owner_write) == fs::perms::none;
        copy.files.push_back({path, contents.str(), readOnly});
    }
    copy.config = image.config;
    return copy;
}

PathMap::PathMap(const formats::DeviceConfig& device, const WineFolders& wine)
{
    const std::pair<const std::u16string*, const WineFolder*> folders[] = {
        {&device.startup, &wine.startup}, {&device.programs, &wine.programs}, {&device.temp, &wine.temp}};
    for (const auto& [from, to] : folders) {
        Folder folder;
        if (from->empty() || !formats::SplitDevicePath(*from, folder.parts)) continue;
        folder.windows = to->windows;
        while (!folder.windows.empty() && folder.windows.back() == '\\') folder.windows.pop_back();
        folders_.push_back(folder);
    }
    // The deepest folder first, should one lie inside another.
    std::stable_sort(folders_.begin(), folders_.end(),
                     [](const Folder& a, const Folder& b) { return a.parts.size() > b.parts.size(); });
}

std::string PathMap::Windows(std::u16string_view devicePath) const
{
    std::vector<std::u16string> parts;
    EXPECT_TRUE(formats::SplitDevicePath(devicePath, parts)) << formats::Utf16ToUtf8Lossy(devicePath);
    std::string path = "C:";
    std::size_t from = 0;
    for (const Folder& folder : folders_) {
        if (folder.parts.size() > parts.size()) continue;
        if (!std::equal(folder.parts.begin(), folder.parts.end(), parts.begin(),
                        [](const std::u16string& a, const std::u16string& b) {
                            return formats::EqualsIgnoreCase(a, b);
                        }))
            continue;
        path = folder.windows;
        from = folder.parts.size();
        break;
    }
    for (std::size_t i = from; i < parts.size(); ++i) path += "\\" + formats::Utf16ToUtf8Lossy(parts[i]);
    return path == "C:" ? "C:\\" : path;
}

WineScenario ImageRun(const ImageCopy& image, const PathMap& paths, const fs::path& regFile,
                      const std::vector<int>& answers)
{
    std::ofstream(regFile, std::ios::binary | std::ios::trunc) << image.regFile;
    WineScenario run;
    run.regFile = regFile;
    for (const std::u16string& folder : image.folders) run.directories.push_back(paths.Windows(folder));
    for (const ImageCopy::File& file : image.files)
        run.files.push_back({paths.Windows(file.path), file.contents, file.readOnly});
    for (const std::u16string& held : image.config.heldOpen) run.holdOpen.push_back(paths.Windows(held));
    for (const formats::RunningProgram& program : image.config.running) {
        run.runPrograms.push_back(paths.Windows(program.program));
        for (const std::u16string& held : program.files) run.holdOpen.push_back(paths.Windows(held));
    }
    for (const formats::DeviceHold& held : image.config.heldByDevice)
        run.holdOpen.push_back(paths.Windows(held.path));
    for (int answer : answers)
        run.answers.push_back(answer == IDYES  ? WineAnswer::Yes
                              : answer == IDNO ? WineAnswer::No
                                               : WineAnswer::Cancel);
    return run;
}

}  // namespace trq::wine
