// A download task's use of the DHT: one peer search per torrent, restarted at intervals
// that shrink when the task knows few peers; the peers found go to the task's candidates.
//
// Task thread only: no lock of its own. The action it holds has its own lock and is shared
// with the node, which may still step it while the task lets go of it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/dht/KadNodeId.h"

namespace koruvan::engine {

class CKademlia;
class CKadActionBitTorrent;

inline constexpr std::size_t kMaxNodeSourcePings = 6;

class TaskDhtSearch {
  public:
    TaskDhtSearch() = default;
    ~TaskDhtSearch();
    TaskDhtSearch(const TaskDhtSearch&) = delete;
    TaskDhtSearch& operator=(const TaskDhtSearch&) = delete;

    struct Round {
        KadNodeId infoHash;
        int listenPort = 0;
        int peerCount = 0;                 // entries of the task's peer list
        std::vector<std::string> sources;  // the task's source texts ("node://ip:port" pinged)
    };

    // One poll of the search on `node`; returns the compact peers found since the last poll.
    std::string Drive(CKademlia& node, const Round& round);
    // Drops the search (torrent gone, DHT switched off).
    void Drop();

    // Seconds a finished search waits before it runs again, by the task's peer count.
    [[nodiscard]] static std::uint32_t RestartDelay(int peerCount) noexcept;
    [[nodiscard]] bool HasAction() const noexcept { return action_ != nullptr; }

  private:
    void PingNodeSources(CKademlia& node, const std::vector<std::string>& sources);

    CKademlia* node_ = nullptr;
    std::shared_ptr<CKadActionBitTorrent> action_;
    bool finishHandled_ = false;
};

}  // namespace koruvan::engine
