// IPv4 address basics shared by the connection layer: byte order and validity.
#pragma once

#include <bit>
#include <cstdint>

namespace koruvan::engine {

constexpr std::uint32_t HostToNet32(std::uint32_t value) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        return ((value & 0xFFu) << 24) | ((value & 0xFF00u) << 8) | ((value >> 8) & 0xFF00u) |
               (value >> 24);
    } else {
        return value;
    }
}

constexpr std::uint32_t NetToHost32(std::uint32_t value) noexcept {
    return HostToNet32(value);
}

// An IPv4 address that can be dialled or announced: neither 0 nor 255.255.255.255 (the
// value every failed parse and lookup gives).
constexpr bool IsValidIp(std::uint32_t ip) noexcept {
    return ip != 0 && ip != 0xFFFFFFFFu;
}

inline constexpr std::uint32_t kNoAddress = 0xFFFFFFFFu;

}  // namespace koruvan::engine
