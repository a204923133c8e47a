// Peers other nodes announced to this node, by info hash.
//
// Locking: lock_ guards the map; a leaf lock.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "engine/dht/KadNodeId.h"

namespace koruvan::engine {

inline constexpr std::size_t kMaxValuesPerReply = 50;
inline constexpr std::uint32_t kPeerLifeSeconds = 1800;

class KadPeerStore {
  public:
    // Adds the peer with time `now`, or refreshes its time.
    void StorePeer(const KadNodeId& hash, std::uint32_t ip, std::uint16_t port, std::uint32_t now);
    // "6:valuesl", up to 50 entries "6:" + ip + port, "e"; empty when the hash is unknown.
    // More than 50 peers: the window starts at (seconds % (peers - 50)).
    [[nodiscard]] std::string ValuesReply(const KadNodeId& hash, std::uint32_t seconds) const;
    // The same selection as plain 6-byte entries.
    [[nodiscard]] std::string CompactPeers(const KadNodeId& hash, std::uint32_t seconds) const;
    // Drops peers whose last announce is 1800 s old or older, then empty hashes.
    void Expire(std::uint32_t now);
    void Clear();
    [[nodiscard]] std::size_t HashCount() const;
    [[nodiscard]] std::size_t PeerCount() const;

  private:
    struct Peer {
        std::uint32_t ip = 0;  // network order
        std::uint16_t port = 0;
        std::uint32_t announced = 0;
    };
    [[nodiscard]] std::vector<Peer> Window(const KadNodeId& hash, std::uint32_t seconds,
                                           bool* known) const;

    mutable std::mutex lock_;
    std::map<KadNodeId, std::vector<Peer>> peers_;  // set order = order of first announce
};

}  // namespace koruvan::engine
