// A task's announces, stepped from the test against a scripted UDP tracker: "started" first,
// nothing more within the 600 seconds, "completed" as soon as the last piece is in,
// "stopped" at the end of the run; learned peers become candidates (never 127.0.0.1); the
// interval is published. And what the task's tracker link tells an announce.
#include <gtest/gtest.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "PieceTestSupport.h"
#include "engine/core/EngineApi.h"
#include "engine/core/EngineState.h"
#include "engine/core/TPieces.h"
#include "engine/core/TWorkThread.h"
#include "integration/TorrentMaker.h"
#include "support/EngineTestClock.h"
#include "support/ScriptedTracker.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

namespace koruvan::engine {
namespace {

using test::Bytes;

constexpr std::int32_t kPiece = 64 * 1024;

struct Announce {
    std::uint32_t event;
    std::uint64_t left;
};

// Answers every connect and announce on its own thread and records the announces.
class AnsweringTracker {
  public:
    AnsweringTracker() : thread_([this] { Serve(); }) {}
    ~AnsweringTracker() {
        stop_ = true;
        thread_.join();
    }
    std::uint16_t Port() const { return tracker_.Port(); }
    std::vector<Announce> Announces() {
        std::lock_guard<std::mutex> lock(mutex_);
        return announces_;
    }

  private:
    void Serve() {
        while (!stop_) {
            const std::string d = tracker_.ReceiveDatagram();
            if (d.size() == 16) {
                tracker_.Answer(test::UdpAnswer(0, d, Bytes({7, 7, 7, 7, 7, 7, 7, 7})));
            } else if (d.size() == 104) {
                std::uint64_t left = 0;
                for (int i = 64; i < 72; ++i) {
                    left = (left << 8) | static_cast<std::uint8_t>(d[static_cast<std::size_t>(i)]);
                }
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    announces_.push_back({static_cast<std::uint8_t>(d[83]), left});
                }
                const std::string peers =
                    Bytes({192, 0, 2, 9, 0x1A, 0xE1, 127, 0, 0, 1, 0x1A, 0xE1});
                tracker_.Answer(
                    test::UdpAnswer(1, d, Bytes({0, 0, 7, 8, 0, 0, 0, 1, 0, 0, 0, 3}) + peers));
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    }

    test::ScriptedTracker tracker_{true};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Announce> announces_;
    std::thread thread_;
};

class TrackerAnnounceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(EngineStartup(dir_.Path().c_str()), 0);
        content_ = test::MakeContent(4 * kPiece, 7);
        const std::string announce =
            "udp://127.0.0.1:" + std::to_string(tracker_.Port()) + "/announce";
        test::WriteFile(dir_.File("t.torrent"),
                        test::MakeTorrent("t.bin", content_, kPiece, announce));
        task_ = std::make_unique<TWorkThread>();
        task_->SetFlags(kFlagRecorded | kFlagFullPath | kFlagP2spTask);
        task_->SetTargetFile(dir_.File("t.bin"));
        task_->SetStateFilePath(dir_.File("t.state"));
        task_->SetKey("file://" + dir_.File("t.torrent"));
        task_->SetTorrentBlob(test::ReadFile(dir_.File("t.torrent")));
        ASSERT_TRUE(task_->LoadMetainfo());
        SetLanDiscovery(false);
        EnableP2P(true);
    }
    void TearDown() override {
        EnableP2P(false);
        SetLanDiscovery(true);
        task_.reset();
        EXPECT_EQ(EngineCleanup(), 0);
    }

    // Steps the task (as its thread would) until `done` holds or the time is up.
    template <typename Done>
    bool StepUntil(Done done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            task_->Step();
        }
        return true;
    }

    bool HasCandidate(const std::string& text) const {
        return std::any_of(task_->Candidates().begin(), task_->Candidates().end(),
                           [&](const TPeerId* c) { return c != nullptr && c->text == text; });
    }
    bool Announcing() const {
        return std::any_of(task_->Peers().begin(), task_->Peers().end(),
                           [](const TPeerObject* p) { return p->Kind() == kKindTracker; });
    }

    test::TempDir dir_;
    test::EngineTestClock clock_{20.0};  // 600 engine seconds in half a minute
    AnsweringTracker tracker_;
    std::string content_;
    std::unique_ptr<TWorkThread> task_;
};

