// koruvan-cli with an independent BitTorrent implementation (python3-libtorrent) on
// loopback: it downloads from a libtorrent seed found through opentracker (HTTP and UDP
// announces) while every web source answers 404, it serves a libtorrent leecher from
// `seed`, and it fills files from a slow web mirror and peers at once.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <thread>

#include "integration/swarm/SwarmPeers.h"
#include "support/OpentrackerServer.h"

namespace koruvan::test {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr auto kDownloadLimit = std::chrono::seconds(240);

// The engine's side of a loopback swarm: standard BitTorrent (no disguise), a loopback
// address of its own, no discovery datagrams, no port mapping.
std::string EngineP2p(const std::string& address, int port) {
    return "upnp = 0\nlan_discovery = 0\ndisguise = 0\nbind_address = " + address +
           "\nlisten_port = " + std::to_string(port) + "\n";
}

std::vector<std::string> Hashes(const TestGame& game) {
    std::vector<std::string> hashes;
    for (int i = 0; i < 5; ++i) {
        hashes.push_back(game.InfoHashHex(i));
    }
    return hashes;
}

class SwarmInterop : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (!LibtorrentAvailable(why)) {
            GTEST_SKIP() << why;
        }
        ASSERT_TRUE(game_.Started());
        game_.SetListP2p(true);
    }
    StatusBytes Status(const CliRun& run) {
        const auto status = StartCli(run, {"status"}, "status");
        EXPECT_TRUE(status && status->Wait(std::chrono::seconds(30), true) == 0);
        return ParseStatusBytes(CliOutput(run, "status").out);
    }

    TestGame game_{{2 * kMiB, 3 * kMiB, 3 * kMiB, kMiB}};
    TempDir dir_;
};

class SwarmTrackerInterop : public SwarmInterop,
                            public ::testing::WithParamInterface<const char*> {};

TEST_P(SwarmTrackerInterop, CliDownloadsFromALibtorrentSeedWhileTheWebAnswers404) {
    OpentrackerServer tracker(dir_.File("tracker"), Hashes(game_));
    std::filesystem::create_directories(dir_.File("tracker"));
    ASSERT_TRUE(tracker.Start());
    game_.UseTrackers({tracker.Url(GetParam())});
    game_.RemoveWebFiles();
    game_.WriteFilesTo(dir_.File("seed"));
    LibtorrentPeer seed(dir_.File("seed.log"));
    ASSERT_TRUE(
        seed.Start(PeerOptions("127.0.0.2", dir_.File("seed"), true, game_.TorrentFiles())));
    ASSERT_TRUE(WaitForSeeds("127.0.0.1", tracker.Port(), Hashes(game_))) << seed.Log();

    const CliRun run{PlanVariant(game_, "engine.ini", EngineP2p("127.0.0.3", FreeTcpPort())),
                     dir_.File("data"), dir_.File("run"), ""};
    const auto cli = StartCli(run, {"download", "--save-dir", game_.SaveDir()}, "download");
    ASSERT_TRUE(cli);
    const int code = cli->Wait(kDownloadLimit, true);
    const CliResult out = CliOutput(run, "download");
    ASSERT_EQ(code, 0) << out.err << "\nseed:\n" << seed.Log();
    EXPECT_EQ(game_.MatchingFiles(), 5);
    EXPECT_NE(out.err.find("from web sources 0 B, from peers " +
                           std::to_string(game_.TotalBytes()) + " B"),
              std::string::npos)
        << out.err;
    const StatusBytes bytes = Status(run);
    EXPECT_EQ(bytes.web, 0u);
    EXPECT_EQ(bytes.peers, game_.TotalBytes());
}

INSTANTIATE_TEST_SUITE_P(Announces, SwarmTrackerInterop, ::testing::Values("http", "udp"));

