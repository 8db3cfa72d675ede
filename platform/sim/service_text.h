// What the device services share when they read and trace a call's
// arguments (services.cpp and the files beside it).
#ifndef TRQ_SIM_SERVICE_TEXT_H
#define TRQ_SIM_SERVICE_TEXT_H

#include <cstdint>
#include <cstdio>
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

// A string argument as the trace writes it.
inline std::string Utf8(LPCWSTR s)
{
    return formats::Utf16ToUtf8Lossy(Text(s));
}

// A handle of CreateFileW, CreateEventW or CreateProcessW as the trace names
// it: its value ("0x40004"), or INVALID_HANDLE_VALUE.
inline std::string HandleText(HANDLE handle)
{
    if (handle == INVALID_HANDLE_VALUE) return "INVALID_HANDLE_VALUE";
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    return text;
}

}  // namespace sim

#endif
