// Peer management of a task on its own: one candidate per source, source lines that do not
// parse, web-source rotation at its limits, the dead-source rule, the drop order, failures
// of peers that hold a work range, the low-rate restart and a back-off's length in connect
// passes. The peers are fakes that connect at once; the task clock is the test's.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/TWorkWithPeers.h"
#include "engine/core/base/EngineClock.h"
#include "engine/core/base/SecConfigHook.h"
#include "engine/peers/IpAddress.h"
#include "support/EngineTestClock.h"

namespace koruvan::engine {
namespace {

// The fake peers never reach the piece map or the ranges of a task.
class NoPieces final : public PeerTask {
  public:
    std::int64_t PeerClock() override { return 0; }
    std::int32_t PieceLength() override { return 0; }
    std::int32_t PieceCount() override { return 0; }
    std::uint64_t TotalSize() override { return 0; }
    bool Complete() override { return false; }
    std::int32_t DownloadFrontier() override { return 0; }
    bool Endgame() override { return false; }
    bool Stopping() override { return false; }
    bool P2PEnabled() override { return true; }
    bool PieceWanted(std::int32_t) override { return false; }
    std::int32_t MissingBytes(std::int32_t, std::int32_t&) override { return 0; }
    bool HasBlock(std::int32_t) override { return false; }
    std::int32_t StoreBlock(std::int32_t, std::int32_t, const std::uint8_t*, TPeerId*, std::int32_t,
                            bool&) override {
        return 0;
    }
    bool PieceDone(std::int32_t) override { return false; }
    bool LearnTotalSize(std::uint64_t, const std::string&) override { return false; }
    void ReturnRequests(std::span<const BlockRequest>) override {}
    bool TakePooledRequest(std::int32_t, std::int32_t) override { return false; }
    bool PoolHolds(std::int32_t, std::int32_t) override { return false; }
    void PoolRequest(const BlockRequest&) override {}
    void EnsureRanges() override {}
    std::size_t RangeCount() override { return 0; }
    WorkRange* RangeAt(std::size_t) override { return nullptr; }
    WorkRange* AssignRange(RangeWorker&) override { return nullptr; }
    WorkRange* AppendRange(std::unique_ptr<WorkRange>) override { return nullptr; }
    void RemoveRange(WorkRange*) override {}
    std::int32_t DownloadBudget() override { return 0; }
    void CountPendingUpload() override {}
    void BackOff(TPeerId*, std::int32_t) override {}
    void RemoveCandidate(TPeerId*) override {}
    bool AddCandidate(TPeerId*) override { return false; }
    void ReportUnresolvedRedirect() override {}
    void SetPhase(std::int32_t) override {}
};

// A peer that is established as soon as it connects; its step fails on request.
class FakePeer final : public TPeerObject {
  public:
    FakePeer(PeerTask& task, std::int32_t kind, std::vector<TPeerId*>& dropped)
        : TPeerObject(task, kind), dropped_(&dropped) {}
    bool OnReceive() override { return stepOk; }
    bool PlanRequests() override { return true; }
    bool Connect(TPeerId* identity) override {
        if (!TPeerObject::Connect(identity)) {
            return false;
        }
        connState_ = kConnEstablished;
        return true;
    }
    void Reset() override {
        if (IsConnected()) {
            dropped_->push_back(Identity());
        }
        TPeerObject::Reset();
    }
    void Set(bool established, std::int32_t window, std::int32_t transferState = 0) {
        connState_ = established ? kConnEstablished : kConnPending;
        counters_.recvWindow = window;
        transferState_ = transferState;
    }
    void Hold(WorkRange& range) {
        range_ = &range;
        range.owner = this;
    }
    bool stepOk = true;

  private:
    ~FakePeer() override = default;
    std::vector<TPeerId*>* dropped_;
};

class Harness final : public TWorkWithPeers {
  public:
    ~Harness() override {
        ResetPeers();
        ReleasePool();
    }
    int Run() override { return 0; }
    void Refresh() override {}
    TPeerObject* CreatePeer(std::int32_t kind) override {
        return new FakePeer(task_, kind, dropped);
    }

