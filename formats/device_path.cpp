#include "formats/device_path.h"

namespace formats {

namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

}  // namespace

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

}  // namespace formats
