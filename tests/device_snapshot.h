// What a device image holds, taken down so that two moments can be compared:
// the host files below a folder (links as links, never followed), the
// registry with every value, and the whole device folder as the device
// reads it. Also a scratch folder on a memory file system,
// for tests and fuzz targets that copy an image many times.
#ifndef TRQ_TESTS_DEVICE_SNAPSHOT_H
#define TRQ_TESTS_DEVICE_SNAPSHOT_H

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "formats/device_ini.h"
#include "formats/reg_file.h"
#include "formats/registry.h"
#include "formats/text.h"

namespace trq_test {

// A fresh folder in /dev/shm when it can be written, else in the system's
// temporary folder; removed with everything in it at the end.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& tag)
    {
        static std::atomic<int> serial{0};
        std::error_code ec;
        std::filesystem::path base = "/dev/shm";
        if (!std::filesystem::is_directory(base, ec) || ::access(base.c_str(), W_OK) != 0)
            base = std::filesystem::temp_directory_path();
        path_ = base / ("trq-" + tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
        Clear(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() { Clear(path_); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }

    // Removes a tree, read-only folders included.
    static void Clear(const std::filesystem::path& dir)
    {
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            if (it->is_directory(ec) && !it->is_symlink(ec))
                std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                             std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(dir, ec);
    }

private:
    std::filesystem::path path_;
};

// Copies a tree: folders, files with their modes, links as links.
inline void CopyTree(const std::filesystem::path& from, const std::filesystem::path& to)
{
    ScratchDir::Clear(to);
    std::filesystem::copy(from, to,
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::copy_symlinks);
}

// Every entry below dir by its relative path: kind, permission bits, size,
// a link's target, and with contents the bytes of each file. A device's
// lock file, which any command on it may create, is left out.
inline std::map<std::string, std::string> HostTree(const std::filesystem::path& dir, bool contents = false)
{
    std::map<std::string, std::string> tree;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        struct stat st;
        if (it->path().filename() == ".device.lock" || ::lstat(it->path().c_str(), &st) != 0) continue;
        // A folder's own size follows its entries, which are listed anyway.
        char head[64];
        (void)std::snprintf(head, sizeof head, "%s %o %lld",
                            S_ISLNK(st.st_mode) ? "link" : S_ISDIR(st.st_mode) ? "dir" : "file",
                            static_cast<unsigned>(st.st_mode & 07777),
                            S_ISDIR(st.st_mode) ? 0LL : static_cast<long long>(st.st_size));
        std::string entry = head;
        if (S_ISLNK(st.st_mode)) entry += " -> " + std::filesystem::read_symlink(it->path(), ec).string();
        if (contents && S_ISREG(st.st_mode)) {
            if (FILE* f = std::fopen(it->path().c_str(), "rb")) {
                char buffer[4096];
                size_t n;
                entry += " ";
                while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) entry.append(buffer, n);
                (void)std::fclose(f);
            }
        }
        tree[std::filesystem::relative(it->path(), dir, ec).string()] = entry;
    }
    return tree;
}

// Every key as "ROOT\path" (roots as "ROOT") with its values: name, type
// and bytes.
inline std::map<std::string, std::string> RegistryDump(const formats::Registry& registry)
{
    std::map<std::string, std::string> dump;
    auto values = [](const formats::RegKey& key) {
        std::string out;
        for (const formats::RegValue& v : key.values) {
            out += formats::Utf16ToUtf8Lossy(v.name) + "|" + std::to_string(v.type) + "|";
            char hex[4];
            for (uint8_t b : v.data) {
                (void)std::snprintf(hex, sizeof hex, "%02x", b);
                out += hex;
            }
            out += ";";
        }
        return out;
    };
    for (formats::Root root : {formats::Root::ClassesRoot, formats::Root::CurrentUser, formats::Root::LocalMachine}) {
        const formats::RegKey& top = registry.RootKey(root);
        const std::string rootName = formats::RootName(root);
        dump[rootName] = values(top);
        formats::ForEachKey(top, [&](std::u16string_view path, const formats::RegKey& key) {
            dump[rootName + "\\" + formats::Utf16ToUtf8Lossy(path)] = values(key);
        });
    }
    return dump;
}

// What a device folder holds as the device sees it, the file named except
// (below files/) aside: every file with its bytes, every key with its
// values, and device.ini as the device reads it.
inline std::map<std::string, std::string> DeviceState(const std::filesystem::path& device,
                                                      const std::string& except = "")
{
    std::map<std::string, std::string> state;
    for (auto& [path, entry] : HostTree(device / "files", true))
        if (path != except) state["files/" + path] = entry;
    auto read = [](const std::filesystem::path& file) {
        std::string bytes;
        if (FILE* f = std::fopen(file.c_str(), "rb")) {
            char buffer[4096];
            for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) bytes.append(buffer, n);
            (void)std::fclose(f);
        }
        return bytes;
    };
    formats::RegFile reg;
    formats::RegFileError regError;
    if (formats::ParseRegFile(read(device / "registry.reg"), "registry.reg", reg, regError))
        for (auto& [key, values] : RegistryDump(reg.keys)) state["key " + key] = values;
    else
        state["registry.reg"] = "refused: " + regError.Message();
    formats::DeviceConfig config;
    std::string iniError;
    state["device.ini"] = formats::ParseDeviceIni(read(device / "device.ini"), config, iniError)
                              ? formats::FormatDeviceIni(config)
                              : "refused: " + iniError;
    return state;
}

// How two states differ, a line for each entry left, changed or gone.
inline std::string StateDifferences(const std::map<std::string, std::string>& want,
                                    const std::map<std::string, std::string>& got)
{
    std::string text;
    for (const auto& [name, entry] : got)
        if (!want.count(name)) text += "  left: " + name + "\n";
        else if (want.at(name) != entry) text += "  changed: " + name + "\n";
    for (const auto& [name, entry] : want)
        if (!got.count(name)) text += "  gone: " + name + "\n";
    return text;
}

}  // namespace trq_test

#endif