    // Sources 127.0.0.1 .. 127.0.0.n become candidates.
    void AddSources(int n) {
        std::vector<std::string> lines;
        for (int i = 1; i <= n; ++i) {
            lines.push_back(Url(i));
        }
        SetSourceEntries(lines);
        SourceMaintenance();
    }
    static std::string Url(int i) { return "http://127.0.0." + std::to_string(i) + "/f.bin"; }
    // Seconds of upkeep; the seconds in which peers were dropped are noted.
    void Seconds(int n) {
        for (int i = 0; i < n; ++i) {
            const std::size_t before = dropped.size();
            ++clock;
            ConnectionUpkeep();
            if (dropped.size() > before) {
                dropTimes.push_back(clock);
            }
        }
    }
    void Step() {
        std::int32_t received = 0;
        std::int32_t sent = 0;
        StepPeers(true, 0, received, sent);
    }
    FakePeer* Peer(std::size_t i) { return static_cast<FakePeer*>(Peers()[i]); }
    FakePeer* Adopt(TPeerId* identity, std::int32_t kind) {
        auto* peer = new FakePeer(task_, kind, dropped);
        EXPECT_TRUE(peer->Connect(identity));
        peers_.push_back(peer);
        return peer;
    }
    void ForgetExtraSources() { extraA_.clear(); }
    using TWorkWithPeers::EvaluatePeerSet;

    std::int64_t clock = 1000;
    bool downloading = true;
    std::vector<TPeerId*> dropped;  // identities of the peers dropped, in order
    std::vector<std::int64_t> dropTimes;

  protected:
    PeerTask& AsPeerTask() override { return task_; }
    [[nodiscard]] bool Downloading() const override { return downloading; }
    [[nodiscard]] std::int64_t CurrentTaskClock() const override { return clock; }

