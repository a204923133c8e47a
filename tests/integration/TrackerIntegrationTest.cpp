// The tracker client against opentracker on 127.0.0.1, over HTTP and over UDP: two engine
// announcers on 127.0.0.2 and 127.0.0.3 are told about each other, a completed download
// counts as a seed, "stopped" takes an announcer out of the swarm, a torrent the tracker
// does not serve ends the announce without peers; and a whole task announces on its own,
// publishes the tracker's interval and leaves the swarm when it stops.
#include <gtest/gtest.h>

#include <openssl/sha.h>

#include "engine/core/EngineApi.h"
#include "engine/core/TWorkThread.h"
#include "engine/peers/BencodeCodec.h"
#include "integration/LoopbackP2p.h"
#include "integration/TorrentMaker.h"
#include "support/OpentrackerServer.h"
#include "support/TempDir.h"
#include "support/TrackerTestTask.h"
#include "support/WaitFor.h"

namespace koruvan::engine {
namespace {

using test::RunAnnounce;
using test::TrackerTestTask;

std::string Hex(const std::array<std::uint8_t, 20>& bytes) {
    std::string out;
    char two[3];
    for (const std::uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

class TrackerIntegrationTest : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        if (test::FindProgram("opentracker").empty()) {
            GTEST_SKIP() << "opentracker is not installed (scripts/bootstrap.sh installs it)";
        }
        torrent_ = test::MakeTorrent("swarm.bin", std::string(300000, 's'), 65536,
                                     "http://127.0.0.1:1/announce");
        hash_ = test::TorrentInfoHash(torrent_);
        tracker_ = std::make_unique<test::OpentrackerServer>(trackerDir_.Path(),
                                                             std::vector<std::string>{Hex(hash_)});
        ASSERT_TRUE(tracker_->Start())
            << "opentracker did not start; see " << trackerDir_.File("opentracker.log");
        url_ = tracker_->Url(GetParam());
    }

    // An announcer on `address` (127.0.0.x) with the listening port `port`.
    void Prepare(TrackerTestTask& task, std::uint32_t address, std::uint16_t port) {
        task.bindAddress = HostToNet32(address);
        task.info.infoHash = hash_;
        task.info.announceUrl = url_;
        task.info.ownPeerId.fill(static_cast<std::uint8_t>(address & 0xFF));
        task.info.totalSize = 300000;
        task.info.listenPort = port;
    }

    test::TempDir trackerDir_;
    std::string torrent_;
    std::array<std::uint8_t, 20> hash_{};
    std::unique_ptr<test::OpentrackerServer> tracker_;
    std::string url_;
};

TEST_P(TrackerIntegrationTest, AnnouncersAreToldAboutEachOther) {
    TrackerTestTask a;
    TrackerTestTask b;
    Prepare(a, 0x7F000002, 6881);
    Prepare(b, 0x7F000003, 6882);
    ASSERT_EQ(RunAnnounce(a, url_, kAnnounceStarted), kTransferFinished);
    ASSERT_EQ(RunAnnounce(b, url_, kAnnounceStarted), kTransferFinished);
    EXPECT_TRUE(b.Learned("127.0.0.2", 6881));
    a.learned.clear();
    ASSERT_EQ(RunAnnounce(a, url_, kAnnounceRegular), kTransferFinished);
    EXPECT_TRUE(a.Learned("127.0.0.3", 6882));
    EXPECT_TRUE(a.Learned("127.0.0.2", 6881));  // a regular announce keeps it in the swarm
    EXPECT_GE(a.interval, kMinAnnounceInterval);
    EXPECT_EQ(a.seeds, 0);

    // b finishes its download: the tracker counts a seed.
    b.info.bytesCompleted = b.info.totalSize;
    ASSERT_EQ(RunAnnounce(b, url_, kAnnounceCompleted), kTransferFinished);
    ASSERT_EQ(RunAnnounce(a, url_, kAnnounceRegular), kTransferFinished);
    EXPECT_EQ(a.seeds, 1);

    // a leaves: b no longer hears of it.
    ASSERT_EQ(RunAnnounce(a, url_, kAnnounceStopped), kTransferFinished);
    b.learned.clear();
    ASSERT_EQ(RunAnnounce(b, url_, kAnnounceRegular), kTransferFinished);
    EXPECT_FALSE(b.Learned("127.0.0.2", 6881));
    EXPECT_TRUE(b.Learned("127.0.0.3", 6882));
}

TEST_P(TrackerIntegrationTest, TorrentTheTrackerDoesNotServe) {
    TrackerTestTask a;
    Prepare(a, 0x7F000002, 6881);
    a.info.infoHash.fill(0x11);
    EXPECT_EQ(RunAnnounce(a, url_, kAnnounceStarted), kTransferFinished);
    EXPECT_TRUE(a.learned.empty());
    EXPECT_EQ(a.answers, 0);  // the task's figures stay as they were
}

TEST_P(TrackerIntegrationTest, TaskAnnouncesPublishesAndLeaves) {
    test::TempDir dir;
    const std::string torrent =
        test::MakeTorrent("swarm.bin", std::string(300000, 's'), 65536, url_);
    ASSERT_EQ(test::TorrentInfoHash(torrent), hash_);
    test::WriteFile(dir.File("swarm.torrent"), torrent);
    ASSERT_EQ(EngineStartup(dir.Path().c_str()), 0);
    test::KeepP2pOnLoopback();
    EnableP2P(true);
    SetListenPort(6893);
    {
        TWorkThread task;
        task.SetFlags(kFlagRecorded | kFlagFullPath | kFlagP2spTask);
        task.SetTargetFile(dir.File("swarm.bin"));
        task.SetStateFilePath(dir.File("swarm.state"));
        task.SetKey("file://" + dir.File("swarm.torrent"));
        ASSERT_EQ(task.StartDownload(), 0);

        // The tracker sees the task at its bind address with the engine's listening port.
        TrackerTestTask b;
        Prepare(b, 0x7F000003, 6882);
        EXPECT_TRUE(test::WaitFor(
            [&] {
                b.learned.clear();
                return RunAnnounce(b, url_, kAnnounceStarted) == kTransferFinished &&
                       b.Learned("127.0.0.2", 6893);
            },
            std::chrono::seconds(15)));
        EXPECT_TRUE(test::WaitFor([&] { return task.PublishedInfo().announceInterval > 0; }));
        EXPECT_GE(task.PublishedInfo().announceInterval, kMinAnnounceInterval);

        ASSERT_EQ(task.StopDownload(), 0);
        b.learned.clear();
        ASSERT_EQ(RunAnnounce(b, url_, kAnnounceRegular), kTransferFinished);
        EXPECT_FALSE(b.Learned("127.0.0.2", 6893)) << "the task did not announce \"stopped\"";
    }
    EnableP2P(false);
    SetListenPort(0);
    (void)SetBindAddress(nullptr);
    SetLanDiscovery(true);
    EXPECT_EQ(EngineCleanup(), 0);
}

INSTANTIATE_TEST_SUITE_P(OverHttpAndUdp, TrackerIntegrationTest,
                         ::testing::Values(std::string("http"), std::string("udp")),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace koruvan::engine
