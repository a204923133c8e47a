#include "engine/dht/KadPeerStore.h"

#include "engine/dht/KadNode.h"

namespace koruvan::engine {

void KadPeerStore::StorePeer(const KadNodeId& hash, std::uint32_t ip, std::uint16_t port,
                             std::uint32_t now) {
    std::lock_guard guard(lock_);
    std::vector<Peer>& set = peers_[hash];
    for (Peer& p : set) {
        if (p.ip == ip && p.port == port) {
            p.announced = now;
            return;
        }
    }
    set.push_back(Peer{ip, port, now});
}

std::vector<KadPeerStore::Peer> KadPeerStore::Window(const KadNodeId& hash, std::uint32_t seconds,
                                                     bool* known) const {
    std::lock_guard guard(lock_);
    auto it = peers_.find(hash);
    *known = it != peers_.end();
    if (!*known) {
        return {};
    }
    const std::vector<Peer>& set = it->second;
    std::size_t start = 0;
    if (set.size() > kMaxValuesPerReply) {
        start = seconds % (set.size() - kMaxValuesPerReply);
    }
    const std::size_t end = std::min(set.size(), start + kMaxValuesPerReply);
    return std::vector<Peer>(set.begin() + static_cast<std::ptrdiff_t>(start),
                             set.begin() + static_cast<std::ptrdiff_t>(end));
}

std::string KadPeerStore::ValuesReply(const KadNodeId& hash, std::uint32_t seconds) const {
    bool known = false;
    const std::vector<Peer> window = Window(hash, seconds, &known);
    if (!known) {
        return {};
    }
    std::string out = "6:valuesl";
    for (const Peer& p : window) {
        out += "6:";
        AppendCompactPeer(p.ip, p.port, out);
    }
    out += 'e';
    return out;
}

std::string KadPeerStore::CompactPeers(const KadNodeId& hash, std::uint32_t seconds) const {
    bool known = false;
    std::string out;
    for (const Peer& p : Window(hash, seconds, &known)) {
        AppendCompactPeer(p.ip, p.port, out);
    }
    return out;
}

void KadPeerStore::Expire(std::uint32_t now) {
    std::lock_guard guard(lock_);
    for (auto it = peers_.begin(); it != peers_.end();) {
        std::erase_if(it->second,
                      [&](const Peer& p) { return now - p.announced >= kPeerLifeSeconds; });
        it = it->second.empty() ? peers_.erase(it) : std::next(it);
    }
}

void KadPeerStore::Clear() {
    std::lock_guard guard(lock_);
    peers_.clear();
}

std::size_t KadPeerStore::HashCount() const {
    std::lock_guard guard(lock_);
    return peers_.size();
}

std::size_t KadPeerStore::PeerCount() const {
    std::lock_guard guard(lock_);
    std::size_t n = 0;
    for (const auto& [hash, set] : peers_) {
        n += set.size();
    }
    return n;
}

}  // namespace koruvan::engine
