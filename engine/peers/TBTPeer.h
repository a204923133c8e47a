// A BitTorrent peer: one connection to a remote BitTorrent client, in both directions. It
// downloads 16 KiB blocks into the task's piece map (pipelined requests, piece choice from
// the frontier, the priority list, the files or the tail of a web-source work range) and
// serves blocks the remote asks for (paced by the task's upload budget). Outgoing
// connections may be disguised as an HTTP request, and an incoming connection that opens
// with an HTTP-style header is unwrapped and answered with a fake HTTP reply.
//
// Runs on the task's work thread; takes no lock (see TPeerObject).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/peers/BtPeerTask.h"
#include "engine/peers/BtWire.h"
#include "engine/peers/TPeerObject.h"
#include "engine/peers/UploadQueue.h"

namespace koruvan::engine {

// The have record of a BitTorrent peer (GetInfo(1)).
struct BtHaveRecord {
    bool ready = false;         // handshake done, bitfield sent
    std::int32_t newHaves = 0;  // pieces announced since the task last read (and reset) it
    std::int32_t initialPieces = 0;
    std::int32_t remotePieceCount = 0;
    std::int32_t lastHave = -1;
};

class TBTPeer final : public TPeerObject {
  public:
    // How long a pending connect may take, and how long the handshake may take after it.
    static constexpr std::int64_t kConnectSeconds = 22;
    static constexpr std::int64_t kUdpConnectSeconds = 28;
    static constexpr std::int64_t kHandshakeSeconds = 12;
    // The socket's receive buffer once the handshake is done (widened for fast remotes).
    static constexpr std::int32_t kSocketBuffer = 40960;
    static constexpr std::int32_t kRequestBatchBytes = 815;
    static constexpr std::int32_t kStealBlocks = 24;
    // Requests in flight at most, whatever the rate: some clients drop requests beyond a
    // queue of a few hundred without a word, and a dropped request stalls its piece until it
    // times out. 128 blocks (2 MiB) in flight still carry hundreds of MB/s on a fast link.
    static constexpr std::int32_t kMaxRequestsInFlight = 128;
    // Cancelled requests remembered, so that a block already on its way when we cancelled
    // it is dropped quietly instead of counting as unrequested.
    static constexpr std::int32_t kRememberedCancels = 2 * kMaxRequestsInFlight;
    // Requests queued at most (sent or not): a fast peer's queue would otherwise take most
    // of the content, and every pass walks it.
    static constexpr std::int32_t kMaxQueuedRequests = 4 * kMaxRequestsInFlight;

    TBTPeer(PeerTask& task, BtPeerTask& bt)
        : TPeerObject(task, kKindBitTorrent), bt_(&bt), uploads_(bt.QueuedUploadBytes()) {}

    bool OnReceive() override;
    bool OnSend() override;
    bool PlanRequests() override;
    bool ServeRequests() override;
    void Reset() override;
    bool SendRequests() override;
    bool Connect(TPeerId* identity) override;
    bool SendHandshake() override;
    bool CheckHandshake(TPeerConnection* connection) override;
    bool IsSlow() override;
    void* GetInfo(std::int32_t what) override;
    std::int32_t RemoteRate() const override;
    bool IsStarved() const override;
    bool IsSettledSeed() const override;
    void CancelObsolete() override;
    bool IsSeed() const override;
    std::int32_t NextPiece() override;
    // A run this peer cut from a web range gives its pieces below the one reached back.
    void ReleaseRange() override;

    // The task's choking decisions.
    bool Choke();
    bool Unchoke();
    // force: (re)send the queued requests from the start of the queue; otherwise the
    // periodic check of a peer that delivers nothing (closed or requests given back after
    // more than 7 passes).
    bool RequestBlocks(bool force);
    // Cancels what was sent and gives every request back to the task.
    bool CancelAll();
    // Sends bytes the task built for every peer (have batches).
    bool SendRaw(const std::string& bytes);

    [[nodiscard]] bool WeChoke() const noexcept { return weChoke_; }
    [[nodiscard]] bool RemoteChokes() const noexcept { return remoteChokes_; }
    [[nodiscard]] bool RemoteInterested() const noexcept { return remoteInterested_; }
    [[nodiscard]] const BtHaveRecord& HaveRecord() const noexcept { return have_; }
    [[nodiscard]] bool RemoteHas(std::int32_t piece) const noexcept;
    [[nodiscard]] std::size_t QueuedUploads() const noexcept { return uploads_.Size(); }
    // Transport choice of the last Connect (the UDP pseudo-socket layer is not built yet).
    [[nodiscard]] bool UsesUdp() const noexcept { return udp_; }
    // This outgoing attempt failed only because the remote does not take the disguised
    // handshake; its party is dialled plain next (TPeerId::plainHandshake).
    [[nodiscard]] bool DisguiseRefused() const noexcept { return disguiseRefused_; }

