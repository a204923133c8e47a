// A task for driving one source peer by hand: pieces of four 16 KiB blocks held in memory,
// one work range over the whole file, and peer management reduced to counters the tests read.
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "engine/peers/PeerTask.h"
#include "engine/peers/TPeerId.h"
#include "engine/peers/WorkRange.h"

namespace koruvan::engine {

class InMemoryPeerTask final : public PeerTask {
  public:
    static constexpr std::int32_t kBlocksPerPiece = 4;
    static constexpr std::int32_t kPieceLength = kBlocksPerPiece * kBlockSize;  // 64 KiB

    explicit InMemoryPeerTask(std::int32_t pieces) : pieces_(pieces) {}

    std::int64_t PeerClock() override { return clock; }
    std::int32_t PieceLength() override { return kPieceLength; }
    std::int32_t PieceCount() override { return pieces_; }
    std::uint64_t TotalSize() override {
        return static_cast<std::uint64_t>(pieces_) * kPieceLength;
    }
    bool Complete() override { return wanted.empty(); }
    std::int32_t DownloadFrontier() override { return -1; }
    bool Endgame() override { return false; }
    bool Stopping() override { return false; }
    bool P2PEnabled() override { return false; }
    bool PieceWanted(std::int32_t piece) override { return wanted.count(piece) > 0; }
    std::int32_t MissingBytes(std::int32_t piece, std::int32_t& first) override {
        first = 0;
        for (std::int32_t b = 0; b < kBlocksPerPiece; ++b) {
            if (blocks.count(piece * kBlocksPerPiece + b) == 0) {
                first = b * kBlockSize;
                return kPieceLength - first;
            }
        }
        return 0;
    }
    bool HasBlock(std::int32_t block) override { return blocks.count(block) > 0; }
    std::int32_t StoreBlock(std::int32_t block, std::int32_t length, const std::uint8_t* data,
                            TPeerId*, std::int32_t, bool& accepted) override {
        blocks[block].assign(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
        accepted = true;
        std::int32_t first = 0;
        if (MissingBytes(block / kBlocksPerPiece, first) == 0) {
            wanted.erase(block / kBlocksPerPiece);
        }
        return 0;
    }
    bool PieceDone(std::int32_t piece) override { return wanted.count(piece) == 0; }
    bool LearnTotalSize(std::uint64_t, const std::string&) override { return false; }
    void ReturnRequests(std::span<const BlockRequest> r) override { returned += r.size(); }
    bool TakePooledRequest(std::int32_t, std::int32_t) override { return false; }
    bool PoolHolds(std::int32_t, std::int32_t) override { return false; }
    void PoolRequest(const BlockRequest&) override {}
    void EnsureRanges() override {
        if (ranges.empty()) {
            auto r = std::make_unique<WorkRange>();
            r->first = r->current = 0;
            r->last = pieces_ - 1;
            ranges.push_back(std::move(r));
        }
    }
    std::size_t RangeCount() override { return ranges.size(); }
    WorkRange* RangeAt(std::size_t i) override {
        return i < ranges.size() ? ranges[i].get() : nullptr;
    }
    WorkRange* AssignRange(RangeWorker& peer) override {
        for (auto& r : ranges) {
            if (r->Free()) {
                r->owner = &peer;
                return r.get();
            }
        }
        return nullptr;
    }
    WorkRange* AppendRange(std::unique_ptr<WorkRange> r) override {
        ranges.push_back(std::move(r));
        return ranges.back().get();
    }
    void RemoveRange(WorkRange* r) override {
        std::erase_if(ranges, [&](const auto& x) { return x.get() == r; });
    }
    std::int32_t DownloadBudget() override { return 1 << 30; }
    void CountPendingUpload() override {}
    void BackOff(TPeerId*, std::int32_t seconds) override { backOffs.push_back(seconds); }
    void RemoveCandidate(TPeerId*) override { ++removed; }
    bool AddCandidate(TPeerId* id) override {
        added.push_back(id->text);
        return true;
    }
    void ReportUnresolvedRedirect() override { ++unresolved; }
    void SetPhase(std::int32_t) override {}

    std::int64_t clock = 1000;
    std::set<std::int32_t> wanted;
    std::map<std::int32_t, std::string> blocks;
    std::vector<std::unique_ptr<WorkRange>> ranges;
    std::vector<std::int32_t> backOffs;
    std::vector<std::string> added;
    std::size_t returned = 0;
    int removed = 0;
    int unresolved = 0;

  private:
    std::int32_t pieces_;
};

}  // namespace koruvan::engine
