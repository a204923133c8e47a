// A LAN party on the plan's default P2P settings: machines in network namespaces of their
// own on one bridge (198.51.100.0/24), no bind address, local discovery on and every machine
// on the engine's default port (UPnP off: no router to map a port, so each listens where the
// engine does by default). One machine seeds the finished game; the others download it with
// no web source and no tracker reachable, so multicast discovery alone brings them together.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "integration/swarm/SwarmPeers.h"
#include "support/LocalServer.h"

namespace koruvan::test {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

std::string Tail(const std::string& text) {
    return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
}

class SwarmLan : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(game_.Started());
        game_.SetListP2p(true);
        game_.RemoveWebFiles();
        // The trackers' address is on the bridge's network, but nothing answers there.
        game_.UseTrackers({"http://198.51.100.250:6969/announce"});
        game_.PretendFinished();
        plan_ = PlanVariant(game_, "lan.ini", "upnp = 0\n");
    }

    CliRun Machine(const NamespaceLan& lan, int i, const std::string& dataDir) {
        return CliRun{plan_, dataDir, dir_.File("run" + std::to_string(i)), lan.Host(i)};
    }

    // Machine 0 seeds; every other machine downloads at the same time and must end with the
    // game's bytes, all of them from peers.
    void SeedAndDownloadOn(const NamespaceLan& lan, int machines) {
        const CliRun seeder = Machine(lan, 0, game_.DataDir());
        const auto seeding = StartCli(seeder, {"seed", "--for", "400"}, "seed");
        ASSERT_TRUE(seeding);
        std::vector<CliRun> leechers;
        std::vector<std::unique_ptr<TestProgram>> downloads;
        for (int i = 1; i < machines; ++i) {
            leechers.push_back(Machine(lan, i, dir_.File("data" + std::to_string(i))));
            downloads.push_back(
                StartCli(leechers.back(), {"download", "--save-dir", SaveDir(i)}, "download"));
            ASSERT_TRUE(downloads.back());
        }
        for (int i = 1; i < machines; ++i) {
            const int code = downloads[i - 1]->Wait(std::chrono::seconds(150), true);
            const std::string log = CliOutput(leechers[i - 1], "download").err;
            if (code != 0) {
                ADD_FAILURE() << "machine " << i << " ended with " << code << ":\n"
                              << log << "\nseeder:\n"
                              << Tail(CliOutput(seeder, "seed").out);
                continue;
            }
            EXPECT_NE(log.find("from web sources 0 B"), std::string::npos) << log;
            for (int f = 0; f < 5; ++f) {
                EXPECT_TRUE(ReadFile(SaveDir(i) + "/" + game_.Name(f)) == ReadFile(game_.Target(f)))
                    << "machine " << i << ": " << game_.Name(f);
            }
        }
    }

    std::string SaveDir(int i) { return dir_.File("save" + std::to_string(i)); }

    TestGame game_{{24 * kMiB, 24 * kMiB, 16 * kMiB, 2 * kMiB}};
    TempDir dir_;
    std::string plan_;
};

TEST_F(SwarmLan, TwoMachinesOnDefaultsFindEachOther) {
    NamespaceLan lan(2);
    if (!lan.Ready()) {
        GTEST_SKIP() << lan.Problem();
    }
    SeedAndDownloadOn(lan, 2);
}

TEST_F(SwarmLan, ThreeMachinesOnDefaultsAllComplete) {
    NamespaceLan lan(3);
    if (!lan.Ready()) {
        GTEST_SKIP() << lan.Problem();
    }
    SeedAndDownloadOn(lan, 3);
}

}  // namespace
}  // namespace koruvan::test
