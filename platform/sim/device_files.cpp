#include "platform/sim/device_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <system_error>

#include "platform/sim/host_file.h"
#include "platform/sim/text.h"

namespace fs = std::filesystem;

namespace sim {

namespace {

const uint32_t kFileNotFound = 2;
const uint32_t kPathNotFound = 3;
const uint32_t kAccessDenied = 5;
const uint32_t kDirNotEmpty = 145;
const uint32_t kDirectory = 267;
const uint32_t kAttributeReadOnly = 0x1;

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// Whether a single name can exist on the device (and so in a device image).
bool IsValidName(std::u16string_view name)
{
    if (name.empty() || name == u"." || name == u"..") return false;
    for (size_t i = 0; i < name.size(); ++i) {
        char16_t c = name[i];
        if (c < 0x20) return false;
        switch (c) {
        case u'<': case u'>': case u':': case u'"': case u'|': case u'?': case u'*':
        case u'\\': case u'/':
            return false;
        default:
            break;
        }
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 == name.size() || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF) return false;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

// lstat(): links are looked at, never followed.
bool LinkStatus(const fs::path& path, struct stat& st)
{
    return ::lstat(path.c_str(), &st) == 0;
}

// Looks name up among the entries of the host folder dir, case-insensitively.
// Of several matches the one spelled exactly as asked wins, otherwise the
// first in byte order, so the answer does not depend on the order the host
// lists the folder in. Host names that are not UTF-8 are invisible.
bool MatchEntry(const fs::path& dir, std::u16string_view name, std::string& hostName,
                std::u16string& deviceName)
{
    bool found = false;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string candidate = it->path().filename().string();
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

// A folder marked read-only on the device still lets its entries be deleted
// or added; on the host its missing owner-write bit would not. Lends the bit
// for the lifetime of this object. dir is always root_ or a folder below it.
class LendWrite {
public:
    explicit LendWrite(const fs::path& dir) : dir_(dir)
    {
        struct stat st;
        if (LinkStatus(dir_, st) && S_ISDIR(st.st_mode) && !(st.st_mode & S_IWUSR)) {
            mode_ = st.st_mode & 07777;
            lent_ = ::chmod(dir_.c_str(), mode_ | S_IWUSR) == 0;
        }
    }
    ~LendWrite()
    {
        if (lent_) ::chmod(dir_.c_str(), mode_);
    }
    LendWrite(const LendWrite&) = delete;
    LendWrite& operator=(const LendWrite&) = delete;

private:
    fs::path dir_;
    mode_t mode_ = 0;
    bool lent_ = false;
};

// Orders names as the device would list them: case-insensitively, with the
// exact spelling only as a tie-break.
int CompareNames(std::u16string_view a, std::u16string_view b)
{
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        char16_t fa = FoldCase(a[i]);
        char16_t fb = FoldCase(b[i]);
        if (fa != fb) return fa < fb ? -1 : 1;
    }
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}

struct ListedEntry {
    std::vector<std::u16string> names;
    bool folder;
};

void ListFolder(const fs::path& dir, std::vector<std::u16string>& prefix,
                std::vector<ListedEntry>& out)
{
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::optional<std::u16string> name = Utf8ToUtf16(it->path().filename().string());
        if (!name || !IsValidName(*name)) continue;  // no device path can name it
        struct stat st;
        if (!LinkStatus(it->path(), st)) continue;
        bool folder = S_ISDIR(st.st_mode);
        prefix.push_back(std::move(*name));
        out.push_back({prefix, folder});
        if (folder) ListFolder(it->path(), prefix, out);
        prefix.pop_back();
    }
}

}  // namespace

bool SplitDevicePath(std::u16string_view path, std::vector<std::u16string>& parts,
                     bool* trailingSeparator)
{
    parts.clear();
    if (trailingSeparator) *trailingSeparator = !path.empty() && IsSeparator(path.back());
    size_t i = 0;
    while (i < path.size()) {
        if (IsSeparator(path[i])) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < path.size() && !IsSeparator(path[end])) ++end;
        std::u16string_view name = path.substr(i, end - i);
        if (!IsValidName(name)) {
            parts.clear();
            return false;
        }
        parts.emplace_back(name);
        i = end;
    }
    return true;
}

