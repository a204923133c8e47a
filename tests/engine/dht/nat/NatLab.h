// Two NAT routers in network namespaces, built by the constructor and always removed by the
// destructor:
//
//   c1 198.51.100.2 -- r1 203.0.113.11 --+            +-- r2 203.0.113.12 -- c2 192.0.2.2
//                               bridge 203.0.113.1/24 (namespace "wan")
//
// r1 masquerades with endpoint-independent mapping and filtering (one UDP port is forwarded
// back to its client), r2 is a port-restricted NAT (plain masquerade: only answers to what
// its client sent get in). Namespaces are named <prefix><c1|c2|r1|r2|wan>.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace koruvan::test {

inline bool NatRun(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

class NatLab {
  public:
    // fullConePort: the UDP port r1 forwards to its client (endpoint-independent filtering).
    explicit NatLab(int fullConePort = 7001)
        : p_("kvn" + std::to_string(getpid() % 100000)), fullConePort_(fullConePort) {
        up_ = Build();
    }
    ~NatLab() {
        for (const char* ns : {"c1", "c2", "r1", "r2", "wan"}) {
            NatRun("ip netns del " + Ns(ns));
        }
    }
    static bool Available(std::string& why) {
        if (geteuid() != 0) {
            why = "network namespaces need root";
        } else if (!NatRun("command -v ip") || !NatRun("command -v nft") ||
                   !NatRun("command -v tc")) {
            why = "ip, nft or tc is missing";
        } else if (!NatRun("ip netns list")) {
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
        if (NatRun("ip netns exec " + Ns("c1") + " tc qdisc add dev " + p_ + "c1 root netem " +
                   netem) &&
            NatRun("ip netns exec " + Ns("c2") + " tc qdisc add dev " + p_ + "c2 root netem " +
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
            if (!NatRun("ip netns exec " + Ns(std::string("r") + n) + " nft -f " +
                        dir_.File(std::string("loss") + n + ".nft")) ||
                !NatRun("ip netns exec " + Ns(std::string("c") + n) + " nft -f " +
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
        if (NatRun(s)) {
            return true;
        }
        failure_ = "failed: " + s;
        return false;
    }

    std::string p_;
    int fullConePort_;
    TempDir dir_;
    bool up_ = false;
    std::string failure_;
};

}  // namespace koruvan::test