TEST_F(SwarmInterop, LibtorrentLeecherFetchesAllFiveFromCliSeed) {
    game_.PretendFinished();
    const int port = FreeTcpPort();
    const CliRun run{PlanVariant(game_, "engine.ini", EngineP2p("127.0.0.3", port)),
                     game_.DataDir(), dir_.File("run"), ""};
    const auto seeding = StartCli(run, {"seed", "--for", "300"}, "seed");
    ASSERT_TRUE(seeding);
    const auto listening = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (CliOutput(run, "seed").err.find("seeding 5 files") == std::string::npos &&
           std::chrono::steady_clock::now() < listening && seeding->Running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(seeding->Running()) << CliOutput(run, "seed").err;

    LibtorrentOptions leech =
        PeerOptions("127.0.0.2", dir_.File("leech"), false, game_.TorrentFiles());
    leech.peers = {"127.0.0.3:" + std::to_string(port)};
    leech.timeoutSeconds = 180;
    LibtorrentPeer leecher(dir_.File("leech.log"));
    ASSERT_TRUE(leecher.Start(leech));
    EXPECT_EQ(leecher.Wait(std::chrono::seconds(200)), 0) << leecher.Log() << "\ncli:\n"
                                                          << CliOutput(run, "seed").out;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(ReadFile(dir_.File("leech/" + game_.Name(i))), ReadFile(game_.Target(i)))
            << game_.Name(i);
    }
    // The live line counts what went out (the peers come and go within a second or two).
    const auto counted = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (SeedSentBytes(CliOutput(run, "seed").out) <
               0.95 * static_cast<double>(game_.TotalBytes()) &&
           std::chrono::steady_clock::now() < counted) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // Ctrl-C ends seeding as a success.
    seeding->Signal(SIGINT);
    EXPECT_EQ(seeding->Wait(std::chrono::seconds(30), true), 0);
    const CliResult out = CliOutput(run, "seed");
    EXPECT_GE(SeedSentBytes(out.out), 0.95 * static_cast<double>(game_.TotalBytes())) << out.out;
    EXPECT_NE(out.err.find("seeding stopped"), std::string::npos) << out.err;
}

TEST_F(SwarmInterop, SlowMirrorAndPeersFillTheSameFiles) {
    OpentrackerServer tracker(dir_.File("tracker"), Hashes(game_));
    std::filesystem::create_directories(dir_.File("tracker"));
    ASSERT_TRUE(tracker.Start());
    game_.UseTrackers({tracker.Url("http")});
    ASSERT_TRUE(game_.RestartServer("160k"));  // per connection
    game_.WriteFilesTo(dir_.File("seed"));
    LibtorrentOptions seedOptions =
        PeerOptions("127.0.0.2", dir_.File("seed"), true, game_.TorrentFiles());
    seedOptions.uploadLimit = 400 * 1024;
    LibtorrentPeer seed(dir_.File("seed.log"));
    ASSERT_TRUE(seed.Start(seedOptions));
    ASSERT_TRUE(WaitForSeeds("127.0.0.1", tracker.Port(), Hashes(game_))) << seed.Log();

    const CliRun run{PlanVariant(game_, "engine.ini", EngineP2p("127.0.0.3", FreeTcpPort())),
                     dir_.File("data"), dir_.File("run"), ""};
    const auto cli = StartCli(run, {"download", "--save-dir", game_.SaveDir()}, "download");
    ASSERT_TRUE(cli);
    ASSERT_EQ(cli->Wait(kDownloadLimit, true), 0) << CliOutput(run, "download").err;
    EXPECT_EQ(game_.MatchingFiles(), 5);
    const StatusBytes bytes = Status(run);
    EXPECT_GT(bytes.web, 0u);
    EXPECT_GT(bytes.peers, 0u);
    EXPECT_GE(bytes.filesWithBoth, 1);  // web and peers filled one file from its two ends
    EXPECT_GE(bytes.web + bytes.peers, game_.TotalBytes());
}

}  // namespace
}  // namespace koruvan::test

