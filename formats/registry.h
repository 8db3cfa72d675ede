// The simulated device's registry, in memory: three roots kept apart, keys
// and values matched case-insensitively and kept in the case they were made.
#ifndef TRQ_FORMATS_REGISTRY_H
#define TRQ_FORMATS_REGISTRY_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace formats {

enum class Root { ClassesRoot, CurrentUser, LocalMachine };
constexpr int kRootCount = 3;
const char* RootName(Root root);  // "HKEY_LOCAL_MACHINE", ...

// REG_SZ data: text in UTF-16LE with its terminating NUL.
std::vector<uint8_t> StringData(std::u16string_view text);
// The text of string data up to its first NUL (all of it when there is
// none); nullopt for an odd number of bytes.
std::optional<std::u16string> StringOfData(const std::vector<uint8_t>& data);

struct RegValue {
    std::u16string name;  // empty: the key's default value (@)
    uint32_t type = 0;    // REG_SZ, REG_DWORD, ...
    std::vector<uint8_t> data;  // exactly the bytes stored, terminators included
};

struct RegKey {
    std::u16string name;
    std::vector<RegValue> values;               // in the order they were set
    std::vector<std::unique_ptr<RegKey>> keys;  // sub-keys, in the order made

    RegKey* FindKey(std::u16string_view name) const;  // one component
    const RegValue* FindValue(std::u16string_view name) const;
    RegKey& AddKey(std::u16string name);       // existing one if present
    // Replaces by name: an existing value keeps its place and the case of its
    // name and takes the new type and data.
    void SetValue(RegValue value);
    // Removes the value of that name; false when there is none.
    bool RemoveValue(std::u16string_view name);

    // Destroying a key takes its sub-tree apart without recursion, so a tree
    // nested thousands of levels deep cannot exhaust the stack.
    RegKey() = default;
    RegKey(RegKey&&) noexcept = default;
    RegKey& operator=(RegKey&&) noexcept = default;
    ~RegKey();
};

// Calls visit(path, key) for every key below top (top itself excluded), depth
// first in stored order, parents before children. path is relative to top
// ("a\b\c"). Iterative: safe for any nesting depth.
void ForEachKey(const RegKey& top,
                const std::function<void(std::u16string_view path, const RegKey& key)>& visit);

class Registry {
public:
    RegKey& RootKey(Root root) { return roots_[static_cast<int>(root)]; }
    const RegKey& RootKey(Root root) const { return roots_[static_cast<int>(root)]; }

    // Paths use "\" separators; an empty path is the root itself. A path with
    // an empty component ("a\\b", "a\", "\a") names no key.
    RegKey* Find(Root root, std::u16string_view path) const;
    RegKey* Create(Root root, std::u16string_view path);  // with missing parents
    // Deletes the key and everything below it. False when it does not exist
    // or is a root.
    bool Delete(Root root, std::u16string_view path);

    // Every key as "ROOT\path", depth first in stored order (roots included
    // only when they hold values).
    std::vector<std::string> KeyList() const;

    // A registry of its own with the same keys and values, in the same
    // order. Iterative: safe for any nesting depth.
    Registry Copy() const;

    // Same keys and values: names compared exactly (case included), values
    // by name, type and bytes, and keys and values in the same order. The
    // order counts because the .reg file keeps it: a round trip that
    // reordered a tree is a fault. Iterative: safe for any nesting depth.
    friend bool operator==(const Registry& a, const Registry& b);
    friend bool operator!=(const Registry& a, const Registry& b) { return !(a == b); }

private:
    RegKey roots_[kRootCount];
};

}  // namespace formats

#endif
