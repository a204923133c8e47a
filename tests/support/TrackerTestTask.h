// A task for tracker clients under test: it announces a fixed info hash with the figures the
// test sets, binds to the address the test chooses, and records what the tracker answered.
// Header only; the test binary links the engine's peer library.
#pragma once

#include <chrono>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "engine/peers/IpAddress.h"
#include "engine/peers/Resolver.h"
#include "engine/peers/SourceUrl.h"
#include "engine/peers/TPeerId.h"
#include "engine/peers/TTrackerPeer.h"

namespace koruvan::test {

class TrackerTestTask final : public engine::PeerTask, public engine::TrackerTask {
  public:
    // ---- PeerTask: a tracker client needs nothing of it but the clock ----
    std::int64_t PeerClock() override { return 1000; }
    std::int32_t PieceLength() override { return 0; }
    std::int32_t PieceCount() override { return 0; }
    std::uint64_t TotalSize() override { return info.totalSize; }
    bool Complete() override { return false; }
    std::int32_t DownloadFrontier() override { return -1; }
    bool Endgame() override { return false; }
    bool Stopping() override { return false; }
    bool P2PEnabled() override { return true; }
    bool PieceWanted(std::int32_t) override { return false; }
    std::int32_t MissingBytes(std::int32_t, std::int32_t& first) override {
        first = 0;
        return 0;
    }
    bool HasBlock(std::int32_t) override { return false; }
    std::int32_t StoreBlock(std::int32_t, std::int32_t, const std::uint8_t*, engine::TPeerId*,
                            std::int32_t, bool& accepted) override {
        accepted = false;
        return 0;
    }
    bool PieceDone(std::int32_t) override { return false; }
    bool LearnTotalSize(std::uint64_t, const std::string&) override { return false; }
    void ReturnRequests(std::span<const engine::BlockRequest>) override {}
    bool TakePooledRequest(std::int32_t, std::int32_t) override { return false; }
    bool PoolHolds(std::int32_t, std::int32_t) override { return false; }
    void PoolRequest(const engine::BlockRequest&) override {}
    void EnsureRanges() override {}
    std::size_t RangeCount() override { return 0; }
    engine::WorkRange* RangeAt(std::size_t) override { return nullptr; }
    engine::WorkRange* AssignRange(engine::RangeWorker&) override { return nullptr; }
    engine::WorkRange* AppendRange(std::unique_ptr<engine::WorkRange>) override { return nullptr; }
    void RemoveRange(engine::WorkRange*) override {}
    std::int32_t DownloadBudget() override { return 1 << 20; }
    void CountPendingUpload() override {}
    void BackOff(engine::TPeerId*, std::int32_t) override {}
    void RemoveCandidate(engine::TPeerId*) override {}
    bool AddCandidate(engine::TPeerId*) override { return false; }
    void ReportUnresolvedRedirect() override {}
    void SetPhase(std::int32_t) override {}

    // ---- TrackerTask ----
    bool AnnounceInfo(engine::TrackerAnnounceInfo& out) override {
        out = info;
        return hasMetainfo;
    }
    std::uint32_t BindAddress() override { return bindAddress; }
    void AddLearnedPeer(const engine::LearnedPeer& peer) override { learned.push_back(peer); }
    void StoreAnnounceReply(std::int32_t i, std::int64_t s, std::int64_t c) override {
        interval = i;
        seeds = s;
        completed = c;
        ++answers;
    }

    // Whether the tracker named ip:port (dotted text, host-order port).
    bool Learned(const std::string& dotted, std::uint16_t port) const {
        for (const auto& peer : learned) {
            if (engine::FormatDotted(peer.ip) == dotted && peer.port == port) {
                return true;
            }
        }
        return false;
    }

    engine::TrackerAnnounceInfo info;
    bool hasMetainfo = true;
    std::uint32_t bindAddress = 0;  // network order
    std::vector<engine::LearnedPeer> learned;
    std::int32_t interval = 0;
    std::int64_t seeds = -2;
    std::int64_t completed = -2;
    int answers = 0;
};

// A tracker identity as the task makes one from "tracker://" + url, resolved (dotted hosts
// only, so nothing is looked up).
struct TrackerIdentity {
    explicit TrackerIdentity(const std::string& url) : id(new engine::TPeerId("tracker://" + url)) {
        resolved = engine::ParseSourceUrl(*id);
    }
    ~TrackerIdentity() { id->Release(); }
    TrackerIdentity(const TrackerIdentity&) = delete;
    TrackerIdentity& operator=(const TrackerIdentity&) = delete;
    engine::TPeerId* id;
    bool resolved = false;
};

// One announce of `task` to the tracker at `url`, stepped until the tracker client ends or
// `steps` passes of 1 ms went by. Returns the transfer state it ended in (-1: still running).
inline std::int32_t RunAnnounce(TrackerTestTask& task, const std::string& url, std::int32_t event,
                                int steps = 5000) {
    TrackerIdentity identity(url);
    if (!identity.resolved) {
        return -2;
    }
    auto* peer = new engine::TTrackerPeer(task, task);
    peer->SetEvent(event);
    std::int32_t result = -1;
    if (peer->Connect(identity.id)) {
        for (int i = 0; i < steps; ++i) {
            if (!peer->DownloadStep()) {
                result = peer->TransferState();
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    } else {
        result = -3;
    }
    peer->Release();
    return result;
}

}  // namespace koruvan::test