  private:
    ~TBTPeer() override { EndHandshakeTurn(); }

    // Handles the handshake once bytes arrived; false drops the peer.
    bool FinishHandshake(std::int64_t now);
    // A step failed before the handshake was done: notes a refused disguise. Always false.
    bool HandshakeFailed();
    // This peer's outgoing handshake is over (done or failed): the next may begin.
    void EndHandshakeTurn();
    // Parses buffered messages: bytes consumed, or -1 to drop the peer.
    std::int32_t ParseMessages();
    // One complete message (id and payload); false when the parse must stop at once with
    // the whole buffer consumed (a malformed message) — `drop` then tells whether the peer
    // is dropped.
    bool HandleMessage(std::uint8_t id, const std::uint8_t* payload, std::uint32_t size,
                       bool& drop);
    void OnHave(std::uint32_t piece);
    bool OnBitfield(const std::uint8_t* bits, std::uint32_t size);
    void OnRequest(std::uint32_t index, std::uint32_t begin, std::uint32_t length, bool cancel);
    [[nodiscard]] bool Takeable(std::int32_t piece);
    [[nodiscard]] bool Usable(std::int32_t piece) const;
    // Cuts a run of at least kStealBlocks from the tail of `source` and marks its pieces
    // taken; the run's high end, or -1.
    std::int32_t CutRun(WorkRange& source);
    std::int32_t StealFromRanges();
    std::int32_t ScanRangesForPiece();
    std::int32_t PickByFiles();
    // Sends a request or cancel for a queued request.
    [[nodiscard]] std::string RequestBytes(bt::MessageId id, const BlockRequest& request) const;
    [[nodiscard]] bool BlockValid(std::int32_t block) const;
    bool SendNow(const std::string& bytes);
    void SetExcluded(std::int32_t piece, bool on);
    [[nodiscard]] bool IsExcluded(std::int32_t piece) const;
    [[nodiscard]] std::int32_t RequestWindow() const;
    void NoteCancelled(const BlockRequest& request);
    // True for a block this peer cancelled and no longer asks for (forgotten on the way).
    bool CrossedCancel(std::int32_t block, std::int32_t length);
    // The rate that sizes the pipeline and the reads: the 3-second rate, or what the window
    // since the last evaluation already guarantees the next one to report, so that a fast
    // new peer is not held to two requests in flight for its first seconds.
    [[nodiscard]] std::int32_t PipelineRate() const;
    // MaxOutstanding from the pipeline rate, within kMaxQueuedRequests.
    [[nodiscard]] std::int32_t QueueAllowance() const override;

    BtPeerTask* bt_;
    std::vector<std::uint8_t> remotePieces_;
    std::vector<std::uint8_t> excluded_;
    UploadQueue uploads_;  // what the remote asked of us
    std::vector<std::uint8_t> blockBuffer_;
    std::vector<BlockRequest> cancelled_;  // oldest first, at most kRememberedCancels
    BtHaveRecord have_;
    bool weChoke_ = true;
    bool remoteChokes_ = true;
    bool remoteInterested_ = false;
    bool nothingToRequest_ = false;
    bool udp_ = false;
    bool widened_ = false;  // the receive buffer was widened past its 40960 bytes
    // This outgoing attempt: it opened with the disguise; the remote answered with a
    // handshake or a disguise header; it failed for the disguise alone; the connection's
    // lifetime send count when it was dialled.
    bool disguisedOut_ = false;
    bool answered_ = false;
    bool disguiseRefused_ = false;
    std::int64_t sentAtConnect_ = 0;
    // The address of this peer's outgoing handshake while it is under way, else 0.
    std::uint32_t handshakeTo_ = 0;
    std::int64_t starvedSince_ = 0;
    std::int64_t chokedSince_ = 0;
    mutable std::int64_t seedSince_ = 0;
    std::int64_t connectStart_ = 0;
    std::int64_t established_ = 0;
    std::int64_t partMark_ = 0;
    std::uint32_t sendPasses_ = 0;
    std::uint32_t offerSerial_ = 0;  // the task's offer serial when nothing was left to take
};

}  // namespace koruvan::engine
