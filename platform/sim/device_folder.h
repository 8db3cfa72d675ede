// The folder of a device image, open once. Everything in it is reached from
// that descriptor and never through a symbolic link: registry.reg,
// device.ini, files/ and every name below files/. Only the folder itself,
// the one the user named, is looked up by its path.
//
// The device's own files are replaced atomically: a temporary file of an
// unpredictable name is created exclusively beside them, written, synced,
// renamed over them, and the folder synced. A temporary file a killed
// command left is removed the next time the device is tidied.
#ifndef TRQ_SIM_DEVICE_FOLDER_H
#define TRQ_SIM_DEVICE_FOLDER_H

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "formats/host_folder.h"

namespace sim {

// The names in a device folder.
constexpr char kRegistryFile[] = "registry.reg";
constexpr char kConfigFile[] = "device.ini";
constexpr char kFilesFolder[] = "files";
// Names the folder below files/ whose owner-write bit is lent while one
// deletion in it lasts (device_files.h), so that a killed command's loan is
// taken back at the next start.
constexpr char kWriteLentFile[] = ".write-lent";

// Reads the device file `name` (registry.reg, device.ini): a regular file of
// at most limit bytes, not a link. missing, when given, is set for a name
// that is not there at all.
// error holds the reason only; the caller names the file.
bool ReadDeviceFile(const host::Folder& device, const std::string& name, size_t limit,
                    std::string& bytes, std::string& error, bool* missing = nullptr);

// Replaces the device file `name` with bytes, atomically, keeping the
// permissions of the file it replaces (new files get 0666 less the umask).
// A `name` that is a link or not a regular file is refused, never replaced.
bool ReplaceDeviceFile(const host::Folder& device, const std::string& name, std::string_view bytes,
                       std::string& error, bool killSteps = true);

// Whether a command could write the device: a temporary file is created in
// the folder and removed again, and files/ is writable or ours to lend
// write permission to. error holds the reason.
bool CheckDeviceWritable(const host::Folder& device, std::string& error);

// Removes the temporary files a killed command left in the device folder.
void RemoveStaleTemporaries(const host::Folder& device);

// Whether the host folder open as folderFd is the device folder or lies
// below it, however it was reached (a path through a link, a bind mount):
// it and each of its parents in turn are compared with the device folder by
// device and inode number. False with error when a parent cannot be looked
// at; inside is then unknown.
bool FolderInDevice(const host::Folder& device, int folderFd, bool& inside, std::string& error);

// Whether the host file file (as fstat gave it) is one of the device's own
// files under another name: a hard link to registry.reg, device.ini, the
// lock or a file below files/. A file of one name whose folder lies outside
// the device (FolderInDevice) is none, and is told so without a look.
bool FileOfDevice(const host::Folder& device, const struct stat& file);

}  // namespace sim

#endif
