// The local discovery datagram (56 bytes, multi-byte fields in network order): a zero
// field, the sender's listening address and port, announcement (0) or reply (1), the info
// hash and the sender's peer id. Sent to the group 233.65.31.78, port 31576.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace koruvan::engine {

inline constexpr std::uint32_t kDiscoveryGroup = 0x4E1F41E9u;  // 233.65.31.78, network order
inline constexpr std::uint16_t kDiscoveryPort = 31576;
inline constexpr std::size_t kDiscoverySize = 56;
// Candidate priority of a peer found on the local network.
inline constexpr std::int32_t kLocalPeerPriority = 35;

struct DiscoveryDatagram {
    std::uint32_t ip = 0;    // network order
    std::uint16_t port = 0;  // host order
    bool reply = false;
    std::array<std::uint8_t, 20> infoHash{};
    std::array<std::uint8_t, 20> peerId{};
};
[[nodiscard]] std::array<std::uint8_t, kDiscoverySize> EncodeDiscovery(const DiscoveryDatagram& d);
// False for a datagram shorter than 56 bytes or with a non-zero first field.
[[nodiscard]] bool DecodeDiscovery(const std::uint8_t* data, std::size_t size,
                                   DiscoveryDatagram& out);

}  // namespace koruvan::engine
