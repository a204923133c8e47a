// The UDP transport through two NAT routers (engine/dht/nat/NatLab.h): TCP from c1 cannot
// reach c2's listener behind the port-restricted r2; the pseudo-socket does, through the
// rendezvous lookup, the connect notice and hole punching. Then loss and duplication (and
// reordering where the kernel has tc netem) on both client links.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "engine/dht/nat/NatLab.h"
#include "support/TempDir.h"
#include "support/TestProgram.h"

namespace koruvan::test {
namespace {

using namespace std::chrono_literals;

struct Figures {
    int loss = -1;
    int window = -1;
    int payload = -1;
};

Figures ReadFigures(const std::string& out) {
    std::smatch m;
    Figures f;
    if (std::regex_search(out, m,
                          std::regex("udp: \\d+ bytes in \\d+ ms, loss (\\d+) %, window (\\d+), "
                                     "payload (\\d+)"))) {
        f.loss = std::stoi(m[1]);
        f.window = std::stoi(m[2]);
        f.payload = std::stoi(m[3]);
    }
    return f;
}

// One stream of `bytes` from c1 to c2's listener; the connector's output.
std::string Stream(NatLab& lab, TempDir& dir, const std::string& name, std::uint64_t bytes,
                   int* connectorExit, int* listenerExit) {
    TestProgram listener;
    TestProgram connector;
    const std::string b = std::to_string(bytes);
    EXPECT_TRUE(listener.Start({"/usr/sbin/ip",
                                {"netns", "exec", lab.Ns("c2"), KORUVAN_UDP_PEER, "listen",
                                 "203.0.113.1:82", "7002", "32", "6881", b},
                                dir.Path(),
                                dir.File(name + "-listener.txt"),
                                "",
                                {}}));
    // Registered before anyone looks it up (a lost register is sent again within 10 s).
    for (int i = 0; i < 600 && ReadFile(dir.File(name + "-listener.txt")).find("listening") ==
                                   std::string::npos;
         ++i) {
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(connector.Start({"/usr/sbin/ip",
                                 {"netns", "exec", lab.Ns("c1"), KORUVAN_UDP_PEER, "connect",
                                  "203.0.113.1:82", "7001", "16", "203.0.113.12:6881", "32", b},
                                 dir.Path(),
                                 dir.File(name + "-connector.txt"),
                                 "",
                                 {}}));
    *connectorExit = connector.Wait(300s, true);
    *listenerExit = listener.Wait(30s, true);
    const std::string out = ReadFile(dir.File(name + "-connector.txt"));
    std::printf("%s:\n%s", name.c_str(), out.c_str());
    return out;
}

TEST(UdpNatLab, StreamsCrossTwoNatsWhereTcpCannot) {
    std::string why;
    if (!NatLab::Available(why)) {
        GTEST_SKIP() << why;
    }
    NatLab lab;
    ASSERT_TRUE(lab.Up(why)) << why;
    TempDir dir;
    TestProgram rendezvous;
    ASSERT_TRUE(rendezvous.Start(
        {"/usr/sbin/ip",
         {"netns", "exec", lab.Ns("wan"), KORUVAN_RENDEZVOUS, "--listen", "203.0.113.1:82"},
         dir.Path(),
         dir.File("rendezvous.log"),
         "",
         {}}));
    std::this_thread::sleep_for(300ms);

    int connectorExit = -1;
    int listenerExit = -1;
    std::string out = Stream(lab, dir, "clean", 1 << 20, &connectorExit, &listenerExit);
    EXPECT_EQ(connectorExit, 0) << out;
    EXPECT_EQ(listenerExit, 0) << ReadFile(dir.File("clean-listener.txt"));
    EXPECT_NE(out.find("tcp: unreachable"), std::string::npos) << out;
    EXPECT_NE(out.find("peer verified the stream"), std::string::npos) << out;
    const Figures clean = ReadFigures(out);
    // A loaded machine may re-send a few packets late; the window stays whole below 6 %.
    EXPECT_LE(clean.loss, 5) << out;
    EXPECT_EQ(clean.window, 12);
    EXPECT_EQ(clean.payload, 1320);
    const std::string log = ReadFile(dir.File("rendezvous.log"));
    EXPECT_NE(log.find("register 1011121314151617 external 203.0.113.11:7001 local "
                       "198.51.100.2:7001"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("register 2021222324252627 external 203.0.113.12:7002"), std::string::npos)
        << log;
    EXPECT_NE(log.find("connect 1011121314151617 203.0.113.11:7001 -> 2021222324252627 "
                       "203.0.113.12:7002"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("lookup 1011121314151617 from 203.0.113.11:7001"), std::string::npos) << log;

    // 5 % loss, reordering and duplication on both links: intact, with a measured loss
    // rate that sets the window and the payload size.
    bool reordered = false;
    ASSERT_TRUE(lab.Impair(5, 2, &reordered));
    std::printf("impairment: 5 %% loss, 2 %% duplicates%s\n",
                reordered ? ", reordering (netem)" : " (nftables; no netem in this kernel)");
    out = Stream(lab, dir, "lossy", 96 << 10, &connectorExit, &listenerExit);
    EXPECT_EQ(connectorExit, 0) << out;
    EXPECT_EQ(listenerExit, 0) << ReadFile(dir.File("lossy-listener.txt"));
    const Figures lossy = ReadFigures(out);
    EXPECT_GT(lossy.loss, 0) << out;
    EXPECT_EQ(lossy.window, std::min(12, (1260 - 12 * lossy.loss) / 100)) << out;
    EXPECT_EQ(lossy.payload, lossy.loss <= 30 ? 1320 : 660) << out;
    rendezvous.Signal(SIGTERM);
    EXPECT_EQ(rendezvous.Wait(5s, true), 0);
}

}  // namespace
}  // namespace koruvan::test
