#include "engine/core/TaskBtLink.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "engine/core/EngineState.h"
#include "engine/core/OutgoingHandshakes.h"
#include "engine/core/TPieces.h"
#include "engine/core/TWorkThread.h"
#include "engine/core/TransferPacing.h"
#include "engine/peers/BtWire.h"
#include "engine/peers/TPeerId.h"

namespace koruvan::engine {

bool TaskBtLink::BuildHandshake() {
    const auto& hash = task_.InfoHash();
    if (!hash.has_value() ||
        std::all_of(hash->begin(), hash->end(), [](std::uint8_t b) { return b == 0; })) {
        built_ = false;
        return false;
    }
    if (built_ && std::memcmp(area_.data(), hash->data(), 20) == 0) {
        return true;
    }
    std::memcpy(area_.data(), hash->data(), 20);
    const auto handshake = bt::BuildHandshake(*hash, task_.trackerLink_.OwnPeerId());
    std::memcpy(area_.data() + 64, handshake.data(), handshake.size());
    built_ = true;
    return true;
}

const std::uint8_t* TaskBtLink::HandshakeBytes() {
    return BuildHandshake() ? area_.data() + 64 : nullptr;
}

bool TaskBtLink::IsOwnPeerId(const std::uint8_t* peerId) {
    return peerId == nullptr || task_.IsHttpTask() ||
           std::memcmp(peerId, task_.trackerLink_.OwnPeerId().data(), 20) == 0;
}

bool TaskBtLink::IsConnectedPeerId(const TPeerObject* self, std::uint32_t ip,
                                   const std::uint8_t* peerId) {
    return task_.TWorkWithPeers::IsConnectedPeerId(self, ip, peerId);
}

TPeerId* TaskBtLink::IncomingIdentity(std::uint32_t ip, std::uint16_t port) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&ip);
    char text[40];
    std::snprintf(text, sizeof text, "btnode://%u.%u.%u.%u:%u", b[0], b[1], b[2], b[3],
                  static_cast<unsigned>(port));
    auto* identity = new TPeerId(text, 19);
    identity->kind = kKindBitTorrent;
    identity->ip = ip;
    identity->port = port;
    identity->parsed = true;
    identity->resolved = true;
    return identity;
}

const std::vector<std::uint8_t>& TaskBtLink::OwnBitfield() {
    return task_.Pieces() != nullptr ? task_.Pieces()->Bitfield() : noBits_;
}

bool TaskBtLink::HavePiece(std::int32_t piece) {
    return task_.Pieces() != nullptr && task_.Pieces()->Have(piece);
}

bool TaskBtLink::ReadBlock(std::int32_t piece, std::int32_t begin, std::int32_t length,
                           std::uint8_t* out) {
    TPieces* map = task_.Pieces();
    if (map == nullptr || !map->Have(piece) || begin < 0 || length <= 0 ||
        static_cast<std::int64_t>(begin) + length > map->PieceSize(piece)) {
        return false;
    }
    return map->ReadPiece(piece, begin, length, out) == length;
}

std::int32_t TaskBtLink::UploadBudgetLeft() {
    return task_.RemainingUploadBudget();
}

std::int32_t TaskBtLink::UploadBudget() {
    return task_.uploadBudget_;
}

bool TaskBtLink::UploadLimited() {
    return task_.uploadBudget_ < kUnlimitedBytesPerSecond;
}

void TaskBtLink::AddUploaded(std::int32_t bytes) {
    task_.AddUploaded(bytes);
}

std::int32_t TaskBtLink::PendingUploadPeers() {
    return task_.pendingUploadPeers_;
}

std::int32_t TaskBtLink::ActivePeers() {
    return task_.ConnectedPeerCount();
}

std::atomic<std::int64_t>& TaskBtLink::QueuedUploadBytes() {
    return Engine().queuedUploadBytes;
}