TEST_F(TrackerAnnounceTest, StartedCompletedStoppedAndLearnedPeers) {
    ASSERT_TRUE(StepUntil([&] { return HasCandidate("btnode://192.0.2.9:6881"); }));
    ASSERT_TRUE(StepUntil([&] { return !Announcing(); }));
    EXPECT_FALSE(HasCandidate("btnode://127.0.0.1:6881"));
    task_->Publish(true, true);
    EXPECT_EQ(task_->PublishedInfo().announceInterval, 1800);
    EXPECT_EQ(task_->PublishedInfo().trackerSeeds, 3);

    // Within the 600 seconds nothing more goes out.
    const auto quiet = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    StepUntil([&] { return std::chrono::steady_clock::now() > quiet; });
    ASSERT_EQ(tracker_.Announces().size(), 1u);

    // The last piece comes in: "completed" at once.
    for (std::int32_t b = 0; b < 4 * kPiece / kBlockSize; ++b) {
        bool accepted = false;
        task_->AcceptBlock(b, kBlockSize,
                           reinterpret_cast<const std::uint8_t*>(content_.data()) +
                               static_cast<std::size_t>(b) * kBlockSize,
                           nullptr, kKindHttp, accepted);
    }
    ASSERT_TRUE(task_->Pieces()->AllDone());
    ASSERT_TRUE(StepUntil([&] { return tracker_.Announces().size() == 2 && !Announcing(); }));

    task_->AnnounceStopped();
    ASSERT_TRUE(test::WaitFor([&] { return tracker_.Announces().size() == 3; }));
    const auto announces = tracker_.Announces();
    EXPECT_EQ(announces[0].event, static_cast<std::uint32_t>(kAnnounceStarted));
    EXPECT_EQ(announces[0].left, content_.size());
    EXPECT_EQ(announces[1].event, static_cast<std::uint32_t>(kAnnounceCompleted));
    EXPECT_EQ(announces[1].left, 0u);
    EXPECT_EQ(announces[2].event, static_cast<std::uint32_t>(kAnnounceStopped));
}

TEST_F(TrackerAnnounceTest, NoAnnounceWhileP2PIsOff) {
    EnableP2P(false);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    StepUntil([&] { return std::chrono::steady_clock::now() > end; });
    EXPECT_TRUE(tracker_.Announces().empty());
    EXPECT_FALSE(Announcing());
    task_->AnnounceStopped();  // nobody heard "started": nothing to stop
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(tracker_.Announces().empty());
}

TEST_F(TrackerAnnounceTest, TheLinkDescribesTheTask) {
    TaskTrackerLink link(*task_);
    TrackerAnnounceInfo info;
    ASSERT_TRUE(link.AnnounceInfo(info));
    EXPECT_EQ(info.infoHash, *task_->InfoHash());
    EXPECT_EQ(info.totalSize, content_.size());
    EXPECT_EQ(info.listenPort, kDefaultListenPort);
    SetListenPort(6890);
    EXPECT_EQ(TaskTrackerLink::ListenPort(), 6890);
    SetListenPort(0);
    // The task's own peer id: the marker, a digest, then the process node id; made once.
    const PeerIdBytes id = link.OwnPeerId();
    EXPECT_EQ(std::string(id.begin(), id.begin() + 4), std::string("\0\1Kv", 4));
    EXPECT_TRUE(std::equal(id.begin() + 8, id.end(), Engine().nodeId.begin()));
    EXPECT_EQ(link.OwnPeerId(), id);

    // Peers named by a tracker: never 127.0.0.1 nor the task itself; a dictionary-form id
    // is kept.
    LearnedPeer self;
    self.ip = HostToNet32(0xC0000202);
    self.port = 7000;
    self.hasPeerId = true;
    self.peerId = id;
    link.AddLearnedPeer(self);
    LearnedPeer loop;
    loop.ip = HostToNet32(0x7F000001);
    loop.port = 7000;
    link.AddLearnedPeer(loop);
    LearnedPeer other = self;
    other.peerId[19] ^= 1;
    link.AddLearnedPeer(other);
    link.AddLearnedPeer(other);
    const auto count =
        std::count_if(task_->Candidates().begin(), task_->Candidates().end(),
                      [](const TPeerId* c) { return c != nullptr && c->kind == kKindBitTorrent; });
    EXPECT_EQ(count, 1);
    const auto found = std::find_if(
        task_->Candidates().begin(), task_->Candidates().end(),
        [](const TPeerId* c) { return c != nullptr && c->text == "btnode://192.0.2.2:7000"; });
    ASSERT_NE(found, task_->Candidates().end());
    EXPECT_TRUE((*found)->resolved);
    EXPECT_EQ((*found)->priority, 19);
    EXPECT_EQ((*found)->peerId, other.peerId);
}

}  // namespace
}  // namespace koruvan::engine
