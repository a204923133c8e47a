// Opening a BitTorrent connection: the dial (TCP, or the UDP transport for a party TCP could
// not reach), the handshake with its disguise in both directions, the checks of the
// remote's handshake, and the fallback to the plain handshake for a party that does not
// speak the disguise.
#include <algorithm>
#include <cstring>

#include "engine/core/base/EngineClock.h"
#include "engine/peers/TBTPeer.h"

namespace koruvan::engine {
namespace {

// Interested and unchoke, sent right after the handshake.
constexpr std::uint8_t kInterestedUnchoke[10] = {0, 0, 0, 1, 2, 0, 0, 0, 1, 1};

}  // namespace

bool TBTPeer::Connect(TPeerId* identity) {
    Reset();
    if (!TPeerObject::Connect(identity)) {
        return false;
    }
    record_.incoming = false;
    connectStart_ = task_->PeerClock();
    sentAtConnect_ = connection_->LifetimeBytesSent();
    ++identity->activeConnections;  // given back by Reset, also after a failed dial
    ++identity->connectionsMade;
    // Every third attempt to a party that TCP could not reach goes over the UDP transport
    // (its node id comes from the peer id) once that transport exists.
    udp_ = false;
    std::uint8_t node[8];
    const std::uint8_t* nodeId = nullptr;
    if (!identity->directlyConnectable && bt_->UdpTransportAvailable() &&
        identity->failures % 3 == 0) {
        const bool trackerLearned =
            std::memcmp(identity->peerId.data() + 14, &identity->ip, 4) == 0 &&
            std::all_of(identity->peerId.begin(), identity->peerId.begin() + 14,
                        [](std::uint8_t b) { return b == 0; });
        std::memcpy(node, identity->peerId.data() + (trackerLearned ? 12 : 8), 8);
        nodeId = node;
        udp_ = true;
    }
    if (!connection_->Connect(identity->ip, identity->port, false, bt_->Proxy(), bt_->BindAddress(),
                              nodeId)) {
        return false;
    }
    connState_ = kConnPending;
    handshakeTo_ = identity->ip;
    bt_->NoteOutgoingHandshake(handshakeTo_, true);
    return SendHandshake();
}

void TBTPeer::EndHandshakeTurn() {
    if (handshakeTo_ != 0) {
        bt_->NoteOutgoingHandshake(handshakeTo_, false);
        handshakeTo_ = 0;
    }
}

bool TBTPeer::SendHandshake() {
    const std::uint8_t* handshake = bt_->HandshakeBytes();
    if (handshake == nullptr || connection_ == nullptr) {
        return false;
    }
    std::string head;
    if (record_.incoming && connection_->Disguised()) {
        head = bt::DisguiseReply(EngineTime() % 2 != 0, EngineSeconds() % 2 == 0);
    } else if (!record_.incoming && !udp_ && peerId_ != nullptr && !peerId_->plainHandshake &&
               (bt_->DisguiseOutgoing() || peerId_->failures % 3 == 1)) {
        head = bt::DisguiseRequest(peerId_->ip, peerId_->port, peerId_->failures % 2 == 0);
        disguisedOut_ = true;
    }
    const bool waiting = connection_->PendingSend() > 0;
    if (!head.empty() && !connection_->Queue(reinterpret_cast<const std::uint8_t*>(head.data()),
                                             static_cast<std::int32_t>(head.size()))) {
        return false;
    }
    if (!connection_->Queue(handshake, bt::kHandshakeSize)) {
        return false;
    }
    if (waiting && connection_->IsConnected()) {
        return connection_->Flush() >= 0;
    }
    return true;
}

bool TBTPeer::CheckHandshake(TPeerConnection* connection) {
    if (connection == nullptr || connState_ != kConnPending ||
        connection->DataSize() < bt::kHandshakeSize) {
        return false;
    }
    const std::uint8_t* handshake = bt_->HandshakeBytes();
    const std::uint8_t* data = connection->Data();
    if (handshake == nullptr || !bt::HandshakeMatches(data, bt::kHandshakeSize, handshake + 28)) {
        return false;
    }
    const std::uint8_t* remoteId = data + 48;
    if (bt_->IsOwnPeerId(remoteId)) {
        return false;
    }
    if (peerId_ == nullptr) {
        peerId_ = bt_->IncomingIdentity(connection->RemoteIp(), connection->RemotePort());
        if (peerId_ == nullptr) {
            return false;
        }
        ++peerId_->activeConnections;
    }
    if (bt_->IsConnectedPeerId(this, connection->RemoteIp(), remoteId)) {
        return false;
    }
    std::memcpy(peerId_->peerId.data(), remoteId, 20);
    return true;
}

bool TBTPeer::FinishHandshake(std::int64_t now) {
    if (connection_->DataSize() > 0 && connection_->Data()[0] != 19) {
        std::size_t header = 0;
        const bt::Disguise found = bt::FindDisguise(
            connection_->Data(), static_cast<std::size_t>(connection_->DataSize()), header);
        if (found == bt::Disguise::kHeader) {
            connection_->Consume(static_cast<std::int32_t>(header));
            connection_->SetDisguised(true);
            answered_ = true;  // the remote speaks the disguise
        } else if (found == bt::Disguise::kIncomplete) {
            return now - connectStart_ <= kHandshakeSeconds;
        }
    }
    answered_ = answered_ ||
                bt::HandshakeMatches(connection_->Data(),
                                     static_cast<std::size_t>(connection_->DataSize()), nullptr);
    if (connection_->DataSize() < bt::kHandshakeSize) {
        return now - connectStart_ <= kHandshakeSeconds;
    }
    if (!CheckHandshake(connection_.get())) {
        connection_->Close();
        connState_ = kConnNone;
        return false;
    }
    bt_->RecordRemoteAddress(connection_->RemoteIp());
    EndHandshakeTurn();
    if (!record_.incoming && !udp_) {
        peerId_->directlyConnectable = true;
    }
    connState_ = kConnEstablished;
    established_ = now;
    connection_->Consume(bt::kHandshakeSize);
    const std::int32_t pieces = task_->PieceCount();
    remotePieces_.assign(static_cast<std::size_t>(std::max(pieces, 0) + 7) / 8, 0);
    excluded_.assign(remotePieces_.size(), 0);
    const std::vector<std::uint8_t>& own = bt_->OwnBitfield();
    if (std::any_of(own.begin(), own.end(), [](std::uint8_t b) { return b != 0; }) &&
        !SendNow(bt::BitfieldMessage(own.data(), own.size()))) {
        return false;
    }
    have_ = BtHaveRecord{};
    chokedSince_ = now;
    transferState_ = kTransferChoked;
    remoteChokes_ = true;
    weChoke_ = true;
    record_.fresh = true;
    if (!connection_->Queue(kInterestedUnchoke, sizeof kInterestedUnchoke)) {
        return false;
    }
    record_.settled = false;
    weChoke_ = false;
    have_.ready = true;
    connection_->SetReceiveBuffer(kSocketBuffer);
    return true;
}

// A standard client reads our disguised opening as a malformed handshake and closes the
// connection (or never answers). Once the disguised opening went out over TCP and no
// handshake came back, the party is dialled plain from now on, at the next connect pass:
// this attempt is no failure of the party.
bool TBTPeer::HandshakeFailed() {
    if (!record_.incoming && !udp_ && disguisedOut_ && !answered_ && established_ == 0 &&
        peerId_ != nullptr && connection_ != nullptr &&
        connection_->LifetimeBytesSent() > sentAtConnect_) {
        disguiseRefused_ = true;
        peerId_->plainHandshake = true;
        peerId_->directlyConnectable = true;  // TCP reached it
    }
    return false;
}

}  // namespace koruvan::engine
