// Engine to engine with the product's disguise on, each koruvan-cli in a network namespace
// of its own on one bridge (198.51.100.0/24): one seeds, the other downloads over
// BitTorrent alone (no web source reachable), finding the seed through a tracker on the
// bridge, and in another run through multicast discovery alone (no tracker answers) with the
// plan's default P2P settings: no bind address, the controller's port, discovery on.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "integration/swarm/SwarmPeers.h"
#include "support/LocalServer.h"

namespace koruvan::test {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr int kTrackerPort = 6969;

class SwarmNamespaces : public ::testing::Test {
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
        std::filesystem::permissions(
            work, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                      std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                      std::filesystem::perms::others_exec);
        {
            std::ofstream whitelist(work + "/whitelist.txt");
            for (int i = 0; i < 5; ++i) {
                whitelist << game_.InfoHashHex(i) << "\n";
            }
        }
        std::filesystem::permissions(
            work + "/whitelist.txt",
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read | std::filesystem::perms::others_read);
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

    // A reference DHT node (python3-libtorrent) on the bridge's address; the hosts'
    // nodes bootstrap from it when the DHT is on.
    bool StartDhtNode() {
        const std::string script =
            std::string(KORUVAN_SOURCE_DIR) + "/tests/engine/dht/interop/lt_dht_node.py";
        return dhtNode_.Start(
            {FindProgram("ip"),
             {"netns", "exec", lan_.Switch(), "/usr/bin/python3", script, "--ip",
              NamespaceLan::SwitchAddress(), "--port", "6881", "--seconds", "400"},
             dir_.Path(),
             dir_.File("dht-node.out"),
             "",
             {}});
    }

    // The host's plan: its own address and port, disguise as the product has it; with
    // `planDefaults_`, an empty [p2p] section.
    CliRun Host(int i, bool lanDiscovery, const std::string& dataDir) {
        std::string p2p =
            planDefaults_ ? std::string()
                          : "upnp = 0\nlan_discovery = " + std::string(lanDiscovery ? "1" : "0") +
                                "\nbind_address = " + lan_.Address(i) + "\nlisten_port = 6881\n";
        if (dht_) {
            p2p += "dht = 1\ndht_bootstrap = " + NamespaceLan::SwitchAddress() +
                   ":6881\nrendezvous = " + lan_.Address(i) + ":82\n";
        }
        return CliRun{PlanVariant(game_, "host" + std::to_string(i) + ".ini", p2p), dataDir,
                      dir_.File("run" + std::to_string(i)), lan_.Host(i)};
    }

    // Host 0 seeds the finished game; host 1 downloads it. Returns host 1's exit code.
    int SeedAndDownload(bool lanDiscovery, bool viaTracker) {
        game_.PretendFinished();
        const CliRun seeder = Host(0, lanDiscovery, game_.DataDir());
        const CliRun leecher = Host(1, lanDiscovery, dir_.File("data1"));
        const auto seeding = StartCli(seeder, {"seed", "--for", "400"}, "seed");
        EXPECT_TRUE(seeding);
        if (!seeding) {
            return -1;
        }
        std::vector<std::string> hashes;
        for (int i = 0; i < 5; ++i) {
            hashes.push_back(game_.InfoHashHex(i));
        }
        if (viaTracker &&
            !WaitForSeeds(NamespaceLan::SwitchAddress(), kTrackerPort, hashes, lan_.Switch())) {
            ADD_FAILURE() << "the seed never reached the tracker: "
                          << CliOutput(seeder, "seed").err;
            return -1;
        }
        const auto download =
            StartCli(leecher, {"download", "--save-dir", dir_.File("save1")}, "download");
        EXPECT_TRUE(download);
        const int code = download ? download->Wait(std::chrono::seconds(150), true) : -1;
        seedLog_ = CliOutput(seeder, "seed").out + CliOutput(seeder, "seed").err;
        downloadLog_ = CliOutput(leecher, "download").err;
        return code;
    }

    void ExpectSameFiles() {
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(ReadFile(dir_.File("save1/" + game_.Name(i))), ReadFile(game_.Target(i)))
                << game_.Name(i);
        }
        EXPECT_NE(downloadLog_.find("from web sources 0 B"), std::string::npos) << downloadLog_;
    }

    NamespaceLan lan_{2};
    TestGame game_{{2 * kMiB, 2 * kMiB, 2 * kMiB, kMiB}};
    TempDir dir_;
    TestProgram tracker_;
    TestProgram dhtNode_;
    bool dht_ = false;
    bool planDefaults_ = false;
    std::string seedLog_;
    std::string downloadLog_;
};

TEST_F(SwarmNamespaces, DisguisedEnginesMeetThroughTheTracker) {
    ASSERT_TRUE(StartTracker()) << ReadFile(dir_.File("tracker/opentracker.log"));
    game_.UseTrackers({"http://" + NamespaceLan::SwitchAddress() + ":" +
                       std::to_string(kTrackerPort) + "/announce"});
    ASSERT_EQ(SeedAndDownload(false, true), 0) << downloadLog_ << "\nseeder:\n" << seedLog_;
    ExpectSameFiles();
}

TEST_F(SwarmNamespaces, DisguisedEnginesOnPlanDefaultsMeetThroughLocalDiscoveryAlone) {
    // The trackers' address is on the bridge's network, but nothing answers there.
    planDefaults_ = true;
    game_.UseTrackers({"http://198.51.100.250:" + std::to_string(kTrackerPort) + "/announce"});
    ASSERT_EQ(SeedAndDownload(true, false), 0) << downloadLog_ << "\nseeder:\n" << seedLog_;
    ExpectSameFiles();
}

TEST_F(SwarmNamespaces, EnginesMeetThroughTheDhtAlone) {
    // No tracker answers and discovery is off: the seeder announces itself through the DHT
    // (a reference node on the bridge and the two engines' nodes), the downloader finds it
    // there.
    ASSERT_TRUE(StartDhtNode());
    game_.UseTrackers({"http://198.51.100.250:" + std::to_string(kTrackerPort) + "/announce"});
    dht_ = true;
    ASSERT_EQ(SeedAndDownload(false, false), 0)
        << downloadLog_ << "\nseeder:\n"
        << seedLog_ << "\nreference node:\n"
        << ReadFile(dir_.File("dht-node.out")).substr(0, 4000);
    ExpectSameFiles();
    const std::string lines = CliOutput(Host(1, false, dir_.File("data1")), "download").out;
    EXPECT_NE(lines.find("  dht "), std::string::npos) << "the download line shows the table";
}

}  // namespace
}  // namespace koruvan::test
