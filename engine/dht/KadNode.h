// A contact of the routing table and the compact forms contacts and peers travel in.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/dht/KadNodeId.h"

namespace koruvan::engine {

inline constexpr std::size_t kCompactNodeBytes = 26;  // id 20, IPv4 4, port 2
inline constexpr std::size_t kCompactPeerBytes = 6;   // IPv4 4, port 2

struct KadNode {
    KadNodeId id;
    std::int32_t failures = 0;   // unanswered pings since last heard from
    std::uint32_t ip = 0;        // network byte order
    std::uint16_t port = 0;      // host order
    std::uint32_t lastSeen = 0;  // seconds counter of the last answer; 0 = never
    bool questionable = true;    // not heard from yet, or after 3 failed pings

    [[nodiscard]] bool IsValid() const noexcept { return ip != 0 && port != 0 && !id.IsZero(); }
    [[nodiscard]] bool IsGood() const noexcept { return !questionable; }
    void MarkHeardFrom(std::uint32_t now) noexcept {
        lastSeen = now;
        failures = 0;
        questionable = false;
    }
    // Same id and address; the port and the state do not count.
    [[nodiscard]] bool SameAs(const KadNode& o) const noexcept { return id == o.id && ip == o.ip; }
    // Contact order: by id, then by address.
    [[nodiscard]] bool Before(const KadNode& o) const noexcept {
        return id != o.id ? id < o.id : ip < o.ip;
    }
};

KadNode MakeNode(const KadNodeId& id, std::uint32_t ip, std::uint16_t port);

// 26-byte records: id, IPv4 (network order), port (network order).
void AppendCompactNode(const KadNode& node, std::string& out);
// Reads whole 26-byte records; a trailing part is ignored.
std::vector<KadNode> ReadCompactNodes(std::string_view bytes);
// 6-byte record: IPv4 and port, both network order.
void AppendCompactPeer(std::uint32_t ip, std::uint16_t port, std::string& out);

// Dotted text of a network-order address, for logs and tests.
std::string DottedIp(std::uint32_t ip);

}  // namespace koruvan::engine
