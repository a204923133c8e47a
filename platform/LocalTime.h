// Local-time formatting (thread-safe strftime of a given second).
#pragma once

#include <cstdint>
#include <string>

namespace koruvan::platform {

// strftime of the local time of `seconds` (since 1970); at most 255 bytes of output.
std::string FormatLocalTime(const char* format, std::int64_t seconds);

// The same for the current time.
std::string FormatLocalTimeNow(const char* format);

}  // namespace koruvan::platform
