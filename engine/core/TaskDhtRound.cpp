// The task's side of the DHT search: what the task tells its search each second and where
// the peers found go.
#include "engine/core/EngineDht.h"
#include "engine/core/EngineState.h"
#include "engine/core/TWorkThread.h"
#include "engine/core/TaskTrackerLink.h"
#include "engine/core/base/EngineClock.h"
#include "engine/core/base/LockGuard.h"
#include "engine/dht/CKademlia.h"

namespace koruvan::engine {

void TWorkThread::DriveDhtSearch() {
    const std::uint32_t now = EngineSeconds();
    if (now == lastDhtPoll_) {
        return;
    }
    lastDhtPoll_ = now;
    bool taskAllows = false;
    {
        LockGuard guard(&ThreadLock(), true);
        taskAllows = options_.dhtEnabled;
    }
    if (!Engine().dhtSearch.load() || !Engine().p2pEnabled.load() || !taskAllows ||
        !HasMetainfo() || !InfoHash() || !CKademlia::HasInstance()) {
        return;
    }
    CKademlia& node = CKademlia::Instance();
    if (!node.IsNodeRunning()) {
        return;
    }
    TaskDhtSearch::Round round;
    round.infoHash = KadNodeId::FromBytes(InfoHash()->data());
    round.listenPort = TaskTrackerLink::ListenPort();
    round.peerCount = static_cast<int>(Peers().size());
    for (const SourceEntry& s : SourceEntries()) {
        round.sources.push_back(s.text);
    }
    const std::string peers = dhtSearch_.Drive(node, round);
    if (!peers.empty()) {
        AddCompactPeers(reinterpret_cast<const std::uint8_t*>(peers.data()), peers.size());
    }
}

}  // namespace koruvan::engine
