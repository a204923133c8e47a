// The engine in a loopback swarm with python3-libtorrent: downloading from a libtorrent
// seeder (disguise off, the web source answering 404), seeding to a libtorrent leecher
// from files recovered as complete, and the IP filter keeping 127.0.0.2 out both ways.
#include "BtSwarmSupport.h"

namespace koruvan::engine {
namespace {

using test::LibtorrentPeer;
using test::SwarmTest;

constexpr std::size_t kSize = 3 * 1024 * 1024 + 12345;
constexpr std::int32_t kPiece = 65536;

class BtSwarmTest : public SwarmTest {
  protected:
    // A seeder on 127.0.0.2 with the whole file.
    void StartSeeder(LibtorrentPeer& seeder, int port, const std::string& connect = "-") {
        const std::string folder = dir_.File("seed");
        ASSERT_EQ(std::system(("mkdir -p " + folder).c_str()), 0);
        test::WriteFile(folder + "/swarm.bin", content_);
        ASSERT_TRUE(seeder.Start("seed", torrent_, folder, "127.0.0.2", port, connect));
    }
    // A web server on 127.0.0.1 that has nothing (every request answers 404).
    std::string MissingWebSource() {
        web_ = std::make_unique<test::NginxServer>(dir_.File("nginx"), dir_.File("nginx-root"),
                                                   std::vector<int>{test::FreeTcpPort()});
        (void)std::system(("mkdir -p " + dir_.File("nginx-root")).c_str());
        if (!web_->Start()) {
            return {};
        }
        return web_->Url(0, "/swarm.bin");
    }