bool TaskBtLink::PickBlocks(std::vector<BlockRequest>& out, std::span<const std::uint8_t> bits,
                            std::int32_t max, std::span<const std::int32_t> exclude) {
    return task_.TWorkWithPieces::PickBlocks(out, bits, max, exclude);
}

bool TaskBtLink::WantsPiece(std::int32_t piece) {
    return task_.TWorkWithPieces::WantsPiece(piece);
}

bool TaskBtLink::MarkTaken(std::int32_t piece) {
    return task_.MarkRequested(piece, true, false);
}

void TaskBtLink::Untake(std::int32_t piece) {
    (void)task_.MarkRequested(piece, false, false);
}

std::uint32_t TaskBtLink::OfferSerial() {
    return task_.Requests().OfferSerial();
}

std::int32_t TaskBtLink::StartPiece() {
    return task_.TWorkWithPieces::RandomStartPiece();
}

bool TaskBtLink::HasWebSources() {
    return !task_.UsableWebSources().empty();
}

std::int64_t TaskBtLink::SecondsRunning() {
    return task_.SecondsSinceStart();
}

std::int32_t TaskBtLink::PiecesMissing() {
    const TPieces* map = task_.Pieces();
    return map != nullptr ? map->PieceCount() - map->PiecesDone() : 0;
}

bool TaskBtLink::DisguiseOutgoing() {
    return Engine().btPeerFlag.load() != 0;
}

std::uint32_t TaskBtLink::BindAddress() {
    return Engine().bindAddress.load();
}

// The seam of the UDP transport: usable once the engine's UDP server runs and has not been
// switched off (an incoming connection from outside the local network switches it off).
bool TaskBtLink::UdpTransportAvailable() {
    return !Engine().transportDisabled.load();
}

void TaskBtLink::NoteOutgoingHandshake(std::uint32_t ip, bool underWay) {
    if (underWay) {
        BeginOutgoingHandshake(ip);
    } else {
        EndOutgoingHandshake(ip);
    }
}

void TaskBtLink::ReportRemotePieces(TPeerId* identity, std::int32_t count) {
    if (identity != nullptr && count > 0 && task_.Pieces() != nullptr &&
        count >= task_.Pieces()->PieceCount()) {
        identity->Details().remoteSize = task_.Pieces()->TotalSize();  // a seed
    }
}

const std::uint8_t* TaskBtLink::ServiceInfoHash() {
    return built_ ? area_.data() : nullptr;
}

const std::uint8_t* TaskBtLink::ServicePeerId() {
    return area_.data() + 64 + 48;
}

bool TaskBtLink::CheckIncomingHandshake(const TPeerConnection& connection) {
    return built_ &&
           bt::HandshakeMatches(connection.Data(), static_cast<std::size_t>(connection.DataSize()),
                                area_.data());
}

bool TaskBtLink::AcceptIncoming(std::unique_ptr<TPeerConnection>& connection) {
    return task_.AcceptIncomingPeer(connection);
}

bool TaskBtLink::AddressFiltered(std::uint32_t ip) {
    return task_.IsFiltered(ip);
}

void TaskBtLink::AddLocalPeer(std::uint32_t ip, std::uint16_t port,
                              const std::array<std::uint8_t, 20>& peerId) {
    if (IsOwnPeerId(peerId.data())) {
        return;
    }
    TPeerId* identity =
        task_.AddAddressCandidate(ip, port, kKindBitTorrent, true, kLocalPeerPriority);
    if (identity != nullptr) {
        identity->peerId = peerId;
        identity->backOff = 0;
    }
}

void TaskBtLink::ServiceAddressChanged(std::uint32_t ip, std::uint16_t port) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&ip);
    char text[48];
    if (port == 0) {
        std::snprintf(text, sizeof text, "Service Disabled!");
    } else {
        std::snprintf(text, sizeof text, "%u.%u.%u.%u : %u", b[0], b[1], b[2], b[3],
                      static_cast<unsigned>(port));
    }
    task_.serviceText_ = text;
}

}  // namespace koruvan::engine
