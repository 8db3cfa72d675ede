#include "platform/sim/disk_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <cstring>

#include "device/device.h"
#include "formats/device_path.h"
#include "formats/host_file.h"
#include "formats/text.h"
#include "platform/sim/kill_step.h"
#include "platform/sim/memory_files.h"

namespace sim {

using formats::EqualsIgnoreCase;
using formats::IsValidName;
using formats::SplitDevicePath;
using formats::Utf16ToUtf8;
using formats::Utf8ToUtf16;

namespace {


// fstatat without following a link.
bool EntryStatus(const host::Folder& dir, const std::string& name, struct stat& st)
{
    return ::fstatat(dir.Fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// Looks name up among the entries of the host folder dir, case-insensitively.
// Of several matches the one spelled exactly as asked wins, otherwise the
// first in byte order, so the answer does not depend on the order the host
// lists the folder in. Host names that are not UTF-8 are invisible.
bool MatchEntry(const host::Folder& dir, std::u16string_view name, std::string& hostName,
                std::u16string& deviceName)
{
    bool found = false;
    for (std::string& candidate : dir.Names()) {
        std::optional<std::u16string> wide = Utf8ToUtf16(candidate);
        if (!wide || !EqualsIgnoreCase(*wide, name)) continue;
        if (*wide == name) {
            hostName = std::move(candidate);
            deviceName = std::move(*wide);
            return true;
        }
        if (!found || candidate < hostName) {
            hostName = std::move(candidate);
            deviceName = std::move(*wide);
            found = true;
        }
    }
    return found;
}

// The journal's text for a folder: its host names below files/ joined by
// "/", or "." for files/ itself.
std::string JoinNames(const std::vector<std::string>& names)
{
    if (names.empty()) return ".";
    std::string joined;
    for (const std::string& name : names) joined += (joined.empty() ? "" : "/") + name;
    return joined;
}

// Lends the owner-write bit to the read-only folder dir (names: its host
// names below files/) for the lifetime of this object, named in the device
// folder's .write-lent while it is lent.
class LendWrite {
public:
    LendWrite(const host::Folder& device, const host::Folder& dir, const std::vector<std::string>& names)
        : device_(device), dir_(dir)
    {
        struct stat st;
        if (::fstat(dir_.Fd(), &st) != 0 || !S_ISDIR(st.st_mode) || (st.st_mode & S_IWUSR)) return;
        std::string ignored;
        if (!ReplaceDeviceFile(device_, kWriteLentFile, JoinNames(names), ignored)) return;
        mode_ = st.st_mode & 07777;
        lent_ = ::fchmod(dir_.Fd(), mode_ | S_IWUSR) == 0;
        KillStep();
        if (!lent_) Forget();
    }
    ~LendWrite()
    {
        if (!lent_) return;
        if (::fchmod(dir_.Fd(), mode_) != 0) return;  // still named in .write-lent
        KillStep();
        Forget();
    }
    LendWrite(const LendWrite&) = delete;
    LendWrite& operator=(const LendWrite&) = delete;

private:
    void Forget()
    {
        if (::unlinkat(device_.Fd(), kWriteLentFile, 0) == 0) device_.Sync();
    }
    host::Folder device_;
    host::Folder dir_;
    mode_t mode_ = 0;
    bool lent_ = false;
};

void ListFolder(const host::Folder& dir, std::vector<std::u16string>& prefix,
                std::vector<ListedEntry>& out)
{
    for (const std::string& hostName : dir.Names()) {
        std::optional<std::u16string> name = Utf8ToUtf16(hostName);
        if (!name || !IsValidName(*name)) continue;  // no device path can name it
        struct stat st;
        if (!EntryStatus(dir, hostName, st)) continue;
        const bool folder = S_ISDIR(st.st_mode);
        prefix.push_back(std::move(*name));
        out.push_back({prefix, folder});
        host::Folder sub;
        if (folder && dir.Sub(hostName, sub)) ListFolder(sub, prefix, out);
        prefix.pop_back();
    }
}

}  // namespace

DiskFiles::DiskFiles(const std::filesystem::path& root) : rootName_(root.filename().string()), root_(root)
{
    std::filesystem::path holder = root_.parent_path();
    host::Folder::Open(holder.empty() ? "." : holder, device_);
}

DiskFiles::DiskFiles(host::Folder device, std::filesystem::path root)
    : device_(std::move(device)), rootName_(kFilesFolder), root_(std::move(root))
{
}

bool DiskFiles::OpenRoot(host::Folder& root) const
{
    return device_ && device_.Sub(rootName_, root);
}

uint32_t DiskFiles::Find(std::u16string_view devicePath, Found& found) const
{
    if (devicePath.empty()) return ERROR_PATH_NOT_FOUND;
    std::vector<std::u16string> parts;
    bool trailing = false;
    if (!SplitDevicePath(devicePath, parts, &trailing)) return ERROR_FILE_NOT_FOUND;

    found = Found{};
    found.parent = device_;
    found.name = rootName_;
    found.folder = true;
    found.root = parts.empty();
    host::Folder dir;
    if (!OpenRoot(dir) || ::fstat(dir.Fd(), &found.st) != 0) return ERROR_PATH_NOT_FOUND;
    found.device.assign(found.root ? 1 : 0, u'\\');

    for (size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        const uint32_t missing = last ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
        std::string hostName;
        std::u16string deviceName;
        if (!MatchEntry(dir, parts[i], hostName, deviceName)) return missing;
        struct stat st;
        if (!EntryStatus(dir, hostName, st) || S_ISLNK(st.st_mode)) return missing;
        const bool folder = S_ISDIR(st.st_mode);
        // A file with a second host name may be one outside the image: it is
        // treated like a link, as nothing the device can reach.
        if (!folder && st.st_nlink > 1) return missing;
        if (!last && !folder) return ERROR_PATH_NOT_FOUND;
        found.parent = dir;
        found.name = hostName;
        found.names.push_back(hostName);
        found.device += u'\\';
        found.device += deviceName;
        found.folder = folder;
        found.st = st;
        if (!last && !dir.Sub(hostName, dir)) return ERROR_PATH_NOT_FOUND;
    }
    // "\Windows\TRQ.exe\" names a folder that is not there.
    if (trailing && !found.folder) return ERROR_FILE_NOT_FOUND;
    return 0;
}

uint32_t DiskFiles::DeleteFile(std::u16string_view devicePath)
{
    Found found;
    if (uint32_t error = Find(devicePath, found)) return error;
    if (found.folder) return ERROR_ACCESS_DENIED;
    if (!(found.st.st_mode & S_IWUSR)) return ERROR_ACCESS_DENIED;
    std::vector<std::string> parentNames(found.names.begin(), found.names.end() - 1);
    LendWrite lend(device_, found.parent, parentNames);
    if (::unlinkat(found.parent.Fd(), found.name.c_str(), 0) != 0)
        return errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
    return 0;
}

uint32_t DiskFiles::RemoveDirectory(std::u16string_view devicePath)
{
    Found found;
    if (uint32_t error = Find(devicePath, found)) return error;
    if (found.root) return ERROR_ACCESS_DENIED;
    if (!found.folder) return ERROR_DIRECTORY;
    // As on Windows, a read-only folder is not removed.
    if (!(found.st.st_mode & S_IWUSR)) return ERROR_ACCESS_DENIED;
    host::Folder folder;
    if (!found.parent.Sub(found.name, folder)) return ERROR_ACCESS_DENIED;
    if (!folder.Names().empty()) return ERROR_DIR_NOT_EMPTY;
    std::vector<std::string> parentNames(found.names.begin(), found.names.end() - 1);
    LendWrite lend(device_, found.parent, parentNames);
    if (::unlinkat(found.parent.Fd(), found.name.c_str(), AT_REMOVEDIR) != 0) {
        if (errno == ENOTEMPTY || errno == EEXIST) return ERROR_DIR_NOT_EMPTY;
        return errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
    }
    return 0;
}

uint32_t DiskFiles::SetAttributes(std::u16string_view devicePath, uint32_t attributes)
{
    Found found;
    if (uint32_t error = Find(devicePath, found)) return error;
    if (found.root) return ERROR_ACCESS_DENIED;
    const mode_t mode = found.st.st_mode & 07777;
    const mode_t wanted = (attributes & FILE_ATTRIBUTE_READONLY) ? (mode & ~S_IWUSR) : (mode | S_IWUSR);
    if (wanted == mode) return 0;
    // A link put in its place since is refused (EOPNOTSUPP), never followed.
    if (::fchmodat(found.parent.Fd(), found.name.c_str(), wanted, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT || errno == EOPNOTSUPP ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
    return 0;
}

FileKind DiskFiles::KindOf(std::u16string_view devicePath, std::u16string* canonical) const
{
    Found found;
    if (Find(devicePath, found) != 0) return FileKind::None;
    if (canonical) *canonical = found.device;
    if (found.folder) return FileKind::Folder;
    return S_ISREG(found.st.st_mode) ? FileKind::File : FileKind::Other;
}

std::filesystem::path DiskFiles::Resolve(std::u16string_view devicePath) const
{
    Found found;
    if (Find(devicePath, found) != 0) return {};
    std::filesystem::path host = root_;
    for (const std::string& name : found.names) host /= name;
    return host;
}

std::vector<std::u16string> DiskFiles::Names(std::u16string_view folderPath) const
{
    std::vector<std::u16string> names;
    Found found;
    host::Folder folder;
    if (Find(folderPath, found) != 0 || !found.folder) return names;
    if (found.root ? !OpenRoot(folder) : !found.parent.Sub(found.name, folder)) return names;
    for (const std::string& hostName : folder.Names())
        if (std::optional<std::u16string> name = Utf8ToUtf16(hostName)) names.push_back(std::move(*name));
    return names;
}

bool DiskFiles::ReadHead(std::u16string_view devicePath, size_t limit, std::string& bytes) const
{
    Found found;
    if (Find(devicePath, found) != 0 || found.folder) return false;
    const int fd = ::openat(found.parent.Fd(), found.name.c_str(),
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    bytes.assign(ok ? limit : 0, '\0');
    size_t done = 0;
    while (ok && done < limit) {
        const ssize_t n = ::read(fd, bytes.data() + done, limit - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        done += static_cast<size_t>(n);
    }
    bytes.resize(done);
    ::close(fd);
    return ok;
}

std::vector<std::u16string> DiskFiles::List() const
{
    std::vector<ListedEntry> entries;
    std::vector<std::u16string> prefix;
    host::Folder root;
    if (OpenRoot(root)) ListFolder(root, prefix, entries);
    return SortedDevicePaths(std::move(entries));
}

// Goes down the folders of parts (all but the last name), making those not
// there; dir ends as the last folder, names as its host names.
bool DiskFiles::MakeFolders(const std::vector<std::u16string>& parts, host::Folder& dir,
                              std::vector<std::string>& names)
{
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        std::string hostName;
        std::u16string deviceName;
        if (!MatchEntry(dir, parts[i], hostName, deviceName)) {
            std::optional<std::string> name = Utf16ToUtf8(parts[i]);
            if (!name) return false;
            hostName = *name;
            LendWrite lend(device_, dir, names);
            if (::mkdirat(dir.Fd(), hostName.c_str(), 0777) != 0) return false;
        }
        if (!dir.Sub(hostName, dir)) return false;
        names.push_back(hostName);
    }
    return true;
}

bool DiskFiles::WriteFile(std::u16string_view devicePath, std::string_view contents,
                            bool readOnly)
{
    std::vector<std::u16string> parts;
    bool trailing = false;
    if (!SplitDevicePath(devicePath, parts, &trailing) || parts.empty() || trailing) return false;

    // The image's files/ folder itself may be new, but never its parents.
    host::Folder dir;
    if (!device_) return false;
    ::mkdirat(device_.Fd(), rootName_.c_str(), 0777);
    std::vector<std::string> names;
    if (!OpenRoot(dir) || !MakeFolders(parts, dir, names)) return false;

    std::string hostName;
    std::u16string deviceName;
    struct stat st;
    if (MatchEntry(dir, parts.back(), hostName, deviceName)) {
        if (!EntryStatus(dir, hostName, st) || !S_ISREG(st.st_mode)) return false;
        if (!(st.st_mode & S_IWUSR) &&
            ::fchmodat(dir.Fd(), hostName.c_str(), (st.st_mode & 07777) | S_IWUSR, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
    } else {
        std::optional<std::string> name = Utf16ToUtf8(parts.back());
        if (!name) return false;
        hostName = *name;
    }
    LendWrite lend(device_, dir, names);
    const int fd = ::openat(dir.Fd(), hostName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool written = host::WriteAll(fd, contents);
    if (written && readOnly)
        written = ::fstat(fd, &st) == 0 && ::fchmod(fd, (st.st_mode & 07777) & ~S_IWUSR) == 0;
    if (::close(fd) != 0) written = false;
    return written;
}

bool DiskFiles::TakeBackLentWrite(std::string& error) const
{
    std::string text;
    bool missing = false;
    if (!ReadDeviceFile(device_, kWriteLentFile, 64 << 10, text, error, &missing)) return missing;
    // The folder named there, if it is still a folder.
    host::Folder dir;
    bool reached = OpenRoot(dir);
    for (size_t at = 0; reached && text != "." && at <= text.size();) {
        size_t slash = text.find('/', at);
        if (slash == std::string::npos) slash = text.size();
        reached = dir.Sub(text.substr(at, slash - at), dir);
        at = slash + 1;
    }
    struct stat st;
    if (reached && ::fstat(dir.Fd(), &st) == 0 && ::fchmod(dir.Fd(), (st.st_mode & 07777) & ~S_IWUSR) != 0) {
        error = "cannot take back the write permission lent to files/" + text + ": " + std::strerror(errno);
        return false;
    }
    ::unlinkat(device_.Fd(), kWriteLentFile, 0);
    device_.Sync();
    return true;
}

uint32_t DiskFiles::Look(std::u16string_view devicePath, FileFacts& facts) const
{
    Found found;
    if (uint32_t error = Find(devicePath, found)) return error;
    facts.kind = found.folder ? FileKind::Folder : S_ISREG(found.st.st_mode) ? FileKind::File : FileKind::Other;
    facts.readOnly = !found.root && !(found.st.st_mode & S_IWUSR);
    facts.size = facts.kind == FileKind::File ? static_cast<uint64_t>(found.st.st_size) : 0;
    facts.canonical = found.device;
    return 0;
}

namespace {

// The Win32 error for a failed write on the host.
uint32_t WriteError(int error)
{
    return error == ENOSPC || error == EDQUOT || error == EFBIG ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED;
}

}  // namespace

uint32_t DiskFiles::FindParent(const std::vector<std::u16string>& parts, host::Folder& dir,
                               std::vector<std::string>& names, std::u16string& device) const
{
    std::u16string parent;
    for (size_t i = 0; i + 1 < parts.size(); ++i) parent += u"\\" + parts[i];
    Found found;
    if (Find(parent.empty() ? u"\\" : parent, found) != 0 || !found.folder) return ERROR_PATH_NOT_FOUND;
    if (found.root ? !OpenRoot(dir) : !found.parent.Sub(found.name, dir)) return ERROR_PATH_NOT_FOUND;
    names = found.names;
    device = found.root ? u"" : found.device;
    return 0;
}

int DiskFiles::OpenFile(std::u16string_view devicePath, int flags, uint32_t& error) const
{
    Found found;
    if ((error = Find(devicePath, found)) != 0) return -1;
    error = ERROR_ACCESS_DENIED;
    if (found.folder || !S_ISREG(found.st.st_mode)) return -1;
    const int fd = ::openat(found.parent.Fd(), found.name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink > 1) {
        ::close(fd);
        return -1;
    }
    error = 0;
    return fd;
}

uint32_t DiskFiles::FindPlace(std::u16string_view devicePath, bool file, Place& place) const
{
    std::vector<std::u16string> parts;
    bool trailing = false;
    if (!SplitDevicePath(devicePath, parts, &trailing) || (file && (parts.empty() || trailing))) return ERROR_INVALID_NAME;
    if (parts.empty()) return ERROR_ALREADY_EXISTS;
    if (uint32_t error = FindParent(parts, place.dir, place.names, place.parent)) return error;
    std::string takenHostName;
    place.taken = MatchEntry(place.dir, parts.back(), takenHostName, place.deviceName);
    if (place.taken) {
        place.name = std::move(takenHostName);
        return 0;
    }
    std::optional<std::string> name = Utf16ToUtf8(parts.back());
    if (!name) return ERROR_INVALID_NAME;
    place.name = std::move(*name);
    place.deviceName = parts.back();
    return 0;
}

uint32_t DiskFiles::CreateFile(std::u16string_view devicePath, bool truncate, std::u16string& canonical)
{
    Place place;
    if (uint32_t error = FindPlace(devicePath, true, place)) return error;
    if (place.taken) {
        struct stat st;
        if (!EntryStatus(place.dir, place.name, st) || !S_ISREG(st.st_mode) || st.st_nlink > 1)
            return ERROR_ACCESS_DENIED;
        canonical = place.parent + u"\\" + place.deviceName;
        if (!truncate) return 0;
        if (!(st.st_mode & S_IWUSR)) return ERROR_ACCESS_DENIED;
        uint32_t error = 0;
        const int fd = OpenFile(canonical, O_WRONLY, error);
        if (fd < 0) return error;
        error = ::ftruncate(fd, 0) == 0 ? 0 : WriteError(errno);
        ::close(fd);
        return error;
    }
    LendWrite lend(device_, place.dir, place.names);
    const int fd = ::openat(place.dir.Fd(), place.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return errno == EEXIST ? ERROR_ACCESS_DENIED : WriteError(errno);
    ::close(fd);
    canonical = place.parent + u"\\" + place.deviceName;
    return 0;
}

uint32_t DiskFiles::WriteAt(std::u16string_view devicePath, uint64_t offset, std::string_view bytes)
{
    FileFacts facts;
    if (uint32_t error = Look(devicePath, facts)) return error;
    if (facts.kind != FileKind::File || facts.readOnly) return ERROR_ACCESS_DENIED;
    uint32_t error = 0;
    const int fd = OpenFile(devicePath, O_WRONLY, error);
    if (fd < 0) return error;
    for (size_t done = 0; done < bytes.size() && !error;) {
        const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) error = WriteError(n < 0 ? errno : ENOSPC);
        else done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0 && !error) error = WriteError(errno);
    return error;
}

uint32_t DiskFiles::ReadAt(std::u16string_view devicePath, uint64_t offset, size_t limit, std::string& bytes) const
{
    uint32_t error = 0;
    const int fd = OpenFile(devicePath, O_RDONLY, error);
    if (fd < 0) return error;
    struct stat st;
    if (::fstat(fd, &st) == 0)
        limit = static_cast<uint64_t>(st.st_size) > offset ? std::min<uint64_t>(limit, st.st_size - offset) : 0;
    bytes.assign(limit, '\0');
    size_t done = 0;
    while (done < limit) {
        const ssize_t n = ::pread(fd, bytes.data() + done, limit - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = ERROR_ACCESS_DENIED;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    bytes.resize(done);
    ::close(fd);
    return error;
}

uint32_t DiskFiles::CreateFolder(std::u16string_view devicePath)
{
    Place place;
    if (uint32_t error = FindPlace(devicePath, false, place)) return error;
    if (place.taken) return ERROR_ALREADY_EXISTS;
    LendWrite lend(device_, place.dir, place.names);
    if (::mkdirat(place.dir.Fd(), place.name.c_str(), 0777) != 0)
        return errno == EEXIST ? ERROR_ALREADY_EXISTS : WriteError(errno);
    return 0;
}

uint32_t DiskFiles::Move(std::u16string_view from, std::u16string_view to)
{
    Found found;
    if (uint32_t error = Find(from, found)) return error;
    if (found.root) return ERROR_ACCESS_DENIED;
    Place place;
    if (uint32_t error = FindPlace(to, false, place)) return error;
    if (place.taken) return ERROR_ALREADY_EXISTS;
    std::vector<std::string> fromNames(found.names.begin(), found.names.end() - 1);
    LendWrite lendFrom(device_, found.parent, fromNames);
    LendWrite lendTo(device_, place.dir, place.names);
    // One step, never over an entry of that name (a folder moved below
    // itself is EINVAL).
    if (::renameat2(found.parent.Fd(), found.name.c_str(), place.dir.Fd(), place.name.c_str(), RENAME_NOREPLACE) != 0)
        return errno == EEXIST ? ERROR_ALREADY_EXISTS : errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
    return 0;
}

namespace {

// The largest file a copy in memory takes.
constexpr size_t kMaxFileInMemory = size_t(64) << 20;

// Copies the entries of the host folder dir (where: its host path, for
// messages) into the memory folder into.
bool CopyFolder(const host::Folder& dir, const std::filesystem::path& where, MemoryFiles::Node& into,
                std::string& error)
{
    using Type = MemoryFiles::Node::Type;
    for (std::string& hostName : dir.Names()) {
        struct stat st;
        if (!EntryStatus(dir, hostName, st)) continue;  // gone since it was listed
        MemoryFiles::Node entry;
        entry.name = Utf8ToUtf16(hostName);
        entry.readOnly = !(st.st_mode & S_IWUSR);
        host::Folder sub;
        if (S_ISDIR(st.st_mode)) {
            entry.type = Type::Folder;
            if (dir.Sub(hostName, sub) && !CopyFolder(sub, where / hostName, entry, error)) return false;
        } else if (S_ISLNK(st.st_mode) || (S_ISREG(st.st_mode) && st.st_nlink > 1)) {
            entry.type = Type::Unreachable;
        } else if (S_ISREG(st.st_mode)) {
            entry.type = Type::File;
            std::string reason;
            if (!host::ReadRegularFile(dir.Fd(), hostName, kMaxFileInMemory, host::Links::Refuse, entry.contents,
                                       reason)) {
                error = (where / hostName).string() + ": " + reason;
                return false;
            }
        } else {
            entry.type = Type::Other;
        }
        entry.hostName = std::move(hostName);
        into.entries.push_back(std::move(entry));
    }
    std::sort(into.entries.begin(), into.entries.end(),
              [](const MemoryFiles::Node& a, const MemoryFiles::Node& b) { return a.hostName < b.hostName; });
    return true;
}

}  // namespace

std::shared_ptr<FileStore> DiskFiles::CopyInMemory(std::string& error) const
{
    host::Folder root;
    if (!OpenRoot(root)) {
        error = root_.string() + ": " + std::strerror(errno);
        return nullptr;
    }
    MemoryFiles::Node tree;
    if (!CopyFolder(root, root_, tree, error)) return nullptr;
    return std::make_shared<MemoryFiles>(std::move(tree));
}

}  // namespace sim