    std::string content_ = test::SwarmContent(kSize);
    std::string torrent_ = WriteTorrent(content_, kPiece);
    std::unique_ptr<test::NginxServer> web_;
};

TEST_F(BtSwarmTest, DownloadsFromALibtorrentSeederWhileTheWebSourceAnswers404) {
    LibtorrentPeer seeder;
    const int seedPort = test::FreeTcpPort();
    StartSeeder(seeder, seedPort);
    std::string sources = "btnode://127.0.0.2:" + std::to_string(seedPort);
    if (const std::string url = MissingWebSource(); !url.empty()) {
        sources = url + "\r\n" + sources;
    }
    const std::string folder = dir_.File("get");
    ASSERT_EQ(std::system(("mkdir -p " + folder).c_str()), 0);
    const TaskHandle task = StartTask(folder, sources);
    ASSERT_NE(task, nullptr);
    EXPECT_TRUE(
        test::WaitFor([&] { return Progress(task).progress >= 10000; }, std::chrono::seconds(60)))
        << "progress " << Progress(task).progress << ", seeder uploaded " << seeder.Read().uploaded;
    EXPECT_TRUE(test::ReadFile(folder + "/swarm.bin") == content_);
    const TaskProgress p = Progress(task);
    EXPECT_EQ(p.peerBytes, kSize);
    EXPECT_EQ(p.httpBytes, 0u);
    EXPECT_EQ(Swarm(task).listenPort, port_);
    // A complete task with metainfo stays running (seeding) until it is stopped.
    std::int32_t done = 0;
    EXPECT_EQ(IsTaskComplete(task, &done), 0);
    EXPECT_EQ(done, 1);
    EXPECT_EQ(StopTask(task, false), 0);
}

TEST_F(BtSwarmTest, ARateLimitedMirrorAndASeederFillTheFileFromOppositeEnds) {
    LibtorrentPeer seeder;
    const int seedPort = test::FreeTcpPort();
    StartSeeder(seeder, seedPort);
    (void)std::system(("mkdir -p " + dir_.File("mirror")).c_str());
    test::WriteFile(dir_.File("mirror") + "/swarm.bin", content_);
    test::NginxServer mirror(dir_.File("nginx"), dir_.File("mirror"),
                             std::vector<int>{test::FreeTcpPort()}, "limit_rate 300k;");
    ASSERT_TRUE(mirror.Start());
    const std::string folder = dir_.File("get");
    ASSERT_EQ(std::system(("mkdir -p " + folder).c_str()), 0);
    const TaskHandle task =
        StartTask(folder, mirror.Url(0, "/swarm.bin") + "\r\nbtnode://127.0.0.2:" +
                              std::to_string(seedPort));
    ASSERT_NE(task, nullptr);
    EXPECT_TRUE(test::WaitFor([&] { return Progress(task).progress >= 10000; },
                              std::chrono::seconds(60)));
    EXPECT_TRUE(test::ReadFile(folder + "/swarm.bin") == content_);
    const TaskProgress p = Progress(task);
    EXPECT_GT(p.httpBytes, 0u);
    EXPECT_GT(p.peerBytes, 0u);
    EXPECT_GE(p.httpBytes + p.peerBytes, kSize);
    EXPECT_GT(p.peerBytes, p.httpBytes) << "the seeder is the fast source";
    RecordProperty("httpBytes", std::to_string(p.httpBytes));
    RecordProperty("peerBytes", std::to_string(p.peerBytes));
    EXPECT_EQ(StopTask(task, false), 0);
}

TEST_F(BtSwarmTest, SeedsRecoveredFilesToALibtorrentLeecher) {
    const std::string folder = dir_.File("own");
    ASSERT_EQ(std::system(("mkdir -p " + folder).c_str()), 0);
    test::WriteFile(folder + "/swarm.bin", content_);
    const TaskHandle task = StartTask(folder, "", kFlagTrustExisting, true);
    ASSERT_NE(task, nullptr);
    ASSERT_EQ(SetTaskSpeedLimit(task, kLimitUpload, 0), 0);
    ASSERT_TRUE(test::WaitFor([&] { return Swarm(task).listenPort == port_; }));

    LibtorrentPeer leecher;
    const std::string into = dir_.File("leech");
    ASSERT_EQ(std::system(("mkdir -p " + into).c_str()), 0);
    ASSERT_TRUE(leecher.Start("leech", torrent_, into, "127.0.0.2", test::FreeTcpPort(),
                              "127.0.0.3:" + std::to_string(port_)));
    EXPECT_TRUE(test::WaitFor([&] { return leecher.Read().done; }, std::chrono::seconds(60)))
        << "leecher at " << leecher.Read().ppm << " ppm with " << leecher.Read().peers
        << " peers, engine uploaded " << Swarm(task).uploadedBytes << " to "
        << Swarm(task).connectedPeers << " peers, task progress " << Progress(task).progress;
    EXPECT_TRUE(test::ReadFile(into + "/swarm.bin") == content_);
    EXPECT_TRUE(test::WaitFor([&] { return Swarm(task).uploadedBytes >= kSize; }));
    EXPECT_GE(Swarm(task).connectedPeers, 0);
    EXPECT_EQ(StopTask(task, false), 0);
}

TEST_F(BtSwarmTest, TheIpFilterKeepsAPeerOutBothWays) {
    test::WriteFile(dir_.File("filter.txt"), "127.0.0.2-127.0.0.2 0 test peer\n");
    ASSERT_EQ(LoadIpFilter(dir_.File("filter.txt").c_str()), 1);
    LibtorrentPeer seeder;
    const int seedPort = test::FreeTcpPort();
    // The seeder dials the engine as well: both directions are tried at once.
    StartSeeder(seeder, seedPort, "127.0.0.3:" + std::to_string(port_));
    const std::string folder = dir_.File("get");
    ASSERT_EQ(std::system(("mkdir -p " + folder).c_str()), 0);
    const TaskHandle task = StartTask(folder, "btnode://127.0.0.2:" + std::to_string(seedPort));
    ASSERT_NE(task, nullptr);
    ASSERT_TRUE(test::WaitFor([&] { return Swarm(task).listenPort == port_; }));
    std::this_thread::sleep_for(std::chrono::seconds(6));
    EXPECT_EQ(Progress(task).peerBytes, 0u);
    EXPECT_EQ(seeder.Read().uploaded, 0);
    EXPECT_EQ(Swarm(task).connectedPeers, 0);

    // Without the filter the same seeder delivers.
    ASSERT_EQ(LoadIpFilter(nullptr), 0);
    EXPECT_TRUE(
        test::WaitFor([&] { return Progress(task).peerBytes > 0; }, std::chrono::seconds(30)));
    EXPECT_EQ(StopTask(task, false), 0);
}

}  // namespace
}  // namespace koruvan::engine