namespace koruvan::test {
namespace {

// Engine to engine on loopback, found through the tracker, with and without the disguise.
class EngineToEngine : public SwarmInterop, public ::testing::WithParamInterface<bool> {};

TEST_P(EngineToEngine, CliSeedFeedsCliDownloadWhileTheWebAnswers404) {
    OpentrackerServer tracker(dir_.File("tracker"), Hashes(game_));
    std::filesystem::create_directories(dir_.File("tracker"));
    ASSERT_TRUE(tracker.Start());
    game_.UseTrackers({tracker.Url("http")});
    game_.PretendFinished();
    game_.RemoveWebFiles();
    const std::string disguise = GetParam() ? "1" : "0";
    const auto p2p = [&disguise](const std::string& address) {
        return "upnp = 0\nlan_discovery = 0\ndisguise = " + disguise +
               "\nbind_address = " + address + "\nlisten_port = " + std::to_string(FreeTcpPort()) +
               "\n";
    };
    const CliRun seeder{PlanVariant(game_, "seeder.ini", p2p("127.0.0.3")), game_.DataDir(),
                        dir_.File("run-seed"), ""};
    const auto seeding = StartCli(seeder, {"seed", "--for", "300"}, "seed");
    ASSERT_TRUE(seeding);
    ASSERT_TRUE(WaitForSeeds("127.0.0.1", tracker.Port(), Hashes(game_)))
        << CliOutput(seeder, "seed").err;
    const CliRun leecher{PlanVariant(game_, "leecher.ini", p2p("127.0.0.4")), dir_.File("data"),
                         dir_.File("run"), ""};
    const auto cli = StartCli(leecher, {"download", "--save-dir", dir_.File("save")}, "download");
    ASSERT_TRUE(cli);
    ASSERT_EQ(cli->Wait(std::chrono::seconds(120), true), 0)
        << CliOutput(leecher, "download").err << "\nseeder:\n"
        << CliOutput(seeder, "seed").out.substr(0, 2000);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(ReadFile(dir_.File("save/" + game_.Name(i))), ReadFile(game_.Target(i)));
    }
}

INSTANTIATE_TEST_SUITE_P(Disguise, EngineToEngine, ::testing::Bool());

}  // namespace
}  // namespace koruvan::test

namespace koruvan::test {
namespace {

// The demo's second machine on loopback: a slow mirror and another engine's seed fill the
// same files, with the product's disguise.
// The product's disguise between two engines.
std::string Disguised(std::string p2p) {
    p2p.replace(p2p.find("disguise = 0"), 12, "disguise = 1");
    return p2p;
}

TEST_F(SwarmInterop, SlowMirrorAndACliSeedFillTheSameFiles) {
    OpentrackerServer tracker(dir_.File("tracker"), Hashes(game_));
    std::filesystem::create_directories(dir_.File("tracker"));
    ASSERT_TRUE(tracker.Start());
    game_.UseTrackers({tracker.Url("http")});
    ASSERT_TRUE(game_.RestartServer("160k"));  // per connection
    game_.PretendFinished();
    const CliRun seeder{
        PlanVariant(game_, "seeder.ini", Disguised(EngineP2p("127.0.0.3", FreeTcpPort()))),
        game_.DataDir(), dir_.File("run-seed"), ""};
    const auto seeding = StartCli(seeder, {"seed", "--for", "300"}, "seed");
    ASSERT_TRUE(seeding);
    ASSERT_TRUE(WaitForSeeds("127.0.0.1", tracker.Port(), Hashes(game_)))
        << CliOutput(seeder, "seed").err;
    const CliRun run{
        PlanVariant(game_, "engine.ini", Disguised(EngineP2p("127.0.0.4", FreeTcpPort()))),
        dir_.File("data"), dir_.File("run"), ""};
    const auto cli = StartCli(run, {"download", "--save-dir", dir_.File("save")}, "download");
    ASSERT_TRUE(cli);
    ASSERT_EQ(cli->Wait(kDownloadLimit, true), 0) << CliOutput(run, "download").err;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(ReadFile(dir_.File("save/" + game_.Name(i))), ReadFile(game_.Target(i)));
    }
    const StatusBytes bytes = Status(run);
    EXPECT_GT(bytes.web, 0u);
    EXPECT_GT(bytes.peers, bytes.web) << "the seed is far faster than the mirror";
}

}  // namespace
}  // namespace koruvan::test
