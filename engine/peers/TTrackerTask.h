// What a tracker client needs from the task it announces for: what the announce tells the
// tracker, the local address announces go out from, and where the answer goes (the peers
// it names become candidates; the interval and counts are kept by the task). The task
// implements it; tracker tests implement it with a small fake.
//
// Called on the task's work thread only.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "engine/peers/TTrackerReply.h"

namespace koruvan::engine {

struct TrackerAnnounceInfo {
    std::array<std::uint8_t, 20> infoHash{};
    std::string announceUrl;  // the metainfo's announce URL
    PeerIdBytes ownPeerId{};  // the task's BitTorrent identity (UDP announces)
    std::uint64_t downloaded = 0;
    std::uint64_t uploaded = 0;
    std::uint64_t totalSize = 0;
    std::uint64_t bytesCompleted = 0;
    std::uint16_t listenPort = 0;
    std::uint32_t announcedAddress = 0;  // network order; the UDP announce's address, 0 none
};

class TrackerTask {
  public:
    // False while the task has no metainfo (nothing to announce).
    [[nodiscard]] virtual bool AnnounceInfo(TrackerAnnounceInfo& out) = 0;
    // The local IPv4 address (network order) tracker connections are bound to; 0 lets the
    // system choose.
    [[nodiscard]] virtual std::uint32_t BindAddress() = 0;
    // A peer the tracker named: a BitTorrent candidate of the task.
    virtual void AddLearnedPeer(const LearnedPeer& peer) = 0;
    // The tracker's interval (seconds) and counts; a count of -1 was not reported.
    virtual void StoreAnnounceReply(std::int32_t interval, std::int64_t seeds,
                                    std::int64_t completed) = 0;

  protected:
    ~TrackerTask() = default;
};

}  // namespace koruvan::engine
