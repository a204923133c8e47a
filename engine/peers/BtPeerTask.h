// What a BitTorrent peer needs from its task beyond the common peer calls (PeerTask): the
// handshake record and own peer id, the task's own pieces for the bitfield and uploads,
// the upload budget and accounting, the piece choice helpers (shared pool, requested
// pieces, priority pieces, random start), the duplicate checks, the engine's disguise
// switch, bind address and UDP transport, and the reports peer management keeps.
//
// Called on the task's work thread only.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/peers/BlockRequest.h"
#include "engine/peers/ProxySettings.h"

namespace koruvan::engine {

class TPeerId;
class TPeerObject;

class BtPeerTask {
  public:
    // The task's 68-byte handshake, null while the task has no info hash.
    [[nodiscard]] virtual const std::uint8_t* HandshakeBytes() = 0;
    [[nodiscard]] virtual bool IsOwnPeerId(const std::uint8_t* peerId) = 0;
    // Another established BitTorrent peer than `self` at the address with this peer id.
    [[nodiscard]] virtual bool IsConnectedPeerId(const TPeerObject* self, std::uint32_t ip,
                                                 const std::uint8_t* peerId) = 0;
    // A BitTorrent identity for an incoming connection (counted reference for the caller).
    [[nodiscard]] virtual TPeerId* IncomingIdentity(std::uint32_t ip, std::uint16_t port) = 0;
    // The task's piece bit map (most significant bit first), empty without a piece map.
    [[nodiscard]] virtual const std::vector<std::uint8_t>& OwnBitfield() = 0;
    [[nodiscard]] virtual bool HavePiece(std::int32_t piece) = 0;
    // Reads `length` bytes at `begin` of `piece`; false when they cannot be read.
    [[nodiscard]] virtual bool ReadBlock(std::int32_t piece, std::int32_t begin,
                                         std::int32_t length, std::uint8_t* out) = 0;

    // Upload budget left in this pass, the pass's whole upload budget, payload accounting
    // and the count of peers with pending upload.
    [[nodiscard]] virtual std::int32_t UploadBudgetLeft() = 0;
    [[nodiscard]] virtual std::int32_t UploadBudget() = 0;
    // Whether an upload limit is set (the budget is not unlimited).
    [[nodiscard]] virtual bool UploadLimited() = 0;
    virtual void AddUploaded(std::int32_t bytes) = 0;
    [[nodiscard]] virtual std::int32_t PendingUploadPeers() = 0;
    [[nodiscard]] virtual std::int32_t ActivePeers() = 0;
    // Bytes the upload queues of every peer of the engine stand for (UploadQueue).
    [[nodiscard]] virtual std::atomic<std::int64_t>& QueuedUploadBytes() = 0;

    // Piece choice.
    virtual bool PickBlocks(std::vector<BlockRequest>& out, std::span<const std::uint8_t> bits,
                            std::int32_t max, std::span<const std::int32_t> exclude) = 0;
    [[nodiscard]] virtual bool WantsPiece(std::int32_t piece) = 0;
    // Marks a piece as requested by a peer (false when refused) or gives that back.
    virtual bool MarkTaken(std::int32_t piece) = 0;
    virtual void Untake(std::int32_t piece) = 0;
    // Moves whenever a piece is given back to be taken again (Untake, a failed check).
    [[nodiscard]] virtual std::uint32_t OfferSerial() = 0;
    [[nodiscard]] virtual std::span<const std::int32_t> PriorityPieces() = 0;
    [[nodiscard]] virtual std::int32_t StartPiece() = 0;
    [[nodiscard]] virtual bool HasWebSources() = 0;
    [[nodiscard]] virtual std::int64_t SecondsRunning() = 0;
    [[nodiscard]] virtual std::int32_t PiecesMissing() = 0;

    // Connection settings.
    [[nodiscard]] virtual bool DisguiseOutgoing() = 0;
    [[nodiscard]] virtual std::uint32_t BindAddress() = 0;
    [[nodiscard]] virtual bool UdpTransportAvailable() = 0;
    // An outgoing handshake to the address begins or ends (engine-wide turns per address).
    virtual void NoteOutgoingHandshake(std::uint32_t ip, bool underWay) = 0;
    [[nodiscard]] virtual const TProxySettings* Proxy() { return nullptr; }

    // Reports.
    virtual void RecordRemoteAddress(std::uint32_t ip) = 0;
    virtual void ReportRemotePieces(TPeerId* identity, std::int32_t count) = 0;

  protected:
    ~BtPeerTask() = default;
};

}  // namespace koruvan::engine
