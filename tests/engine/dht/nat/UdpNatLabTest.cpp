// The UDP transport through two NAT routers, in network namespaces this test builds and
// always removes:
//
//   c1 (198.51.100.2) -- r1 -- +                        + -- r2 -- c2 (192.0.2.2)
//                              wan bridge 203.0.113.0/24
//                              rendezvous 203.0.113.1:82
//
// r1 masquerades with endpoint-independent mapping and filtering (its client's UDP port is
// forwarded back), r2 is a port-restricted NAT (plain masquerade: only answers to traffic
// its client sent get in). TCP from c1 cannot reach c2's listener; the pseudo-socket does,
// through the rendezvous lookup, the connect notice and hole punching. tc netem then adds
// loss, reordering and duplication on both client links.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"
#include "support/TestProgram.h"

namespace koruvan::test {
namespace {

using namespace std::chrono_literals;

bool Run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

class NatLab {
  public:
    NatLab() : p_("kvn" + std::to_string(getpid() % 100000)) { up_ = Build(); }
    ~NatLab() {
        for (const char* ns : {"c1", "c2", "r1", "r2", "wan"}) {
            Run("ip netns del " + Ns(ns));
        }
    }
    static bool Available(std::string& why) {
        if (geteuid() != 0) {
            why = "network namespaces need root";
        } else if (!Run("command -v ip") || !Run("command -v nft") || !Run("command -v tc")) {
            why = "ip, nft or tc is missing";
        } else if (!Run("ip netns list")) {
            why = "ip netns does not work here";
        } else {
            return true;
        }
        return false;
    }
    bool Up(std::string& why) const {
        why = failure_;
        return up_;
    }
    std::string Ns(const std::string& n) const { return p_ + n; }
    // Loss and duplication (and, with tc netem, reordering) on both client links. Kernels
    // without the netem qdisc get the same loss from the routers' nftables (a random drop
    // of forwarded UDP, both directions) and duplicates from the clients' egress hook; the
    // reordering case is then left to the in-process transport tests.
    bool Impair(int lossPercent, int dupPercent, bool* reordered) {
        const std::string netem = "delay 5ms reorder 25% 50% loss " + std::to_string(lossPercent) +
                                  "% duplicate " + std::to_string(dupPercent) + "%";
        *reordered = true;
        if (Run("ip netns exec " + Ns("c1") + " tc qdisc add dev " + p_ + "c1 root netem " +
                netem) &&
            Run("ip netns exec " + Ns("c2") + " tc qdisc add dev " + p_ + "c2 root netem " +
                netem)) {
            return true;
        }
        *reordered = false;
        for (const char* n : {"1", "2"}) {
            // Every datagram crosses one router's forward hook, so each drops at the full rate.
            const std::string router =
                "table ip kvloss {\n  chain impair { type filter hook forward "
                "priority 0; policy accept; meta l4proto udp numgen random "
                "mod 100 < " +
                std::to_string(lossPercent) + " drop; }\n}\n";
            const std::string client =
                "table netdev kvdup {\n  chain out { type filter hook egress "
                "device \"" +
                p_ + "c" + n + "\" priority 0; meta l4proto udp numgen random mod 100 < " +
                std::to_string(dupPercent) + " dup to \"" + p_ + "c" + n + "\"; }\n}\n";
            WriteFile(dir_.File(std::string("loss") + n + ".nft"), router);
            WriteFile(dir_.File(std::string("dup") + n + ".nft"), client);
            if (!Run("ip netns exec " + Ns(std::string("r") + n) + " nft -f " +
                     dir_.File(std::string("loss") + n + ".nft")) ||
                !Run("ip netns exec " + Ns(std::string("c") + n) + " nft -f " +
                     dir_.File(std::string("dup") + n + ".nft"))) {
                return false;
            }
        }
        return true;
    }

  private:
    bool Build() {
        const std::string w = Ns("wan");
        const std::vector<std::string> steps = {
            "ip netns add " + w,
            "ip -n " + w + " link set lo up",
            "ip -n " + w + " link add " + p_ + "br type bridge",
            "ip -n " + w + " addr add 203.0.113.1/24 dev " + p_ + "br",
            "ip -n " + w + " link set " + p_ + "br up",
        };
        for (const std::string& s : steps) {
            if (!Step(s)) {
                return false;
            }
        }
        return Site("1", "203.0.113.11", "198.51.100", true) &&
               Site("2", "203.0.113.12", "192.0.2", false);
    }
    // Router rN with a client cN behind it on lan.0/24 (router .1, client .2).
    bool Site(const std::string& n, const std::string& wanIp, const std::string& lan,
              bool fullCone) {
        const std::string r = Ns("r" + n);
        const std::string c = Ns("c" + n);
        const std::string w = Ns("wan");
        std::string rules =
            "table ip kvnat {\n"
            "  chain post { type nat hook postrouting priority 100; "
            "oifname \"" +
            p_ + "r" + n + "w\" masquerade persistent; }\n";
        if (fullCone) {
            rules += "  chain pre { type nat hook prerouting priority -100; iifname \"" + p_ + "r" +
                     n + "w\" udp dport 7001 dnat to " + lan + ".2; }\n";
        }
        rules += "}\n";
        WriteFile(dir_.File("r" + n + ".nft"), rules);
        const std::vector<std::string> steps = {
            "ip netns add " + r,
            "ip netns add " + c,
            "ip -n " + r + " link set lo up",
            "ip -n " + c + " link set lo up",
            "ip link add " + p_ + "r" + n + "w netns " + r + " type veth peer name " + p_ + "w" +
                n + " netns " + w,
            "ip -n " + w + " link set " + p_ + "w" + n + " master " + p_ + "br",
            "ip -n " + w + " link set " + p_ + "w" + n + " up",
            "ip -n " + r + " addr add " + wanIp + "/24 dev " + p_ + "r" + n + "w",
            "ip -n " + r + " link set " + p_ + "r" + n + "w up",
            "ip link add " + p_ + "r" + n + "l netns " + r + " type veth peer name " + p_ + "c" +
                n + " netns " + c,
            "ip -n " + r + " addr add " + lan + ".1/24 dev " + p_ + "r" + n + "l",
            "ip -n " + r + " link set " + p_ + "r" + n + "l up",
            "ip -n " + c + " addr add " + lan + ".2/24 dev " + p_ + "c" + n,
            "ip -n " + c + " link set " + p_ + "c" + n + " up",
            "ip -n " + c + " route add default via " + lan + ".1",
            "ip netns exec " + r + " sysctl -qw net.ipv4.ip_forward=1",
            "ip netns exec " + r + " nft -f " + dir_.File("r" + n + ".nft"),
        };
        for (const std::string& s : steps) {
            if (!Step(s)) {
                return false;
            }
        }
        return true;
    }
    bool Step(const std::string& s) {
        if (Run(s)) {
            return true;
        }
        failure_ = "failed: " + s;
        return false;
    }

    std::string p_;
    TempDir dir_;
    bool up_ = false;
    std::string failure_;
};

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
    std::this_thread::sleep_for(1s);  // registered before anyone looks it up
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
    EXPECT_EQ(clean.loss, 0) << out;
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