uint32_t DeviceFiles::Find(std::u16string_view devicePath, Found& found) const
{
    if (devicePath.empty()) return kPathNotFound;
    std::vector<std::u16string> parts;
    bool trailing = false;
    if (!SplitDevicePath(devicePath, parts, &trailing)) return kFileNotFound;

    found = Found{};
    found.host = root_;
    found.folder = true;
    found.root = parts.empty();
    if (found.root) {
        struct stat st;
        if (::stat(root_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return kPathNotFound;
        found.device.assign(1, u'\\');
        return 0;
    }

    for (size_t i = 0; i < parts.size(); ++i) {
        bool last = i + 1 == parts.size();
        uint32_t missing = last ? kFileNotFound : kPathNotFound;
        std::string hostName;
        std::u16string deviceName;
        if (!MatchEntry(found.host, parts[i], hostName, deviceName)) return missing;
        fs::path next = found.host / hostName;
        struct stat st;
        if (!LinkStatus(next, st) || S_ISLNK(st.st_mode)) return missing;
        bool folder = S_ISDIR(st.st_mode);
        // A file with a second host name may be one outside the image: it is
        // treated like a link, as nothing the device can reach.
        if (!folder && st.st_nlink > 1) return missing;
        if (!last && !folder) return kPathNotFound;
        found.host = std::move(next);
        found.device += u'\\';
        found.device += deviceName;
        found.folder = folder;
    }
    // "\Windows\TRQ.exe\" names a folder that is not there.
    if (trailing && !found.folder) return kFileNotFound;
    return 0;
}

uint32_t DeviceFiles::DeleteFile(std::u16string_view devicePath)
{
    Found found;
    if (uint32_t error = Find(devicePath, found)) return error;
    if (found.folder) return kAccessDenied;
    struct stat st;
    if (!LinkStatus(found.host, st)) return kFileNotFound;
    if (!(st.st_mode & S_IWUSR)) return kAccessDenied;
    LendWrite lend(found.host.parent_path());
    if (::unlink(found.host.c_str()) != 0) return errno == ENOENT ? kFileNotFound : kAccessDenied;
    return 0;
}

uint32_t DeviceFiles::RemoveDirectory(std::u16string_view devicePath)
{
    Found found;
    if (uint32_t error = Find(devicePath, found)) return error;
    if (found.root) return kAccessDenied;
    if (!found.folder) return kDirectory;
    struct stat st;
    if (!LinkStatus(found.host, st)) return kFileNotFound;
    // As on Windows, a read-only folder is not removed.
    if (!(st.st_mode & S_IWUSR)) return kAccessDenied;
    std::error_code ec;
    fs::directory_iterator it(found.host, ec);
    if (ec) return kAccessDenied;
    if (it != fs::directory_iterator()) return kDirNotEmpty;
    LendWrite lend(found.host.parent_path());
    if (::rmdir(found.host.c_str()) != 0) {
        if (errno == ENOTEMPTY || errno == EEXIST) return kDirNotEmpty;
        return errno == ENOENT ? kFileNotFound : kAccessDenied;
    }
    return 0;
}

uint32_t DeviceFiles::SetAttributes(std::u16string_view devicePath, uint32_t attributes)
{
    Found found;
    if (uint32_t error = Find(devicePath, found)) return error;
    if (found.root) return kAccessDenied;
    struct stat st;
    if (!LinkStatus(found.host, st) || S_ISLNK(st.st_mode)) return kFileNotFound;
    mode_t mode = st.st_mode & 07777;
    mode_t wanted = (attributes & kAttributeReadOnly) ? (mode & ~S_IWUSR) : (mode | S_IWUSR);
    if (wanted != mode && ::chmod(found.host.c_str(), wanted) != 0) return kAccessDenied;
    return 0;
}

fs::path DeviceFiles::Resolve(std::u16string_view devicePath) const
{
    Found found;
    if (Find(devicePath, found) != 0) return {};
    return found.host;
}

std::u16string DeviceFiles::Canonical(std::u16string_view devicePath) const
{
    Found found;
    if (Find(devicePath, found) != 0) return {};
    return found.device;
}

std::vector<std::u16string> DeviceFiles::List() const
{
    std::vector<ListedEntry> entries;
    std::vector<std::u16string> prefix;
    ListFolder(root_, prefix, entries);
    std::sort(entries.begin(), entries.end(), [](const ListedEntry& a, const ListedEntry& b) {
        size_t n = std::min(a.names.size(), b.names.size());
        for (size_t i = 0; i < n; ++i) {
            if (int c = CompareNames(a.names[i], b.names[i])) return c < 0;
        }
        return a.names.size() < b.names.size();
    });

    std::vector<std::u16string> paths;
    paths.reserve(entries.size());
    for (const ListedEntry& entry : entries) {
        std::u16string path;
        for (const std::u16string& name : entry.names) {
            path += u'\\';
            path += name;
        }
        if (entry.folder) path += u'\\';
        paths.push_back(std::move(path));
    }
    return paths;
}

bool DeviceFiles::WriteFile(std::u16string_view devicePath, std::string_view contents,
                            bool readOnly)
{
    std::vector<std::u16string> parts;
    bool trailing = false;
    if (!SplitDevicePath(devicePath, parts, &trailing) || parts.empty() || trailing) return false;

    // The image's files/ folder itself may be new, but never its parents.
    std::error_code ec;
    fs::create_directory(root_, ec);
    struct stat st;
    if (::stat(root_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;

    fs::path dir = root_;
    for (size_t i = 0; i < parts.size(); ++i) {
        bool last = i + 1 == parts.size();
        std::string hostName;
        std::u16string deviceName;
        fs::path next;
        if (MatchEntry(dir, parts[i], hostName, deviceName)) {
            next = dir / hostName;
            if (!LinkStatus(next, st)) return false;
            if (last ? !S_ISREG(st.st_mode) : !S_ISDIR(st.st_mode)) return false;
        } else {
            std::optional<std::string> name = Utf16ToUtf8(parts[i]);
            if (!name) return false;
            next = dir / *name;
            if (!last) {
                LendWrite lend(dir);
                if (::mkdir(next.c_str(), 0777) != 0) return false;
            }
        }
        if (!last) {
            dir = std::move(next);
            continue;
        }
        LendWrite lend(dir);
        if (LinkStatus(next, st) && !(st.st_mode & S_IWUSR) &&
            ::chmod(next.c_str(), (st.st_mode & 07777) | S_IWUSR) != 0)
            return false;
        int fd = ::open(next.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) return false;
        bool written = host::WriteAll(fd, contents);
        if (written && readOnly) {
            written = ::fstat(fd, &st) == 0 && ::fchmod(fd, (st.st_mode & 07777) & ~S_IWUSR) == 0;
        }
        if (::close(fd) != 0) written = false;
        if (!written) return false;
    }
    return true;
}

}  // namespace sim
