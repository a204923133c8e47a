// Standard BitTorrent clients take the whole game from `koruvan-cli seed`: python3-libtorrent,
// aria2c and transmission, each in a network namespace of its own on one bridge with the
// seed (198.51.100.0/24), found through opentracker on the bridge. The seed runs on the
// plan's default P2P settings (no bind address, default port, disguise, discovery and port
// mapping on). Clients that pipeline hundreds of requests at these rates must get every
// block: each download ends complete with the seed's bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "integration/swarm/LeecherClients.h"
#include "integration/swarm/SwarmPeers.h"
#include "support/LocalServer.h"

namespace koruvan::test {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr int kTrackerPort = 6969;
constexpr auto kLeechLimit = std::chrono::seconds(180);

class SwarmLeechers : public ::testing::TestWithParam<LeecherKind> {
  protected:
    void SetUp() override {
        if (!lan_.Ready()) {
            GTEST_SKIP() << lan_.Problem();
        }
        ASSERT_TRUE(game_.Started());
        game_.SetListP2p(true);
        game_.RemoveWebFiles();
    }

    // opentracker on the bridge, serving the game's five torrents.
    bool StartTracker() {
        const std::string work = dir_.File("tracker");
        std::filesystem::create_directories(work);
        using std::filesystem::perms;
        std::filesystem::permissions(work, perms::owner_all | perms::group_read |
                                               perms::group_exec | perms::others_read |
                                               perms::others_exec);
        {
            std::ofstream whitelist(work + "/whitelist.txt");
            for (int i = 0; i < 5; ++i) {
                whitelist << game_.InfoHashHex(i) << "\n";
            }
        }
        std::filesystem::permissions(
            work + "/whitelist.txt",
            perms::owner_read | perms::owner_write | perms::group_read | perms::others_read);
        const std::string port = std::to_string(kTrackerPort);
        if (!tracker_.Start({FindProgram("ip"),
                             {"netns", "exec", lan_.Switch(), FindProgram("opentracker"), "-i",
                              NamespaceLan::SwitchAddress(), "-p", port, "-P", port, "-d", work,
                              "-w", "whitelist.txt"},
                             work,
                             work + "/opentracker.log",
                             "",
                             {}})) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        return tracker_.Running();
    }

    std::vector<std::string> Hashes() const {
        std::vector<std::string> hashes;
        for (int i = 0; i < 5; ++i) {
            hashes.push_back(game_.InfoHashHex(i));
        }
        return hashes;
    }

    NamespaceLan lan_{2};
    TestGame game_{{64 * kMiB, 8 * kMiB, 8 * kMiB, kMiB}};
    TempDir dir_;
    TestProgram tracker_;
};

TEST_P(SwarmLeechers, TakeTheWholeGameFromACliSeedOnDefaultSettings) {
    ASSERT_TRUE(StartTracker()) << ReadFile(dir_.File("tracker/opentracker.log"));
    game_.UseTrackers({"http://" + NamespaceLan::SwitchAddress() + ":" +
                       std::to_string(kTrackerPort) + "/announce"});
    game_.PretendFinished();
    // The plan's defaults: an empty [p2p] section (the rendezvous server stays local).
    const CliRun seeder{PlanVariant(game_, "seeder.ini", ""), game_.DataDir(), dir_.File("seed"),
                        lan_.Host(0)};
    const auto seeding = StartCli(seeder, {"seed", "--for", "400"}, "seed");
    ASSERT_TRUE(seeding);
    ASSERT_TRUE(WaitForSeeds(NamespaceLan::SwitchAddress(), kTrackerPort, Hashes(), lan_.Switch()))
        << CliOutput(seeder, "seed").err;

    LeecherClient leecher;
    std::vector<std::string> names;
    std::vector<std::uint64_t> sizes;
    for (int i = 0; i < 5; ++i) {
        names.push_back(game_.Name(i));
        sizes.push_back(std::filesystem::file_size(game_.Target(i)));
    }
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(leecher.Start({GetParam(), lan_.Host(1), lan_.Address(1), dir_.File("client"),
                               dir_.File("leech"), game_.TorrentFiles()}))
        << leecher.Problem();
    const bool complete = leecher.WaitComplete(sizes, names, kLeechLimit);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string seedLines = CliOutput(seeder, "seed").out;
    ASSERT_TRUE(complete) << LeecherName(GetParam()) << " did not finish in " << kLeechLimit.count()
                          << " s:\n"
                          << leecher.Log().substr(0, 3000) << "\nseed:\n"
                          << seedLines.substr(seedLines.size() > 3000 ? seedLines.size() - 3000
                                                                      : 0);
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(ReadFile(dir_.File("leech/" + game_.Name(i))) == ReadFile(game_.Target(i)))
            << game_.Name(i);
    }
    RecordProperty("seconds", std::to_string(seconds));
    RecordProperty("MiBPerSecond", std::to_string(game_.TotalBytes() / kMiB / seconds));
}

INSTANTIATE_TEST_SUITE_P(Clients, SwarmLeechers,
                         ::testing::Values(LeecherKind::kLibtorrent, LeecherKind::kAria2,
                                           LeecherKind::kTransmission),
                         [](const auto& info) { return std::string(LeecherName(info.param)); });

}  // namespace
}  // namespace koruvan::test
