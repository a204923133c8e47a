#include "net/CIPFilter.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace koruvan::net {

std::uint32_t ParseFilterAddress(std::string_view text) noexcept {
    std::uint32_t value = 0;
    std::uint8_t part = 0;
    int parts = 0;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            part = static_cast<std::uint8_t>(part * 10 + (c - '0'));
        } else if (c == '.' && parts < 3) {
            value = (value << 8) | part;
            part = 0;
            ++parts;
        } else {
            break;
        }
    }
    value = (value << 8) | part;
    // Fewer than four parts: the missing low octets are zero.
    for (; parts < 3; ++parts) {
        value <<= 8;
    }
    return value;
}

namespace {

// atoi: optional blanks, an optional sign, digits; anything else ends the number.
std::int64_t LevelOf(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = std::min<std::int64_t>(value * 10 + (text[i] - '0'), 1LL << 40);
    }
    return negative ? -value : value;
}

}  // namespace

void CIPFilter::AddLine(std::string_view line) {
    if (line.size() > kMaxLineLength) {
        line = line.substr(0, kMaxLineLength);
    }
    if (line.empty() || line.front() == '#') {
        return;
    }
    std::size_t i = 0;
    while (i < line.size() && static_cast<unsigned char>(line[i]) >= 1 &&
           static_cast<unsigned char>(line[i]) <= 32) {
        ++i;
    }
    line = line.substr(i);
    if (line.empty() || line.front() < '0' || line.front() > '9') {
        return;
    }
    const std::size_t dash = line.find('-');
    const std::size_t blank = line.find(' ');
    if (dash == std::string_view::npos || blank == std::string_view::npos || blank < dash) {
        return;
    }
    const std::uint32_t start = ParseFilterAddress(line.substr(0, dash));
    const std::uint32_t end = ParseFilterAddress(line.substr(dash + 1, blank - dash - 1));
    const std::int64_t level = LevelOf(line.substr(blank + 1));
    if (level >= levelLimit_ || end < start) {
        return;
    }
    Insert(start, end);
}

// Every range the new one touches is folded into it, so the map never holds overlapping
// ranges: a lookup looks at one range only, and an overlap left behind could hide a
// blocked address behind a narrower range that ends later.
void CIPFilter::Insert(std::uint32_t s, std::uint32_t e) {
    auto it = ranges_.lower_bound(s);
    if (it != ranges_.end() && it->second <= s && it->first >= e) {
        return;  // inside an existing range
    }
    while (it != ranges_.end() && it->second <= e) {
        s = std::min(s, it->second);
        e = std::max(e, it->first);
        it = ranges_.erase(it);
    }
    ranges_[e] = s;
}

std::int32_t CIPFilter::LoadText(std::string_view text) {
    const std::size_t before = ranges_.size();
    levelLimit_ = kDefaultLevelLimit;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        AddLine(line);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    }
    return static_cast<std::int32_t>(ranges_.size() - before);
}

std::int32_t CIPFilter::Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Clear();
        return -1;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return LoadText(text);
}

bool CIPFilter::IsBlocked(std::uint32_t ipNetworkOrder) const {
    if (ranges_.empty()) {
        return false;
    }
    // Network order in memory: the first octet is the lowest byte of the number.
    const auto* b = reinterpret_cast<const std::uint8_t*>(&ipNetworkOrder);
    const std::uint32_t ip = (static_cast<std::uint32_t>(b[0]) << 24) |
                             (static_cast<std::uint32_t>(b[1]) << 16) |
                             (static_cast<std::uint32_t>(b[2]) << 8) | b[3];
    const auto it = ranges_.lower_bound(ip);
    return it != ranges_.end() && ip >= it->second;
}

void CIPFilter::Clear() {
    ranges_.clear();
    levelLimit_ = kDefaultLevelLimit;
}

void CIPFilter::CopyFrom(const CIPFilter& other) {
    levelLimit_ = other.levelLimit_;
    ranges_ = other.ranges_;
}

}  // namespace koruvan::net
