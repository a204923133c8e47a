#include "engine/core/TaskTrackerLink.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/core/EngineState.h"
#include "engine/core/TWorkThread.h"
#include "engine/core/base/EngineClock.h"
#include "engine/core/base/ThreadId.h"
#include "engine/peers/IpAddress.h"
#include "engine/peers/Resolver.h"

namespace koruvan::engine {
namespace {

constexpr std::uint32_t kLoopbackHost = 0x7F000001u;  // 127.0.0.1
constexpr std::int32_t kTrackerPeerPriority = 19;

std::int32_t Clamp32(std::int64_t value) {
    return static_cast<std::int32_t>(
        std::clamp<std::int64_t>(value, 0, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

std::uint16_t TaskTrackerLink::ListenPort() noexcept {
    const std::int32_t port = Engine().listenPort.load();
    return port > 0 && port <= 0xFFFF ? static_cast<std::uint16_t>(port) : kDefaultListenPort;
}

std::uint32_t TaskTrackerLink::BindAddress() {
    // The engine-wide bind address (0: the system chooses the local address).
    return Engine().bindAddress.load();
}

const PeerIdBytes& TaskTrackerLink::OwnPeerId() {
    if (!peerId_) {
        const auto& trackers = task_.MetainfoTrackers();
        PeerIdBytes id = BuildPeerId(trackers.empty() ? std::string() : trackers.front(),
                                     CurrentThreadId(), reinterpret_cast<std::uintptr_t>(&task_),
                                     TickCount(), FormatDotted(BindAddress()));
        std::memcpy(id.data() + 8, Engine().nodeId.data(), 12);
        peerId_ = id;
    }
    return *peerId_;
}

bool TaskTrackerLink::AnnounceInfo(TrackerAnnounceInfo& out) {
    const auto& hash = task_.InfoHash();
    if (!hash.has_value() || !task_.HasMetainfo()) {
        return false;
    }
    out.infoHash = *hash;
    const auto& trackers = task_.MetainfoTrackers();
    out.announceUrl = trackers.empty() ? std::string() : trackers.front();
    out.ownPeerId = OwnPeerId();
    out.downloaded = task_.work_.totalDownloaded;
    out.uploaded = task_.work_.totalUploaded;
    out.totalSize = task_.work_.totalSize;
    out.bytesCompleted = task_.work_.bytesDone;
    out.listenPort = ListenPort();
    out.announcedAddress = Engine().bindAddress.load();  // the P2P listener's address
    return true;
}

void TaskTrackerLink::AddLearnedPeer(const LearnedPeer& peer) {
    if (peer.ip == HostToNet32(kLoopbackHost)) {
        return;  // the engine takes no BitTorrent party at 127.0.0.1
    }
    const std::uint32_t own = BindAddress();
    if (own != 0 && peer.ip == own && peer.port == ListenPort()) {
        return;  // this task itself
    }
    if (peer.hasPeerId && peer.peerId == OwnPeerId()) {
        return;
    }
    TPeerId* identity =
        task_.AddAddressCandidate(peer.ip, peer.port, kKindBitTorrent, false, kTrackerPeerPriority);
    if (identity != nullptr && peer.hasPeerId) {
        identity->peerId = peer.peerId;
    }
}

void TaskTrackerLink::StoreAnnounceReply(std::int32_t interval, std::int64_t seeds,
                                         std::int64_t completed) {
    task_.work_.announceInterval = interval;
    if (seeds >= 0) {
        task_.work_.trackerSeeds = Clamp32(seeds);
    }
    if (completed >= 0) {
        task_.work_.trackerCompleted = Clamp32(completed);
    }
    task_.publishPending_ = true;
}

}  // namespace koruvan::engine
