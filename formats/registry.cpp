#include "formats/registry.h"

#include <utility>

#include "formats/text.h"

namespace formats {

std::vector<uint8_t> StringData(std::u16string_view text)
{
    const std::string bytes = Utf16LeBytes(text);
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    data.push_back(0);
    data.push_back(0);
    return data;
}

std::optional<std::u16string> StringOfData(const std::vector<uint8_t>& data)
{
    if (data.size() % 2) return std::nullopt;
    std::u16string text;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (!c) break;
        text.push_back(c);
    }
    return text;
}

namespace {

// Takes the next name off a "\"-separated path, without copying; false
// when it is empty. last tells whether it was the path's last name.
bool TakeName(std::u16string_view& rest, std::u16string_view& name, bool& last)
{
    const size_t end = rest.find(u'\\');
    last = end == std::u16string_view::npos;
    name = rest.substr(0, end);
    rest.remove_prefix(last ? rest.size() : end + 1);
    return !name.empty();
}

}  // namespace

const char* RootName(Root root)
{
    switch (root) {
    case Root::ClassesRoot: return "HKEY_CLASSES_ROOT";
    case Root::CurrentUser: return "HKEY_CURRENT_USER";
    case Root::LocalMachine: return "HKEY_LOCAL_MACHINE";
    }
    return "HKEY_UNKNOWN";
}

RegKey::~RegKey()
{
    // Move every descendant into one flat list and free them from there: each
    // key is destroyed with no sub-keys left, so nothing recurses.
    std::vector<std::unique_ptr<RegKey>> pending = std::move(keys);
    keys.clear();
    while (!pending.empty()) {
        std::unique_ptr<RegKey> key = std::move(pending.back());
        pending.pop_back();
        if (!key) continue;
        for (auto& child : key->keys) pending.push_back(std::move(child));
        key->keys.clear();
    }
}

RegKey* RegKey::FindKey(std::u16string_view keyName) const
{
    for (const auto& key : keys) {
        if (key && EqualsIgnoreCase(key->name, keyName)) return key.get();
    }
    return nullptr;
}

const RegValue* RegKey::FindValue(std::u16string_view valueName) const
{
    for (const auto& value : values) {
        if (EqualsIgnoreCase(value.name, valueName)) return &value;
    }
    return nullptr;
}

RegKey& RegKey::AddKey(std::u16string keyName)
{
    if (RegKey* existing = FindKey(keyName)) return *existing;
    auto key = std::make_unique<RegKey>();
    key->name = std::move(keyName);
    keys.push_back(std::move(key));
    return *keys.back();
}

void RegKey::SetValue(RegValue value)
{
    for (auto& existing : values) {
        if (EqualsIgnoreCase(existing.name, value.name)) {
            existing.type = value.type;
            existing.data = std::move(value.data);
            return;
        }
    }
    values.push_back(std::move(value));
}

bool RegKey::RemoveValue(std::u16string_view valueName)
{
    for (auto it = values.begin(); it != values.end(); ++it) {
        if (EqualsIgnoreCase(it->name, valueName)) {
            values.erase(it);
            return true;
        }
    }
    return false;
}

void ForEachKey(const RegKey& top,
                const std::function<void(std::u16string_view path, const RegKey& key)>& visit)
{
    struct Frame {
        const RegKey* key;
        size_t next;        // index of the next child to visit
        size_t pathLength;  // length of path up to and including this key
    };
    std::vector<Frame> stack;
    std::u16string path;
    stack.push_back({&top, 0, 0});
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next >= frame.key->keys.size()) {
            stack.pop_back();
            continue;
        }
        const RegKey* child = frame.key->keys[frame.next++].get();
        if (!child) continue;
        path.resize(frame.pathLength);
        if (!path.empty()) path.push_back(u'\\');
        path += child->name;
        visit(path, *child);
        // frame may dangle once the stack grows; nothing uses it below.
        stack.push_back({child, 0, path.size()});
    }
}

RegKey* Registry::Find(Root root, std::u16string_view path) const
{
    RegKey* key = const_cast<RegKey*>(&roots_[static_cast<int>(root)]);
    for (bool last = path.empty(); !last;) {
        std::u16string_view name;
        if (!TakeName(path, name, last)) return nullptr;
        key = key->FindKey(name);
        if (!key) return nullptr;
    }
    return key;
}

RegKey* Registry::Create(Root root, std::u16string_view path)
{
    // Every name is checked before any key is made.
    std::u16string_view name, rest = path;
    for (bool last = rest.empty(); !last;)
        if (!TakeName(rest, name, last)) return nullptr;
    RegKey* key = &RootKey(root);
    for (bool last = path.empty(); !last;) {
        TakeName(path, name, last);
        key = &key->AddKey(std::u16string(name));
    }
    return key;
}

bool Registry::Delete(Root root, std::u16string_view path)
{
    if (path.empty()) return false;
    RegKey* parent = &RootKey(root);
    std::u16string_view name;
    for (bool last = false;;) {
        if (!TakeName(path, name, last)) return false;
        if (last) break;
        parent = parent->FindKey(name);
        if (!parent) return false;
    }
    auto& keys = parent->keys;
    for (auto it = keys.begin(); it != keys.end(); ++it) {
        if (*it && EqualsIgnoreCase((*it)->name, name)) {
            keys.erase(it);  // the sub-tree goes with it
            return true;
        }
    }
    return false;
}

Registry Registry::Copy() const
{
    Registry copy;
    std::vector<std::pair<const RegKey*, RegKey*>> pending;  // each key and its copy
    pending.reserve(kRootCount);
    for (int i = 0; i < kRootCount; ++i) pending.emplace_back(&roots_[i], &copy.roots_[i]);
    while (!pending.empty()) {
        auto [from, to] = pending.back();
        pending.pop_back();
        to->name = from->name;
        to->values = from->values;
        to->keys.reserve(from->keys.size());
        for (const std::unique_ptr<RegKey>& key : from->keys) {
            to->keys.push_back(std::make_unique<RegKey>());
            pending.emplace_back(key.get(), to->keys.back().get());
        }
    }
    return copy;
}

std::vector<std::string> Registry::KeyList() const
{
    std::vector<std::string> list;
    for (int i = 0; i < kRootCount; ++i) {
        const Root root = static_cast<Root>(i);
        const std::string rootName = RootName(root);
        const RegKey& top = RootKey(root);
        if (!top.values.empty()) list.push_back(rootName);
        ForEachKey(top, [&](std::u16string_view path, const RegKey&) {
            list.push_back(rootName + "\\" + Utf16ToUtf8Lossy(path));
        });
    }
    return list;
}

bool operator==(const Registry& a, const Registry& b)
{
    std::vector<std::pair<const RegKey*, const RegKey*>> pending;
    pending.reserve(kRootCount);
    for (int i = 0; i < kRootCount; ++i) pending.emplace_back(&a.roots_[i], &b.roots_[i]);
    while (!pending.empty()) {
        const auto [x, y] = pending.back();
        pending.pop_back();
        if (!x || !y) {
            if (x != y) return false;
            continue;
        }
        if (x->name != y->name || x->values.size() != y->values.size() ||
            x->keys.size() != y->keys.size()) {
            return false;
        }
        for (size_t i = 0; i < x->values.size(); ++i) {
            const RegValue& u = x->values[i];
            const RegValue& v = y->values[i];
            if (u.name != v.name || u.type != v.type || u.data != v.data) return false;
        }
        for (size_t i = 0; i < x->keys.size(); ++i) {
            pending.emplace_back(x->keys[i].get(), y->keys[i].get());
        }
    }
    return true;
}

}  // namespace formats
