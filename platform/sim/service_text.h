// What the device services share when they read a call's arguments
// (services.cpp and the files beside it).
#ifndef TRQ_SIM_SERVICE_TEXT_H
#define TRQ_SIM_SERVICE_TEXT_H

#include <cstdint>
#include <string>
#include <string_view>

#include "device/device.h"
#include "formats/text.h"

namespace sim {

// A string argument, not copied; null reads as "".
inline std::u16string_view Text(LPCWSTR s)
{
    return s ? std::u16string_view(s) : std::u16string_view();
}

// A number argument as the fault plan is given it: in decimal.
template <typename Number>
std::u16string NumberText(Number n)
{
    const std::string digits = std::to_string(n);
    return std::u16string(digits.begin(), digits.end());
}

}  // namespace sim

#endif
