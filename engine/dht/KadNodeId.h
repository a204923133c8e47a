// A 160-bit node id or info hash: five 32-bit words, most significant first; 20 bytes,
// big-endian, on the wire and in the node file.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

namespace koruvan::engine {

inline constexpr std::size_t kKadIdBytes = 20;

class KadNodeId {
  public:
    constexpr KadNodeId() noexcept = default;
    constexpr explicit KadNodeId(const std::array<std::uint32_t, 5>& words) noexcept : w_(words) {}

    // From 20 big-endian bytes; a view of another length gives 0.
    static KadNodeId FromBytes(std::string_view bytes) noexcept;
    static KadNodeId FromBytes(const std::uint8_t* bytes) noexcept;
    // Words 0..3 from the system's random source, word 4 the given seconds value; the
    // words stay 0 when no randomness is available.
    static KadNodeId Random(std::uint32_t seconds) noexcept;
    static constexpr KadNodeId Max() noexcept {
        return KadNodeId({0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu});
    }

    void ToBytes(std::uint8_t* out) const noexcept;
    [[nodiscard]] std::string Bytes() const;
    [[nodiscard]] std::string Hex() const;

    [[nodiscard]] bool IsZero() const noexcept;
    [[nodiscard]] KadNodeId operator^(const KadNodeId& other) const noexcept;
    // Modulo 2^160.
    [[nodiscard]] KadNodeId operator+(const KadNodeId& other) const noexcept;
    [[nodiscard]] KadNodeId operator-(const KadNodeId& other) const noexcept;
    // Each word halved on its own: no bit moves from one word into the next. Bucket
    // splits and refresh targets are computed this way, so the ranges stay compatible
    // with node files written before.
    [[nodiscard]] KadNodeId WordHalf() const noexcept;

    [[nodiscard]] std::uint32_t Word(int i) const noexcept {
        return w_[static_cast<std::size_t>(i)];
    }
    friend constexpr auto operator<=>(const KadNodeId&, const KadNodeId&) noexcept = default;

  private:
    std::array<std::uint32_t, 5> w_{};
};

}  // namespace koruvan::engine
