// A simulated device on the host: a folder anyone can make, read and diff.
//
//   DIR/registry.reg   the registry, a regedit export
//   DIR/files/         the device's file system
//   DIR/device.ini     special folders and files held open (optional)
//
// The folder is opened once; everything in it is reached from there, never
// through a symbolic link (device_folder.h).
//
// A device image can also live in memory, for runs that need no disk (the
// fuzzers): its files are a tree in memory (memory_files.h), it has no
// folder, and saving it writes nothing, there being nothing to write back.
#ifndef TRQ_SIM_DEVICE_IMAGE_H
#define TRQ_SIM_DEVICE_IMAGE_H

#include <filesystem>
#include <optional>
#include <string>

#include "formats/device_ini.h"
#include "formats/reg_file.h"
#include "platform/sim/device_files.h"
#include "platform/sim/device_folder.h"

namespace sim {

using formats::DeviceConfig;
using formats::FormattedRegFileSize;
using formats::RegFile;

struct DeviceImage {
    std::filesystem::path dir;  // empty in memory
    RegFile registry;
    DeviceConfig config;

    // An image in memory with an empty registry, the default device.ini and
    // no files.
    static DeviceImage InMemory();
    // An image in memory holding what this one holds now, apart from it:
    // what a run changes in one the other does not see. nullopt with error
    // when a file of its files/ cannot be read.
    std::optional<DeviceImage> CopyInMemory(std::string& error) const;
    bool OnDisk() const { return !files_; }

    std::filesystem::path RegistryPath() const { return dir / kRegistryFile; }
    std::filesystem::path ConfigPath() const { return dir / kConfigFile; }
    // The folder dir, open; opened at first use when the image was not loaded.
    const host::Folder& Folder() const;
    // The device's files: files/ of dir, or the image's tree in memory. Every
    // handle reaches the same files.
    DeviceFiles Files() const { return files_ ? *files_ : DeviceFiles(Folder(), dir / kFilesFolder); }
    // Makes room for writing registry.reg back, so that a run that changes
    // the device needs no more memory for it afterwards: the uninstaller
    // only takes keys away, so what it writes is never longer than the
    // registry now. (A program that adds keys, the device kit, may need
    // more, within what registry.reg may hold: services.h.)
    // Throws std::bad_alloc, before anything has changed, when the memory is
    // not there.
    void ReserveRegistryWrite() const { registryText_.reserve(FormattedRegFileSize(registry)); }

private:
    mutable host::Folder folder_;
    std::optional<DeviceFiles> files_;  // set in memory
    mutable std::string registryText_;  // registry.reg as last written back
    friend bool SaveRegistry(const DeviceImage&, std::string&, bool);
    friend bool LoadDeviceImage(const host::Folder&, const std::filesystem::path&, DeviceImage&, std::string&);
};

// Reads a device image; on failure error says which file and why, and
// nothing has been changed. registry.reg, device.ini and files/ must not be
// links, and the two files must be regular files within their limits
// (kMaxRegFileBytes, kMaxDeviceIniBytes).
bool LoadDeviceImage(const std::filesystem::path& dir, DeviceImage& out, std::string& error);
// The same, from the device folder already open as folder (dir names it).
bool LoadDeviceImage(const host::Folder& folder, const std::filesystem::path& dir, DeviceImage& out,
                     std::string& error);

// Opens the device folder dir; error says why it is none.
bool OpenDeviceFolder(const std::filesystem::path& dir, host::Folder& folder, std::string& error);

// What a command that changes the device does first, under the lock: the
// temporary files a killed command left are removed, and write permission
// it had lent to a read-only folder is taken back.
bool TidyDevice(const host::Folder& folder, const std::filesystem::path& dir, std::string& error);

// Write back the registry or device.ini, each atomically. error names the
// file and the cause. An image in memory has nothing to write back: true.
// killSteps: each stage of the replacement is a step of the kill test
// (kill_step.h); a run that keeps its registry as it goes writes it without.
bool SaveRegistry(const DeviceImage& image, std::string& error, bool killSteps = true);
bool SaveConfig(const DeviceImage& image, std::string& error);

}  // namespace sim

#endif
