// The task as its BitTorrent peers and the P2P service see it: the handshake area (info
// hash, the 68-byte handshake and the peer id), the task's pieces for bitfields and uploads,
// the upload budget, piece choice, incoming connections and local-discovery peers.
//
// Task thread only; the service calls it on the task's own thread (under TaskRegistryLock).
#pragma once

#include <array>
#include <cstdint>

#include "engine/core/P2PService.h"
#include "engine/peers/BtPeerTask.h"

namespace koruvan::engine {

class TWorkThread;

class TaskBtLink final : public BtPeerTask, public ServiceTask {
  public:
    explicit TaskBtLink(TWorkThread& task) : task_(task) {}

    // Builds the handshake area once the task has an info hash; false while it has none.
    bool BuildHandshake();
    void ClearHandshake() noexcept { built_ = false; }

    // BtPeerTask
    const std::uint8_t* HandshakeBytes() override;
    bool IsOwnPeerId(const std::uint8_t* peerId) override;
    bool IsConnectedPeerId(const TPeerObject* self, std::uint32_t ip,
                           const std::uint8_t* peerId) override;
    TPeerId* IncomingIdentity(std::uint32_t ip, std::uint16_t port) override;
    const std::vector<std::uint8_t>& OwnBitfield() override;
    bool HavePiece(std::int32_t piece) override;
    bool ReadBlock(std::int32_t piece, std::int32_t begin, std::int32_t length,
                   std::uint8_t* out) override;
    std::int32_t UploadBudgetLeft() override;
    std::int32_t UploadBudget() override;
    bool UploadLimited() override;
    void AddUploaded(std::int32_t bytes) override;
    std::int32_t PendingUploadPeers() override;
    std::int32_t ActivePeers() override;
    std::atomic<std::int64_t>& QueuedUploadBytes() override;
    bool PickBlocks(std::vector<BlockRequest>& out, std::span<const std::uint8_t> bits,
                    std::int32_t max, std::span<const std::int32_t> exclude) override;
    bool WantsPiece(std::int32_t piece) override;
    bool MarkTaken(std::int32_t piece) override;
    void Untake(std::int32_t piece) override;
    std::uint32_t OfferSerial() override;
    std::span<const std::int32_t> PriorityPieces() override { return {}; }
    std::int32_t StartPiece() override;
    bool HasWebSources() override;
    std::int64_t SecondsRunning() override;
    std::int32_t PiecesMissing() override;
    bool DisguiseOutgoing() override;
    std::uint32_t BindAddress() override;
    bool UdpTransportAvailable() override;
    void NoteOutgoingHandshake(std::uint32_t ip, bool underWay) override;
    void RecordRemoteAddress(std::uint32_t ip) override { lastRemote_ = ip; }
    void ReportRemotePieces(TPeerId* identity, std::int32_t count) override;

    // ServiceTask
    const std::uint8_t* ServiceInfoHash() override;
    const std::uint8_t* ServicePeerId() override;
    bool CheckIncomingHandshake(const TPeerConnection& connection) override;
    bool AcceptIncoming(std::unique_ptr<TPeerConnection>& connection) override;
    bool AddressFiltered(std::uint32_t ip) override;
    void AddLocalPeer(std::uint32_t ip, std::uint16_t port,
                      const std::array<std::uint8_t, 20>& peerId) override;
    void ServiceAddressChanged(std::uint32_t ip, std::uint16_t port) override;

  private:
    TWorkThread& task_;
    // bytes 0..19 info hash; 64..131 the handshake (its bytes 48..67 the peer id).
    std::array<std::uint8_t, 132> area_{};
    bool built_ = false;
    std::uint32_t lastRemote_ = 0;
    std::vector<std::uint8_t> noBits_;
};

}  // namespace koruvan::engine
