// Two koruvan-cli behind two NAT routers (one endpoint-independent, one port-restricted):
// the seeder's TCP port cannot be reached from outside, no web source answers, and the
// downloader still gets all five files from the seeder over the UDP transport, brought
// together by the rendezvous server after the tracker named the seeder's public address.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "engine/dht/nat/NatLab.h"
#include "integration/swarm/SwarmPeers.h"
#include "support/LocalServer.h"

namespace koruvan::test {
namespace {

constexpr std::uint64_t kKiB = 1024;
constexpr int kTrackerPort = 6969;
const std::string kWan = "203.0.113.1";

TEST(SwarmNat, CliDownloadsFromASeedBehindAnotherNatOverTheUdpTransport) {
    std::string why;
    if (!NatLab::Available(why)) {
        GTEST_SKIP() << why;
    }
    NatLab lab;
    ASSERT_TRUE(lab.Up(why)) << why;
    TestGame game({512 * kKiB, 512 * kKiB, 256 * kKiB, 256 * kKiB});
    ASSERT_TRUE(game.Started());
    game.SetListP2p(true);
    game.RemoveWebFiles();  // the mirror is on the host's loopback anyway, out of reach
    game.UseTrackers({"http://" + kWan + ":" + std::to_string(kTrackerPort) + "/announce"});
    TempDir dir;

    const std::string work = dir.File("tracker");
    std::filesystem::create_directories(work);
    std::filesystem::permissions(work, std::filesystem::perms::all);
    std::vector<std::string> hashes;
    {
        std::ofstream whitelist(work + "/whitelist.txt");
        for (int i = 0; i < 5; ++i) {
            hashes.push_back(game.InfoHashHex(i));
            whitelist << hashes.back() << "\n";
        }
    }
    std::filesystem::permissions(work + "/whitelist.txt", std::filesystem::perms::all);
    TestProgram tracker;
    ASSERT_TRUE(tracker.Start({FindProgram("ip"),
                               {"netns", "exec", lab.Ns("wan"), FindProgram("opentracker"), "-i",
                                kWan, "-p", std::to_string(kTrackerPort), "-P",
                                std::to_string(kTrackerPort), "-d", work, "-w", "whitelist.txt"},
                               work,
                               work + "/opentracker.log",
                               "",
                               {}}));
    TestProgram rendezvous;
    ASSERT_TRUE(rendezvous.Start(
        {FindProgram("ip"),
         {"netns", "exec", lab.Ns("wan"), KORUVAN_RENDEZVOUS, "--listen", kWan + ":82"},
         dir.Path(),
         dir.File("rendezvous.log"),
         "",
         {}}));

    // The seeder listens on the port its router forwards for UDP only; TCP dials to it are
    // refused at the router.
    const auto p2p = [](const std::string& address, int port) {
        return "upnp = 0\nlan_discovery = 0\nbind_address = " + address +
               "\nlisten_port = " + std::to_string(port) + "\nrendezvous = " + kWan + ":82\n";
    };
    game.PretendFinished();
    const CliRun seeder{PlanVariant(game, "seeder.ini", p2p("198.51.100.2", 7001)), game.DataDir(),
                        dir.File("run-seed"), lab.Ns("c1")};
    const auto seeding = StartCli(seeder, {"seed", "--for", "400"}, "seed");
    ASSERT_TRUE(seeding);
    ASSERT_TRUE(WaitForSeeds(kWan, kTrackerPort, hashes, lab.Ns("wan")))
        << CliOutput(seeder, "seed").err;

    const CliRun leecher{PlanVariant(game, "leecher.ini", p2p("192.0.2.2", 7002)), dir.File("data"),
                         dir.File("run"), lab.Ns("c2")};
    const auto download =
        StartCli(leecher, {"download", "--save-dir", dir.File("save")}, "download");
    ASSERT_TRUE(download);
    const int code = download->Wait(std::chrono::seconds(300), true);
    const std::string log = ReadFile(dir.File("rendezvous.log"));
    ASSERT_EQ(code, 0) << CliOutput(leecher, "download").err << "\nrendezvous:\n"
                       << log.substr(0, 3000);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(ReadFile(dir.File("save/" + game.Name(i))), ReadFile(game.Target(i)))
            << game.Name(i);
    }
    EXPECT_NE(CliOutput(leecher, "download").err.find("from web sources 0 B"), std::string::npos);
    // Both registered from behind their routers; the downloader looked the seeder up and the
    // server passed the wish on.
    EXPECT_NE(log.find("external 203.0.113.11:7001"), std::string::npos) << log;
    EXPECT_NE(log.find("external 203.0.113.12:"), std::string::npos) << log;
    EXPECT_NE(log.find("lookup "), std::string::npos) << log;
    EXPECT_NE(log.find("connect "), std::string::npos) << log;
    seeding->Signal(SIGINT);
    EXPECT_EQ(seeding->Wait(std::chrono::seconds(30), true), 0);
}

}  // namespace
}  // namespace koruvan::test
