#include "engine/core/KeyTemplate.h"

#include <charconv>
#include <limits>

namespace koruvan::engine {
namespace {

constexpr std::string_view kHash = "$Hash$";
constexpr std::string_view kSize = "$Size$";
constexpr std::string_view kLength = "$Length$";
constexpr std::string_view kTracker = "$Tracker$";
constexpr std::string_view kEnd = "$End$";

int HexValue(char c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The decimal number right after `marker`; nullopt when absent or not a number.
std::optional<std::uint64_t> NumberAfter(std::string_view text, std::string_view marker) {
    const std::size_t at = text.find(marker);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    const char* first = text.data() + at + marker.size();
    const char* last = text.data() + text.size();
    std::uint64_t value = 0;
    const auto result = std::from_chars(first, last, value);
    if (result.ec != std::errc() || result.ptr == first) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

bool IsKeyTemplate(std::string_view text) noexcept {
    return text.size() > 1 && text.find(kEnd, 1) != std::string_view::npos;
}

std::optional<KeyTemplate> ParseKeyTemplate(std::string_view text) {
    if (!IsKeyTemplate(text)) {
        return std::nullopt;
    }
    KeyTemplate out;
    const std::size_t hash = text.find(kHash);
    if (hash == std::string_view::npos || text.size() - hash - kHash.size() < 40) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < 20; ++i) {
        const int hi = HexValue(text[hash + kHash.size() + 2 * i]);
        const int lo = HexValue(text[hash + kHash.size() + 2 * i + 1]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        out.infoHash[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    const auto size = NumberAfter(text, kSize);
    const auto length = NumberAfter(text, kLength);
    if (!size || !length || *size == 0 || *length == 0 ||
        *length > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()) ||
        *size > std::numeric_limits<std::uint64_t>::max() - *length) {
        return std::nullopt;
    }
    out.totalSize = *size;
    out.pieceLength = static_cast<std::int32_t>(*length);
    out.pieceCount = (*size + *length - 1) / *length;
    if (out.pieceCount > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
        return std::nullopt;
    }
    const std::size_t tracker = text.find(kTracker);
    if (tracker != std::string_view::npos) {
        const std::size_t start = tracker + kTracker.size();
        const std::size_t end = text.find(kEnd, start);
        if (end != std::string_view::npos) {
            out.tracker.assign(text.substr(start, end - start));
            const std::size_t scheme = out.tracker.find("$$$");
            if (scheme != std::string::npos) {
                out.tracker.replace(scheme, 3, "://");
            }
        }
    }
    return out;
}

}  // namespace koruvan::engine
