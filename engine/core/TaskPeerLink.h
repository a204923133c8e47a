// The task as its peers see it: forwards the peer-side calls to the task's layers.
#pragma once

#include "engine/peers/PeerTask.h"

namespace koruvan::engine {

class TWorkThread;

class TaskPeerLink final : public PeerTask {
  public:
    explicit TaskPeerLink(TWorkThread& task) : task_(task) {}

    std::int64_t PeerClock() override;
    std::int32_t PieceLength() override;
    std::int32_t PieceCount() override;
    std::uint64_t TotalSize() override;
    bool Complete() override;
    std::int32_t DownloadFrontier() override;
    bool Endgame() override;
    bool Stopping() override;
    bool P2PEnabled() override;

    bool PieceWanted(std::int32_t piece) override;
    std::int32_t MissingBytes(std::int32_t piece, std::int32_t& firstOffset) override;
    bool HasBlock(std::int32_t block) override;
    std::int32_t StoreBlock(std::int32_t block, std::int32_t length, const std::uint8_t* data,
                            TPeerId* supplier, std::int32_t peerKind, bool& accepted) override;
    bool PieceDone(std::int32_t piece) override;
    bool LearnTotalSize(std::uint64_t size, const std::string& fileName) override;

    void ReturnRequests(std::span<const BlockRequest> requests) override;
    bool TakePooledRequest(std::int32_t block, std::int32_t length) override;
    bool PoolHolds(std::int32_t block, std::int32_t length) override;
    void PoolRequest(const BlockRequest& request) override;

    void EnsureRanges() override;
    std::size_t RangeCount() override;
    WorkRange* RangeAt(std::size_t index) override;
    WorkRange* AssignRange(RangeWorker& peer) override;
    WorkRange* AppendRange(std::unique_ptr<WorkRange> range) override;
    void RemoveRange(WorkRange* range) override;

    std::int32_t DownloadBudget() override;
    std::int32_t SocketReceiveBuffer() override;
    void CountPendingUpload() override;

    void BackOff(TPeerId* identity, std::int32_t seconds) override;
    void RemoveCandidate(TPeerId* identity) override;
    bool AddCandidate(TPeerId* identity) override;
    void ReportUnresolvedRedirect() override;
    void SetPhase(std::int32_t phase) override;

  private:
    TWorkThread& task_;
};

}  // namespace koruvan::engine
