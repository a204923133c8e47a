// What a peer needs from the task that owns it: the task clock, the piece layout and piece
// map, the work ranges of the web sources, the shared request pool, the byte accounting,
// and the peer-management calls a source makes about itself (back-off, removal, a redirect
// target). The task implements it; peer tests implement it with a small fake.
//
// Called on the task's work thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "engine/peers/BlockRequest.h"
#include "engine/peers/WorkRange.h"

namespace koruvan::engine {

class TPeerId;

// Result of a stored block whose piece completed and failed its check.
inline constexpr std::int32_t kBlockPieceFailed = -99;

class PeerTask {
  public:
    // ---- clock and layout ----
    [[nodiscard]] virtual std::int64_t PeerClock() = 0;  // task clock, seconds
    [[nodiscard]] virtual std::int32_t PieceLength() = 0;
    [[nodiscard]] virtual std::int32_t PieceCount() = 0;
    [[nodiscard]] virtual std::uint64_t TotalSize() = 0;  // 0 while unknown
    [[nodiscard]] virtual bool Complete() = 0;
    [[nodiscard]] virtual std::int32_t DownloadFrontier() = 0;
    [[nodiscard]] virtual bool Endgame() = 0;
    [[nodiscard]] virtual bool Stopping() = 0;
    [[nodiscard]] virtual bool P2PEnabled() = 0;

    // ---- pieces ----
    // Needed: not written, not complete in memory, not being written.
    [[nodiscard]] virtual bool PieceWanted(std::int32_t piece) = 0;
    // Bytes still to fetch in a piece and the first offset to fetch.
    [[nodiscard]] virtual std::int32_t MissingBytes(std::int32_t piece,
                                                    std::int32_t& firstOffset) = 0;
    [[nodiscard]] virtual bool HasBlock(std::int32_t block) = 0;
    // Stores a received block and counts it for the supplier's kind. `accepted` tells
    // whether it was taken; kBlockPieceFailed when its piece completed and failed its check.
    virtual std::int32_t StoreBlock(std::int32_t block, std::int32_t length,
                                    const std::uint8_t* data, TPeerId* supplier,
                                    std::int32_t peerKind, bool& accepted) = 0;
    [[nodiscard]] virtual bool PieceDone(std::int32_t piece) = 0;
    // A web source learned the size of a download without metainfo: lay it out.
    virtual bool LearnTotalSize(std::uint64_t size, const std::string& fileName) = 0;

    // ---- shared request pool ----
    virtual void ReturnRequests(std::span<const BlockRequest> requests) = 0;
    virtual bool TakePooledRequest(std::int32_t block, std::int32_t length) = 0;
    [[nodiscard]] virtual bool PoolHolds(std::int32_t block, std::int32_t length) = 0;
    virtual void PoolRequest(const BlockRequest& request) = 0;

    // ---- work ranges ----
    // Lays the ranges out over the usable web sources when none exist yet.
    virtual void EnsureRanges() = 0;
    [[nodiscard]] virtual std::size_t RangeCount() = 0;
    [[nodiscard]] virtual WorkRange* RangeAt(std::size_t index) = 0;
    [[nodiscard]] virtual WorkRange* AssignRange(RangeWorker& peer) = 0;
    virtual WorkRange* AppendRange(std::unique_ptr<WorkRange> range) = 0;
    virtual void RemoveRange(WorkRange* range) = 0;

    // ---- accounting ----
    [[nodiscard]] virtual std::int32_t DownloadBudget() = 0;
    // The socket receive buffer a new web connection asks for (small under a speed limit).
    [[nodiscard]] virtual std::int32_t SocketReceiveBuffer() { return 1024 * 1024; }
    virtual void CountPendingUpload() = 0;

    // ---- the source's own standing ----
    virtual void BackOff(TPeerId* identity, std::int32_t seconds) = 0;
    virtual void RemoveCandidate(TPeerId* identity) = 0;
    virtual bool AddCandidate(TPeerId* identity) = 0;
    // A redirect target whose host did not resolve: state 20216 and the marks.
    virtual void ReportUnresolvedRedirect() = 0;
    virtual void SetPhase(std::int32_t phase) = 0;

  protected:
    ~PeerTask() = default;
};

}  // namespace koruvan::engine
