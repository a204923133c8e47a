#include "app/SourceBytes.h"

#include <charconv>
#include <cstdio>

namespace koruvan::app {
namespace {

bool ParseUnsigned(std::string_view text, std::uint64_t& value) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return !text.empty() && ec == std::errc() && ptr == end;
}

}  // namespace

std::string SourceBytesKey(int index) {
    char key[48];
    std::snprintf(key, sizeof key, "KoruvanTaskSourceBytes%d", index);
    return key;
}

std::string FormatSourceBytes(const SourceBytes& bytes) {
    return std::to_string(bytes.web) + "," + std::to_string(bytes.peers);
}

std::optional<SourceBytes> ParseSourceBytes(std::string_view text) {
    const std::size_t comma = text.find(',');
    SourceBytes bytes;
    if (comma == std::string_view::npos || !ParseUnsigned(text.substr(0, comma), bytes.web) ||
        !ParseUnsigned(text.substr(comma + 1), bytes.peers)) {
        return std::nullopt;
    }
    return bytes;
}

}  // namespace koruvan::app
