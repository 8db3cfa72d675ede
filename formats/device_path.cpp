#include "formats/device_path.h"

#include "device/device_text.h"

namespace formats {

using device_text::IsPathSeparator;

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

bool DevicePathNames::Next(std::u16string_view& name)
{
    while (at_ < path_.size() && IsPathSeparator(path_[at_])) ++at_;
    if (at_ == path_.size()) return false;
    size_t end = at_;
    while (end < path_.size() && !IsPathSeparator(path_[end])) ++end;
    name = path_.substr(at_, end - at_);
    at_ = end;
    return true;
}

bool DevicePathNames::Valid() const
{
    DevicePathNames all(path_);
    for (std::u16string_view name; all.Next(name);)
        if (!IsValidName(name)) return false;
    return true;
}

bool DevicePathNames::TrailingSeparator() const { return !path_.empty() && IsPathSeparator(path_.back()); }

std::u16string_view BelowDrive(std::u16string_view path, std::u16string_view drive)
{
    if (drive.empty() || path.size() <= drive.size() || !IsPathSeparator(path[drive.size()])) return path;
    for (size_t i = 0; i < drive.size(); ++i)
        if (device_text::FoldCase(path[i]) != device_text::FoldCase(drive[i])) return path;
    return path.substr(drive.size());
}

bool SplitDevicePath(std::u16string_view path, std::vector<std::u16string>& parts,
                     bool* trailingSeparator)
{
    parts.clear();
    DevicePathNames names(path);
    if (trailingSeparator) *trailingSeparator = names.TrailingSeparator();
    if (!names.Valid()) return false;
    for (std::u16string_view name; names.Next(name);) parts.emplace_back(name);
    return true;
}

}  // namespace formats
