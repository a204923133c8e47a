// The task's BitTorrent peers: connecting candidates, taking incoming connections from the
// P2P service, the per-second request checks, choking and upload slots, the have batches,
// and refusing parties that send bad data.
#include <algorithm>
#include <cstring>

#include "engine/core/CandidateRules.h"
#include "engine/core/EngineState.h"
#include "engine/core/OutgoingHandshakes.h"
#include "engine/core/OwnListener.h"
#include "engine/core/TWorkWithPieces.h"
#include "engine/core/base/KoruvanLog.h"
#include "engine/peers/IpAddress.h"
#include "engine/peers/TBTPeer.h"

namespace koruvan::engine {
namespace {

constexpr std::int32_t kNewConnectionsPerPass = 16;
constexpr std::int32_t kBadDataLimit = 2;
constexpr std::int32_t kStalledEvaluations = 6;
constexpr std::uint32_t kLoopbackHostIp = 0x0100007Fu;  // 127.0.0.1, network order

TBTPeer* AsBt(TPeerObject* peer) {
    return peer != nullptr && peer->Kind() == kKindBitTorrent ? static_cast<TBTPeer*>(peer)
                                                              : nullptr;
}

}  // namespace

std::int32_t TWorkWithPeers::ConnectedBtPeers() const {
    return static_cast<std::int32_t>(std::count_if(peers_.begin(), peers_.end(), [](auto* p) {
        return p->Kind() == kKindBitTorrent && p->IsEstablished();
    }));
}

bool TWorkWithPeers::IsConnectedPeerId(const TPeerObject* self, std::uint32_t ip,
                                       const std::uint8_t* peerId) const {
    return std::any_of(peers_.begin(), peers_.end(), [&](const TPeerObject* p) {
        return p != self && p->Kind() == kKindBitTorrent && p->IsEstablished() &&
               p->Identity() != nullptr && p->Identity()->ip == ip &&
               std::memcmp(p->Identity()->peerId.data(), peerId, 20) == 0;
    });
}

void TWorkWithPeers::NotePieceFailure(std::uint32_t ip) {
    auto it = std::find_if(pieceFailures_.begin(), pieceFailures_.end(),
                           [ip](const auto& e) { return e.first == ip; });
    if (it == pieceFailures_.end()) {
        pieceFailures_.emplace_back(ip, 0);
        it = pieceFailures_.end() - 1;
    }
    if (++it->second < kBadDataLimit ||
        std::find(refused_.begin(), refused_.end(), ip) != refused_.end()) {
        return;
    }
    refused_.push_back(ip);
    for (TPeerId*& c : candidates_) {
        if (c != nullptr && c->kind == kKindBitTorrent && c->ip == ip) {
            c->Release();
            c = nullptr;
        }
    }
    SortCandidates();
    const auto* b = reinterpret_cast<const std::uint8_t*>(&ip);
    char line[96];
    std::snprintf(line, sizeof line, "BT peer %u.%u.%u.%u refused] [repeated bad pieces", b[0],
                  b[1], b[2], b[3]);
    WriteLog(line, 23, 23);
}

void TWorkWithPeers::ConnectPeers() {
    BtPeerTask* bt = AsBtTask();
    if (bt == nullptr) {
        return;
    }
    if (!AsPeerTask().P2PEnabled()) {
        DropPeers(kKindBitTorrent, 1, false);
        return;
    }
    if (bt->HandshakeBytes() == nullptr) {
        return;
    }
    std::int32_t active = 0;
    std::int32_t pending = 0;
    for (const TPeerObject* p : peers_) {
        if (p->Kind() == kKindBitTorrent && p->IsConnected()) {
            ++active;
            pending += p->ConnState() == kConnPending && !p->Record().incoming ? 1 : 0;
        }
    }
    std::int32_t needed = std::min({MaxBtPeers() - active, kNewConnectionsPerPass,
                                    Engine().pendingConnectionLimit.load() - pending});
    if (needed <= 0) {
        return;
    }
    const EligibilityContext context{Downloading(), CurrentTaskClock()};
    for (TPeerId* c : std::vector<TPeerId*>(candidates_)) {
        if (needed <= 0) {
            break;
        }
        if (c == nullptr || c->kind != kKindBitTorrent || c->ip == kLoopbackHostIp ||
            IsFiltered(c->ip) || IsOwnListener(c->ip, c->port) ||
            OutgoingHandshakeUnderWay(c->ip) ||
            (c->DetailsIfAny() != nullptr &&
             (c->DetailsIfAny()->excluded || c->DetailsIfAny()->metainfoSource)) ||
            !CheckEligible(*c, context)) {
            continue;
        }
        const bool connected = std::any_of(peers_.begin(), peers_.end(), [c](const auto* p) {
            const TPeerId* id = p->Identity();
            return p->Kind() == kKindBitTorrent && p->IsConnected() && id != nullptr &&
                   id->ip == c->ip && (id->port == c->port || id->peerId == c->peerId);
        });
        if (connected) {
            continue;
        }
        TPeerObject* peer = CreatePeer(kKindBitTorrent);
        if (peer == nullptr) {
            return;
        }
        peer->SetNumber(++peerNumber_);
        c->lastConnectTime = static_cast<std::uint64_t>(CurrentTaskClock());
        if (!peer->Connect(c)) {
            ReportFailure(c, nullptr, 1);
            ReleasePeer(peer);
            continue;
        }
        peers_.push_back(peer);
        --needed;
    }
    SortCandidates();
}

bool TWorkWithPeers::AcceptIncomingPeer(std::unique_ptr<TPeerConnection>& connection) {
    if (AsBtTask() == nullptr || connection == nullptr || !AsPeerTask().P2PEnabled()) {
        return false;
    }
    const std::uint32_t ip = connection->RemoteIp();
    if (ip == kLoopbackHostIp || IsFiltered(ip)) {
        return false;
    }
    const auto maxPeers = static_cast<std::size_t>(options_.maxPeers);
    const auto withData = static_cast<std::size_t>(
        std::count_if(peers_.begin(), peers_.end(), [](const TPeerObject* p) {
            return p->IsConnected() && p->Connection()->BytesReceived() > 0;
        }));
    if (!(peers_.size() < maxPeers + 4 || withData < maxPeers)) {
        return false;
    }
    if (connection->DataSize() >= 68) {
        const std::uint8_t* remoteId = connection->Data() + 48;
        if (AsBtTask()->IsOwnPeerId(remoteId) || IsConnectedPeerId(nullptr, ip, remoteId)) {
            return false;
        }
    }
    TPeerObject* peer = CreatePeer(kKindBitTorrent);
    if (peer == nullptr) {
        return false;
    }
    if (!peer->AttachConnection(std::move(connection)) || !peer->SendHandshake()) {
        ReleasePeer(peer);
        return false;
    }
    peer->SetNumber(++peerNumber_);
    peers_.push_back(peer);
    return true;
}

void TWorkWithPeers::BitTorrentSecond() {
    for (std::size_t i = 0; i < peers_.size();) {
        TBTPeer* peer = AsBt(peers_[i]);
        if (peer == nullptr || !peer->IsEstablished()) {
            ++i;
            continue;
        }
        peer->CancelObsolete();
        if (!peer->RequestBlocks(false)) {
            RetirePeer(i);
            continue;
        }
        ++i;
    }
}

void TWorkWithPeers::BitTorrentEvaluation(std::int32_t uploadSlots) {
    const bool complete = !Downloading();
    std::int32_t unchoked = 0;
    for (std::size_t i = 0; i < peers_.size();) {
        TBTPeer* peer = AsBt(peers_[i]);
        if (peer == nullptr || !peer->IsEstablished()) {
            ++i;
            continue;
        }
        // Counted up here, set back by every step that moves bytes: a connection silent for
        // five evaluations goes at every fourth evaluation.
        const bool stalled =
            ++peer->Record().stallCount >= kStalledEvaluations && evaluations_ % 4 == 0;
        if ((complete && peer->IsSettledSeed()) || peer->IsSlow() || stalled) {
            peers_.erase(peers_.begin() + static_cast<std::ptrdiff_t>(i));
            ReleasePeer(peer);
            continue;
        }
        bool ok = true;
        if (peer->RemoteInterested()) {
            if (unchoked < uploadSlots) {
                ++unchoked;
                ok = !peer->WeChoke() || peer->Unchoke();
            } else if (!peer->WeChoke()) {
                ok = peer->Choke();
            }
        }
        if (!ok) {
            RetirePeer(i);
            continue;
        }
        ++i;
    }
}

void TWorkWithPieces::SendToBitTorrentPeers(const std::string& bytes) {
    for (TPeerObject* peer : peers_) {
        if (TBTPeer* bt = AsBt(peer); bt != nullptr && bt->IsEstablished()) {
            (void)bt->SendRaw(bytes);
        }
    }
}

}  // namespace koruvan::engine
