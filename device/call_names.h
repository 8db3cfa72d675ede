// The calls by name, for host code at a file's edge, where a name is read
// or written (an image's imports, a trace's record, a --fail rule): the
// names a program of a tier may import, and the row of a name.
#ifndef TRQ_DEVICE_CALL_NAMES_H
#define TRQ_DEVICE_CALL_NAMES_H

#include <string>
#include <string_view>
#include <vector>

#include "device/device_call_table.h"

namespace device_calls {

// What a Pocket PC executable of a tier may import from COREDLL: the names
// of the calls of its tier and below. The uninstaller's are its 17 alone.
inline std::vector<std::string> CallNames(Tier tier = Uninstaller)
{
    std::vector<std::string> names;
    for (const Row* row : kCalls)
        if (row->tier <= tier) names.push_back(row->name);
    return names;
}

// The row of the call of that name, as the list spells it; null for a name
// the list does not have.
inline const Row* FindCall(std::string_view name)
{
    for (const Row* row : kCalls)
        if (name == row->name) return row;
    return nullptr;
}

}  // namespace device_calls

#endif
