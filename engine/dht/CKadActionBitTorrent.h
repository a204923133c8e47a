// A download task's lookup: get_peers towards the torrent's info hash, then announce_peer of
// the engine's listening port to the closest nodes that gave a token; the peers found wait
// in a buffer until the task takes them.
//
// Locking: the base's lock_ guards every field of this class too.
#pragma once

#include "engine/dht/CKadAction.h"

namespace koruvan::engine {

inline constexpr std::size_t kPeerBufferReserve = 8192;

class CKadActionBitTorrent final : public CKadActionBase {
  public:
    CKadActionBitTorrent(CKademlia& node, const KadNodeId& infoHash);
    ~CKadActionBitTorrent() override;

    bool Start() override;
    void Finish() override;
    void Reset() override;
    bool Seed(const std::vector<KadNode>& contacts) override;
    bool SendQuery(const KadNode& contact, const std::string& tid) override;
    void Step() override;
    void OnResult(const KadNode& contact, const QElement& body) override;

    void SetAnnouncePort(int port);
    // Appends the compact peers found so far to `out`; false when there are none. `clear`
    // empties the buffer.
    bool TakePeers(std::string& out, bool clear);
    [[nodiscard]] bool IsAnnouncing() const;

  private:
    // The token for announcing to `contact`: the one it gave this search, else the node's
    // cached one; empty when there is none. Other implementations tie their tokens to the
    // info hash, so a token from another hash's search would be refused.
    [[nodiscard]] std::string TokenFor(const KadNode& contact) const;

    bool announcing_ = false;
    std::map<std::pair<std::uint32_t, std::uint16_t>, std::string> tokens_;
    int announcePort_ = 0;
    std::string peerBuffer_;
    bool firstStep_ = true;
    std::map<std::pair<KadNodeId, std::uint32_t>, int> responderPeers_;
    std::vector<KadNode> announceList_;
    std::vector<KadNode> previousRun_;
    int announceAnswers_ = 0;
};

}  // namespace koruvan::engine
