// The task as its tracker clients see it: what an announce tells the tracker, the local
// address announces go out from, and where the tracker's answer goes.
//
// Task thread only, like the tracker clients themselves.
#pragma once

#include <optional>

#include "engine/peers/TTrackerTask.h"

namespace koruvan::engine {

class TWorkThread;

// The engine's listening port when none was set.
inline constexpr std::uint16_t kDefaultListenPort = 8080;

class TaskTrackerLink final : public TrackerTask {
  public:
    explicit TaskTrackerLink(TWorkThread& task) : task_(task) {}

    bool AnnounceInfo(TrackerAnnounceInfo& out) override;
    std::uint32_t BindAddress() override;
    void AddLearnedPeer(const LearnedPeer& peer) override;
    void StoreAnnounceReply(std::int32_t interval, std::int64_t seeds,
                            std::int64_t completed) override;

    // The task's BitTorrent peer id, made once: "%00%01Kv", an MD5 digest, and from byte 8
    // on the first 12 bytes of the process node id.
    const PeerIdBytes& OwnPeerId();
    [[nodiscard]] static std::uint16_t ListenPort() noexcept;

  private:
    TWorkThread& task_;
    std::optional<PeerIdBytes> peerId_;
};

}  // namespace koruvan::engine