  private:
    NoPieces task_;
};

// A resolved identity; its host name is never looked up.
TPeerId* Identity(const std::string& text, std::int32_t priority = 29,
                  std::uint32_t address = 0x7F000001) {
    auto* id = new TPeerId(text, priority);
    EXPECT_TRUE(id->Parse()) << text;
    id->ip = HostToNet32(address);
    id->resolved = true;
    return id;
}

TEST(PeerCandidates, OneCandidatePerParty) {
    struct Case {
        const char* first;
        const char* second;
        bool sameAddress;
        std::size_t candidates;
    } const cases[] = {
        {"http://a.example/f.bin", "HTTP://A.EXAMPLE/F.BIN", false, 1},  // another letter case
        {"http://a.example/f.bin", "http://b.example/F.bin", true, 1},   // same address and path
        {"http://a.example/f.bin", "http://b.example/f.bin", false, 2},
        {"http://127.0.0.1/f.bin", "http://127.0.0.1:8080/f.bin", true, 2},
        {"http://127.0.0.1/f.bin", "http://127.0.0.1/g.bin", true, 2},
        {"http://127.0.0.1/f.bin", "ftp://127.0.0.1/f.bin", true, 2},
    };
    for (const Case& c : cases) {
        Harness task;
        TPeerId* first = Identity(c.first);
        TPeerId* second = Identity(c.second, 29, c.sameAddress ? 0x7F000001 : 0x7F000002);
        for (TPeerId* id : {first, second}) {
            EXPECT_TRUE(task.AddCandidate(id, false, false));
            id->Release();
        }
        EXPECT_EQ(task.Candidates().size(), c.candidates) << c.first << " / " << c.second;
    }
}

TEST(PeerCandidates, SourceLinesThatDoNotParseNeverBecomeCandidates) {
    Harness task;
    task.SetSourceEntries({"not a url", "http:/127.0.0.1/f.bin", "http://127.0.0.1/f.bin",
                           "HTTP://127.0.0.1/F.BIN", "http://127.0.0.2/f.bin"});
    for (int pass = 0; pass < 2; ++pass) {
        task.SourceMaintenance();
        ASSERT_EQ(task.Candidates().size(), 2u) << "pass " << pass;
        for (const SourceEntry& entry : task.SourceEntries()) {
            EXPECT_EQ(entry.state, kSourceAdded) << entry.text;
        }
    }
    task.ReleaseSourceEntries(false);
    for (const SourceEntry& entry : task.SourceEntries()) {
        EXPECT_EQ(entry.state, kSourceNew) << entry.text;
    }
}

// A rotation closes a working connection, so it is worth it only when a freed slot can go
// to a source that is not connected yet: with the extra lists every 31 s, without them every
// 45 s.
TEST(PeerRotation, MovesASlotOnlyWhenThereIsAnotherSourceToMoveTo) {
    test::EngineTestClock fast;  // the task must have run for 45 s before rotating
    while (EngineSeconds() <= 46) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    struct Case {
        const char* name;
        int sources;
        int listed;                      // -1: no extra lists; else sources 1..listed are list A
        std::vector<std::int64_t> gaps;  // between the rotations of 100 s
    } const cases[] = {
        {"no lists, as many sources as slots", 3, -1, {}},
        {"no lists, one source more", 4, -1, {45, 45}},
        {"lists naming only the connected sources", 3, 3, {}},
        {"lists with one source more", 3, 4, {31, 31, 31}},
    };
    for (const Case& c : cases) {
        Harness task;
        task.AddSources(c.sources);
        task.SetConnectionLimits(3, 0);
        std::string list;
        for (int i = 1; i <= c.listed; ++i) {
            list += Harness::Url(i) + "\n";
        }
        if (c.listed >= 0) {
            task.SetSourceLists(list.c_str(), "");
        }
        task.Seconds(100);
        std::vector<std::int64_t> gaps;
        for (std::size_t i = 1; i < task.dropTimes.size(); ++i) {
            gaps.push_back(task.dropTimes[i] - task.dropTimes[i - 1]);
        }
        EXPECT_EQ(gaps, c.gaps) << c.name;
        EXPECT_EQ(task.dropTimes.empty(), c.gaps.empty()) << c.name;
        EXPECT_EQ(task.dropped.size(), task.dropTimes.size()) << c.name;  // one at a time
    }
}

TEST(PeerRotation, ALoweredMaximumDropsTheSurplusAndOneMoreForANewSource) {
    Harness task;
    task.AddSources(5);
    task.SetConnectionLimits(5, 0);
    task.Seconds(1);
    ASSERT_EQ(task.ActiveWebPeers(), 5);
    task.SetSourceLists(Harness::Url(6).c_str(), "null");
    task.SetConnectionLimits(4, 0);
    task.Seconds(1);
    EXPECT_EQ(task.dropped.size(), 2u);
    EXPECT_EQ(task.ActiveWebPeers(), 3);
    EXPECT_EQ(task.Candidates().size(), 6u);  // the listed source is tried next
}

TEST(PeerEvaluation, AWebSourceDiesWithHalfItsPiecesFailedFromThe32nd) {
    struct Case {
        std::int32_t failed;
        std::int32_t delivered;
        bool dead;
    } const cases[] = {{31, 0, false}, {32, 64, true}, {32, 65, false}, {40, 10, true}};
    for (const Case& c : cases) {
        Harness task;
        task.AddSources(2);
        task.Seconds(1);
        ASSERT_EQ(task.ActiveWebPeers(), 2);
        FakePeer* peer = task.Peer(0);
        TPeerId* source = peer->Identity();
        source->Details().failedPieces = c.failed;
        source->piecesDelivered = c.delivered;
        WorkRange range;
        peer->Hold(range);
        std::int64_t down = 0;
        std::int64_t up = 0;
        task.EvaluatePeerSet(down, up);
        EXPECT_EQ(task.Candidates().size(), c.dead ? 1u : 2u) << c.failed << "/" << c.delivered;
        EXPECT_EQ(task.ActiveWebPeers(), c.dead ? 1 : 2);
        EXPECT_EQ(range.owner == nullptr, c.dead);  // its range is free for the others
        if (!c.dead) {
            peer->ReleaseRange();
        }
    }
}

// With the default 52 peers, 46 established BitTorrent peers are allowed: the surplus goes
// from the end of the list, and pending ones from place 58 on that brought nothing go too.
TEST(PeerEvaluation, SurplusBitTorrentPeersGoFromTheEnd) {
    struct Case {
        int established;
        int pending;
        std::size_t left;
    } const cases[] = {{46, 14, 60}, {50, 0, 46}, {47, 13, 57}};
    for (const Case& c : cases) {
        Harness task;
        std::vector<TPeerId*> ids;
        for (int i = 0; i < c.established + c.pending; ++i) {
            ids.push_back(Identity("btnode://127.0.1." + std::to_string(i + 1) + ":6881"));
            task.Adopt(ids.back(), kKindBitTorrent)->Set(i < c.established, 0);
        }
        std::int64_t down = 0;
        std::int64_t up = 0;
        task.EvaluatePeerSet(down, up);
        EXPECT_EQ(task.Peers().size(), c.left) << c.established << "+" << c.pending;
        for (int i = 0; i < 46; ++i) {  // the front of the list stays
            EXPECT_TRUE(std::any_of(task.Peers().begin(), task.Peers().end(),
                                    [&](const TPeerObject* p) { return p->Identity() == ids[i]; }))
                << i;
        }
        for (TPeerId* id : ids) {
            id->Release();
        }
    }
}

// Peers are dropped worst first: unestablished ones, then by the bytes of the current
// window in steps of 2048 (equal steps keep the list order), web sources only.
TEST(PeerDropping, WorstFirstWithinTheKind) {
    Harness task;
    task.AddSources(5);
    task.Seconds(1);
    ASSERT_EQ(task.ActiveWebPeers(), 5);
    const std::pair<bool, std::int32_t> rows[] = {
        {true, 30000}, {false, 50000}, {true, 2048}, {true, 4095}, {true, 10000}};
    std::vector<TPeerId*> byRow;
    for (std::size_t i = 0; i < 5; ++i) {
        task.Peer(i)->Set(rows[i].first, rows[i].second);
        byRow.push_back(task.Peer(i)->Identity());
    }
    TPeerId* bt = Identity("btnode://127.0.0.9:6881");
    task.Adopt(bt, kKindBitTorrent)->Set(false, 0);  // the worst of all, but not a web source
    for (int i = 0; i < 5; ++i) {
        task.DropPeers(kKindWebSource, 1, false);
    }
    EXPECT_EQ(task.dropped,
              (std::vector<TPeerId*>{byRow[1], byRow[3], byRow[2], byRow[4], byRow[0]}));
    ASSERT_EQ(task.Peers().size(), 1u);
    bt->Release();
}

// Careful dropping looks only at the last `count` peers of the kinds and takes the first one
// whose party is excluded, never a web source; the party loses one priority step, not below 20.
TEST(PeerDropping, CarefulDropsOnlyAnExcludedPeerAmongTheWorst) {
    struct Case {
        std::int32_t kinds;
        std::int32_t count;
        std::int32_t priority;
        bool dropped;
        std::int32_t priorityAfter;
    } const cases[] = {{kKindBitTorrent, 1, 25, false, 25},
                       {kKindBitTorrent, 2, 25, true, 24},
                       {kKindBitTorrent, 2, 20, true, 20},
                       {kKindBitTorrent | kKindWebSource, 2, 25, false, 25}};
    for (const Case& c : cases) {
        Harness task;
        TPeerId* excluded = Identity("btnode://127.0.0.8:6881", c.priority);
        TPeerId* plain = Identity("btnode://127.0.0.9:6881");
        TPeerId* web = Identity("http://127.0.0.7/f.bin");
        web->Details().excluded = true;
        excluded->Details().excluded = true;
        // Best to worst: the excluded peer, the plain one, the excluded web source.
        task.Adopt(excluded, kKindBitTorrent)->Set(true, 30000);
        task.Adopt(plain, kKindBitTorrent)->Set(true, 0);
        task.Adopt(web, kKindHttp)->Set(false, 0);
        task.DropPeers(c.kinds, c.count, true);
        const std::string row =
            "kinds " + std::to_string(c.kinds) + " count " + std::to_string(c.count);
        EXPECT_EQ(task.dropped,
                  c.dropped ? std::vector<TPeerId*>{excluded} : std::vector<TPeerId*>{})
            << row;
        EXPECT_EQ(excluded->priority, c.priorityAfter) << row;
        for (TPeerId* id : {excluded, plain, web}) {
            id->Release();
        }
    }
}

// A failed step counts against the source unless the peer ended normally or still holds a
// work range; a source with another connection open only gets a short back-off.
TEST(PeerFailures, CountedOnlyForPeersWithoutARange) {
    struct Case {
        const char* name;
        bool holdsRange;
        std::int32_t transferState;
        int connections;
        std::int32_t failures;
        std::int32_t backOff;
    } const cases[] = {
        {"plain failure", false, kTransferActive, 1, 1, 1},
        {"holds a range", true, kTransferActive, 1, 0, 0},
        {"timed out", false, kTransferTimedOut, 1, 0, 0},
        {"finished", false, kTransferFinished, 1, 0, 0},
        {"another connection open", false, kTransferActive, 2, 0, 2},
    };
    for (const Case& c : cases) {
        Harness task;
        task.AddSources(1);
        TPeerId* source = task.Candidates()[0];
        for (int i = 0; i < c.connections; ++i) {
            ASSERT_TRUE(task.ConnectSource(source));
        }
        FakePeer* peer = task.Peer(0);
        peer->Set(true, 0, c.transferState);
        peer->stepOk = false;
        WorkRange range;
        if (c.holdsRange) {
            peer->Hold(range);
        }
        task.Step();
        // The failed peer is gone; another connection to the source stays.
        EXPECT_EQ(task.Peers().size(), static_cast<std::size_t>(c.connections - 1)) << c.name;
        EXPECT_EQ(source->failures, c.failures) << c.name;
        EXPECT_EQ(source->backOff, c.backOff) << c.name;
    }
}

std::atomic<int> g_refreshes{0};

TEST(PeerLowRate, SixteenSlowSecondsFetchTheSigningConfigurationAgain) {
    SetSecConfigRefresher([] {
        ++g_refreshes;
        return true;
    });
    struct Case {
        const char* name;
        std::vector<std::pair<std::int32_t, int>> rates;  // rate, seconds
        bool downloading;
        int refreshes;
    } const cases[] = {
        {"15 slow seconds", {{1023, 15}}, true, 0},
        {"16 slow seconds", {{1023, 16}}, true, 1},
        {"32 slow seconds", {{0, 32}}, true, 2},
        {"one fast second between", {{0, 15}, {1024, 1}, {0, 15}}, true, 0},
        {"complete", {{0, 40}}, false, 0},
    };
    for (const Case& c : cases) {
        Harness task;
        task.AddSources(1);
        task.SetConnectionLimits(1, 0);
        task.Seconds(1);                           // connects
        task.Peer(0)->Counters().downRate = 1024;  // the slow count starts after this second
        task.Seconds(1);
        task.downloading = c.downloading;
        g_refreshes = 0;
        for (const auto& [rate, seconds] : c.rates) {
            task.Peer(0)->Counters().downRate = rate;
            task.Seconds(seconds);
        }
        EXPECT_EQ(g_refreshes, c.refreshes) << c.name;
    }
    SetSecConfigRefresher(nullptr);
}

// A source backed off for 60 (a server reporting another size than the task's) is left out
// of the next 59 connect passes and connected by the 60th.
TEST(PeerBackOff, SixtyMeansSixtyConnectPasses) {
    Harness task;
    task.AddSources(1);
    task.ForgetExtraSources();  // no direct fallback connections: the connect passes only
    task.Seconds(1);
    ASSERT_EQ(task.ActiveWebPeers(), 1);
    TPeerId* source = task.Candidates()[0];
    task.BackOff(source, 60);
    WorkRange range;
    task.Peer(0)->Hold(range);  // the failing peer still works in its range
    task.Peer(0)->stepOk = false;
    task.Step();
    ASSERT_EQ(source->backOff, 60);
    task.Seconds(59);
    EXPECT_EQ(task.ActiveWebPeers(), 0);
    task.Seconds(1);
    EXPECT_EQ(task.ActiveWebPeers(), 1);
}

}  // namespace
}  // namespace koruvan::engine

