#include "engine/dht/KadNodeId.h"

#include "platform/Random.h"

namespace koruvan::engine {

KadNodeId KadNodeId::FromBytes(const std::uint8_t* bytes) noexcept {
    KadNodeId id;
    for (std::size_t i = 0; i < 5; ++i) {
        const std::uint8_t* p = bytes + i * 4;
        id.w_[i] = (static_cast<std::uint32_t>(p[0]) << 24) |
                   (static_cast<std::uint32_t>(p[1]) << 16) |
                   (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
    }
    return id;
}

KadNodeId KadNodeId::FromBytes(std::string_view bytes) noexcept {
    if (bytes.size() != kKadIdBytes) {
        return KadNodeId();
    }
    return FromBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()));
}

KadNodeId KadNodeId::Random(std::uint32_t seconds) noexcept {
    KadNodeId id;
    std::array<std::uint32_t, 4> words{};
    if (platform::RandomBytes(words.data(), sizeof(words))) {
        for (std::size_t i = 0; i < 4; ++i) {
            id.w_[i] = words[i];
        }
        id.w_[4] = seconds;
    }
    return id;
}

void KadNodeId::ToBytes(std::uint8_t* out) const noexcept {
    for (std::size_t i = 0; i < 5; ++i) {
        out[i * 4] = static_cast<std::uint8_t>(w_[i] >> 24);
        out[i * 4 + 1] = static_cast<std::uint8_t>(w_[i] >> 16);
        out[i * 4 + 2] = static_cast<std::uint8_t>(w_[i] >> 8);
        out[i * 4 + 3] = static_cast<std::uint8_t>(w_[i]);
    }
}

std::string KadNodeId::Bytes() const {
    std::string out(kKadIdBytes, '\0');
    ToBytes(reinterpret_cast<std::uint8_t*>(out.data()));
    return out;
}

std::string KadNodeId::Hex() const {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const char c : Bytes()) {
        const auto b = static_cast<std::uint8_t>(c);
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

bool KadNodeId::IsZero() const noexcept {
    for (const std::uint32_t w : w_) {
        if (w != 0) {
            return false;
        }
    }
    return true;
}

KadNodeId KadNodeId::operator^(const KadNodeId& other) const noexcept {
    KadNodeId r;
    for (std::size_t i = 0; i < 5; ++i) {
        r.w_[i] = w_[i] ^ other.w_[i];
    }
    return r;
}

KadNodeId KadNodeId::operator+(const KadNodeId& other) const noexcept {
    KadNodeId r;
    std::uint64_t carry = 0;
    for (std::size_t i = 5; i-- > 0;) {
        const std::uint64_t sum = static_cast<std::uint64_t>(w_[i]) + other.w_[i] + carry;
        r.w_[i] = static_cast<std::uint32_t>(sum);
        carry = sum >> 32;
    }
    return r;
}

KadNodeId KadNodeId::operator-(const KadNodeId& other) const noexcept {
    KadNodeId r;
    std::uint64_t borrow = 0;
    for (std::size_t i = 5; i-- > 0;) {
        const std::uint64_t sub = static_cast<std::uint64_t>(other.w_[i]) + borrow;
        r.w_[i] = static_cast<std::uint32_t>(static_cast<std::uint64_t>(w_[i]) - sub);
        borrow = w_[i] < sub ? 1 : 0;
    }
    return r;
}

KadNodeId KadNodeId::WordHalf() const noexcept {
    KadNodeId r;
    for (std::size_t i = 0; i < 5; ++i) {
        r.w_[i] = w_[i] / 2;
    }
    return r;
}

}  // namespace koruvan::engine
