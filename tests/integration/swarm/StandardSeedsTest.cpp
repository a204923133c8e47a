// koruvan-cli on the plan's default P2P settings (the disguise on, no bind address, the
// default port, discovery and port mapping on) downloads the game from one seed of another
// make found through opentracker, every web source unreachable: python3-libtorrent, aria2c
// and transmission, and for comparison another koruvan-cli on the same defaults. The seed
// and the downloader are network namespaces on one bridge; the tracker is on the bridge.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "integration/swarm/StandardSeeds.h"
#include "integration/swarm/SwarmPeers.h"
#include "support/LocalServer.h"

namespace koruvan::test {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr int kTrackerPort = 6969;

class StandardSeedDownload : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        std::string why;
        if (!lan_.Ready()) {
            GTEST_SKIP() << lan_.Problem();
        }
        if (std::string(GetParam()) != "koruvan" && !StandardSeed::Available(GetParam(), why)) {
            GTEST_SKIP() << why;
        }
        ASSERT_TRUE(game_.Started());
        game_.SetListP2p(true);
        game_.RemoveWebFiles();
        ASSERT_TRUE(StartNamespaceTracker(tracker_, lan_.Switch(), NamespaceLan::SwitchAddress(),
                                          kTrackerPort, dir_.File("tracker"), Hashes()))
            << ReadFile(dir_.File("tracker/opentracker.log"));
        game_.UseTrackers({"http://" + NamespaceLan::SwitchAddress() + ":" +
                           std::to_string(kTrackerPort) + "/announce"});
    }

    std::vector<std::string> Hashes() const {
        std::vector<std::string> hashes;
        for (int i = 0; i < 5; ++i) {
            hashes.push_back(game_.InfoHashHex(i));
        }
        return hashes;
    }

    // The plan with an empty [p2p] section: every P2P setting at its default.
    CliRun Host(int i, const std::string& dataDir) {
        return CliRun{PlanVariant(game_, "host" + std::to_string(i) + ".ini", ""), dataDir,
                      dir_.File("run" + std::to_string(i)), lan_.Host(i)};
    }

    // Host 0 seeds the game: a standard client, or koruvan-cli on the defaults. Returns the
    // seed's log reader.
    bool StartSeed() {
        if (std::string(GetParam()) == "koruvan") {
            game_.PretendFinished();
            seeder_ = Host(0, game_.DataDir());
            koruvanSeed_ = StartCli(seeder_, {"seed", "--for", "400"}, "seed");
            return koruvanSeed_ != nullptr;
        }
        game_.WriteFilesTo(dir_.File("seed"));
        seed_ = std::make_unique<StandardSeed>(
            StandardSeedSetup{GetParam(), lan_.Host(0), lan_.Address(0), 6881, dir_.File("seed"),
                              dir_.File("seed-work"), game_.TorrentFiles()});
        return seed_->Start();
    }
    std::string SeedLog() const {
        if (seed_ != nullptr) {
            return seed_->Log();
        }
        const CliResult out = CliOutput(seeder_, "seed");
        return out.err + out.out.substr(0, 3000);
    }

    NamespaceLan lan_{2};
    TestGame game_{{24 * kMiB, 16 * kMiB, 16 * kMiB, 8 * kMiB}};
    TempDir dir_;
    TestProgram tracker_;
    std::unique_ptr<StandardSeed> seed_;
    CliRun seeder_;
    std::unique_ptr<TestProgram> koruvanSeed_;
};

TEST_P(StandardSeedDownload, CliOnDefaultSettingsTakesEveryFileFromTheSeed) {
    ASSERT_TRUE(StartSeed()) << SeedLog();
    ASSERT_TRUE(WaitForSeeds(NamespaceLan::SwitchAddress(), kTrackerPort, Hashes(), lan_.Switch(),
                             std::chrono::seconds(60)))
        << "the seed never reached the tracker:\n"
        << SeedLog();

    const CliRun leecher = Host(1, dir_.File("data1"));
    const auto download =
        StartCli(leecher, {"download", "--save-dir", dir_.File("save1")}, "download");
    ASSERT_TRUE(download);
    const int code = download->Wait(std::chrono::seconds(180), true);
    const CliResult out = CliOutput(leecher, "download");
    ASSERT_EQ(code, 0) << out.err << "\nseed:\n" << SeedLog();
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(ReadFile(dir_.File("save1/" + game_.Name(i))),
                  ReadFile(seed_ != nullptr ? dir_.File("seed/" + game_.Name(i)) : game_.Target(i)))
            << game_.Name(i);
    }
    // Every byte came from the seed (a block that arrived twice counts twice).
    std::smatch received;
    ASSERT_TRUE(std::regex_search(out.err, received,
                                  std::regex("from web sources 0 B, from peers ([0-9]+) B")))
        << out.err;
    EXPECT_GE(std::stoull(received[1].str()), game_.TotalBytes());
}

INSTANTIATE_TEST_SUITE_P(Seeds, StandardSeedDownload,
                         ::testing::Values("libtorrent", "aria2c", "transmission", "koruvan"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace koruvan::test