namespace koruvan::engine {
namespace {

// A peer found on the local network (priority 35) makes room in a full BitTorrent peer
// table: the worst peer goes. Candidates of lower priority wait for a free place.
TEST(PeerDropping, ALocalPeerMakesRoomInAFullPeerTable) {
    struct Case {
        std::int32_t priority;
        int btPeers;
        std::size_t dropped;
    } const cases[] = {{35, 2, 1}, {34, 2, 0}, {19, 2, 0}, {35, 1, 0}};
    for (const Case& c : cases) {
        Harness task;
        task.SetConnectionLimits(4, 2);
        std::vector<TPeerId*> ids;
        for (int i = 0; i < c.btPeers; ++i) {
            ids.push_back(Identity("btnode://127.0.1." + std::to_string(i + 1) + ":6881"));
            task.Adopt(ids.back(), kKindBitTorrent)->Set(true, 4096 * (2 - i));
        }
        TPeerId* local = task.AddAddressCandidate(HostToNet32(0xC0000207), 6881, kKindBitTorrent,
                                                  true, c.priority);
        ASSERT_NE(local, nullptr);
        const std::string row =
            "priority " + std::to_string(c.priority) + ", peers " + std::to_string(c.btPeers);
        ASSERT_EQ(task.dropped.size(), c.dropped) << row;
        if (c.dropped == 1) {
            EXPECT_EQ(task.dropped[0], ids.back()) << row;  // the slowest
        }
        for (TPeerId* id : ids) {
            id->Release();
        }
    }
}

}  // namespace
}  // namespace koruvan::engine
