// Paths on the device as the device reads them: names between "\" or "/"
// separators, with the names a device file system cannot hold refused.
#ifndef TRQ_FORMATS_DEVICE_PATH_H
#define TRQ_FORMATS_DEVICE_PATH_H

#include <string>
#include <string_view>
#include <vector>

namespace formats {

// Whether a single name can exist on the device (and so in a device image).
bool IsValidName(std::u16string_view name);

// Splits a device path into its names. "\" and "/" both separate, doubled
// separators fold and a leading separator is optional (the device has no
// current folder): "Temp//a.log" and "\Temp\a.log" both give {"Temp", "a.log"};
// "\" and "" give no names. Returns false for a path that can name no file
// on the device: a "." or ".." name, a NUL or other control character, one of
// <>:"|?*, or a lone surrogate. trailingSeparator, when given, tells whether
// the path ended with a separator.
bool SplitDevicePath(std::u16string_view path, std::vector<std::u16string>& parts,
                     bool* trailingSeparator = nullptr);

// A path of a desktop Windows device as its files read it: that device
// names its root by its drive too, so "C:\Windows\x" (any case of the
// drive) is "\Windows\x" there. Any other path, and every path when drive
// is empty (a Pocket PC has no drives), as it is.
std::u16string_view BelowDrive(std::u16string_view path, std::u16string_view drive);

// The same names one at a time, as views into the path, for a caller that
// walks a tree and must not allocate on every lookup. Valid() reads the
// whole path first, with SplitDevicePath's rules; Next() then gives each
// name in turn.
class DevicePathNames {
public:
    explicit DevicePathNames(std::u16string_view path) : path_(path) {}
    bool Valid() const;
    bool Next(std::u16string_view& name);
    bool TrailingSeparator() const;

private:
    std::u16string_view path_;
    size_t at_ = 0;
};

}  // namespace formats

#endif
