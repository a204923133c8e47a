#include "platform/LocalTime.h"

#include <time.h>

namespace koruvan::platform {

std::string FormatLocalTime(const char* format, std::int64_t seconds) {
    const time_t when = static_cast<time_t>(seconds);
    struct tm parts {};
    if (localtime_r(&when, &parts) == nullptr) {
        return {};
    }
    char buffer[256];
    const std::size_t n = strftime(buffer, sizeof buffer, format, &parts);
    return std::string(buffer, n);
}

std::string FormatLocalTimeNow(const char* format) {
    return FormatLocalTime(format, static_cast<std::int64_t>(time(nullptr)));
}

}  // namespace koruvan::platform
