#include "platform/sim/device_image.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace sim {

using formats::FormatDeviceIniChecked;
using formats::FormatRegFile;
using formats::ParseDeviceIni;
using formats::ParseRegFile;
using formats::RegFileError;
using formats::kMaxDeviceIniBytes;
using formats::kMaxRegFileBytes;

namespace {

// files/ must be a folder of the image, not a link to one elsewhere.
bool CheckFilesFolder(const host::Folder& folder, const std::filesystem::path& dir, std::string& error)
{
    struct stat st;
    const std::string name = (dir / kFilesFolder).string();
    if (::fstatat(folder.Fd(), kFilesFolder, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        error = name + ": missing (the device's file system)";
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        error = name + ": a symbolic link (not followed)";
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = name + ": not a folder (the device's file system)";
        return false;
    }
    return true;
}

}  // namespace

DeviceImage DeviceImage::InMemory()
{
    DeviceImage image;
    image.files_ = DeviceFiles::InMemory();
    return image;
}

std::optional<DeviceImage> DeviceImage::CopyInMemory(std::string& error) const
{
    std::optional<DeviceFiles> files = Files().CopyInMemory(error);
    if (!files) return std::nullopt;
    DeviceImage copy;
    copy.registry.keys = registry.keys.Copy();
    copy.registry.encoding = registry.encoding;
    copy.registry.crlf = registry.crlf;
    copy.config = config;
    copy.files_ = std::move(files);
    return copy;
}

const host::Folder& DeviceImage::Folder() const
{
    if (!folder_) host::Folder::Open(dir, folder_);
    return folder_;
}

bool OpenDeviceFolder(const std::filesystem::path& dir, host::Folder& folder, std::string& error)
{
    if (host::Folder::Open(dir, folder)) return true;
    error = dir.string() + ": not a device image folder (" + std::strerror(errno) + ")";
    return false;
}

bool LoadDeviceImage(const std::filesystem::path& dir, DeviceImage& out, std::string& error)
{
    host::Folder folder;
    return OpenDeviceFolder(dir, folder, error) && LoadDeviceImage(folder, dir, out, error);
}

bool LoadDeviceImage(const host::Folder& folder, const std::filesystem::path& dir, DeviceImage& out,
                     std::string& error)
{
    DeviceImage image;
    image.dir = dir;
    image.folder_ = folder;
    if (!CheckFilesFolder(folder, dir, error)) return false;

    std::string bytes, reason;
    if (!ReadDeviceFile(folder, kRegistryFile, kMaxRegFileBytes, bytes, reason)) {
        error = image.RegistryPath().string() + ": " + reason;
        return false;
    }
    RegFileError regError;
    if (!ParseRegFile(bytes, image.RegistryPath().string(), image.registry, regError)) {
        error = regError.Message();
        return false;
    }
    bool missing = false;
    if (ReadDeviceFile(folder, kConfigFile, kMaxDeviceIniBytes, bytes, reason, &missing)) {
        if (!ParseDeviceIni(bytes, image.config, error)) return false;
    } else if (!missing) {
        error = image.ConfigPath().string() + ": " + reason;
        return false;
    }
    out = std::move(image);
    return true;
}

bool TidyDevice(const host::Folder& folder, const std::filesystem::path& dir, std::string& error)
{
    RemoveStaleTemporaries(folder);
    struct stat st;
    if (::fstatat(folder.Fd(), kFilesFolder, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode))
        return true;  // the load refuses it
    return DeviceFiles(folder, dir / kFilesFolder).TakeBackLentWrite(error);
}

bool SaveRegistry(const DeviceImage& image, std::string& error, bool killSteps)
{
    if (!image.OnDisk()) return true;
    std::string reason;
    FormatRegFile(image.registry, image.registryText_);
    if (ReplaceDeviceFile(image.Folder(), kRegistryFile, image.registryText_, reason, killSteps)) return true;
    error = image.RegistryPath().string() + ": " + reason;
    return false;
}

bool SaveConfig(const DeviceImage& image, std::string& error)
{
    if (!image.OnDisk()) return true;
    std::string text;
    if (!FormatDeviceIniChecked(image.config, text, error)) return false;
    std::string reason;
    if (ReplaceDeviceFile(image.Folder(), kConfigFile, text, reason)) return true;
    error = image.ConfigPath().string() + ": " + reason;
    return false;
}

}  // namespace sim
