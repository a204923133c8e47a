#include "UpnpNetwork.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace koruvan::test {
namespace {

// Runs a shell command line; true when it succeeded.
bool Run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// The router's tables: miniupnpd adds its rules to the chains the hooks jump to.
constexpr const char* kRules =
    "table inet kvupnp {\n"
    "  chain forward {\n    type filter hook forward priority 0; policy accept;\n"
    "    jump miniupnpd\n  }\n"
    "  chain miniupnpd {\n  }\n"
    "  chain prerouting {\n    type nat hook prerouting priority -100; policy accept;\n"
    "    jump prerouting_miniupnpd\n  }\n"
    "  chain postrouting {\n    type nat hook postrouting priority 100; policy accept;\n"
    "    jump postrouting_miniupnpd\n  }\n"
    "  chain prerouting_miniupnpd {\n  }\n"
    "  chain postrouting_miniupnpd {\n  }\n"
    "}\n";

}  // namespace

bool UpnpNetwork::Available(std::string& why) {
    if (geteuid() != 0) {
        why = "network namespaces need root";
    } else if (FindProgram("ip").empty() || FindProgram("nft").empty()) {
        why = "ip or nft is not installed";
    } else if (FindProgram("miniupnpd").empty()) {
        why = "miniupnpd is not installed (scripts/bootstrap.sh installs it)";
    } else if (access("/usr/bin/python3", X_OK) != 0) {
        why = "Debian's /usr/bin/python3 is missing";
    } else if (!Run("ip netns list")) {
        why = "ip netns does not work here";
    } else {
        return true;
    }
    return false;
}

UpnpNetwork::UpnpNetwork(bool withGateway) : name_("kvu" + std::to_string(getpid())) {
    if (!Build(withGateway)) {
        failure_ = failure_.empty() ? "the namespaces could not be built" : failure_;
    }
}

UpnpNetwork::~UpnpNetwork() {
    gateway_.Stop();
    stun_.Stop();
    for (const std::string& ns : {Lan(), Router(), Wan()}) {
        Run("ip netns del " + ns);  // its interfaces go with it
    }
}

bool UpnpNetwork::Up(std::string& why) const {
    why = failure_;
    return failure_.empty();
}

bool UpnpNetwork::Build(bool withGateway) {
    const std::string l = Lan();
    const std::string r = Router();
    const std::string w = Wan();
    const std::string a = name_ + "a";  // LAN end of the LAN link
    const std::string b = name_ + "b";  // router end of the LAN link
    const std::string c = name_ + "c";  // router end of the WAN link
    const std::string d = name_ + "d";  // WAN end of the WAN link
    const std::vector<std::string> steps = {
        "ip netns add " + l,
        "ip netns add " + r,
        "ip netns add " + w,
        "ip link add " + a + " netns " + l + " type veth peer name " + b + " netns " + r,
        "ip link add " + c + " netns " + r + " type veth peer name " + d + " netns " + w,
        "ip -n " + l + " addr add 192.168.77.2/24 dev " + a,
        "ip -n " + r + " addr add 192.168.77.1/24 dev " + b,
        "ip -n " + r + " addr add 203.0.113.1/24 dev " + c,
        "ip -n " + w + " addr add 203.0.113.2/24 dev " + d,
        "ip -n " + l + " link set lo up",
        "ip -n " + r + " link set lo up",
        "ip -n " + w + " link set lo up",
        "ip -n " + l + " link set " + a + " up",
        "ip -n " + r + " link set " + b + " up",
        "ip -n " + r + " link set " + c + " up",
        "ip -n " + w + " link set " + d + " up",
        "ip -n " + l + " route add default via 192.168.77.1",
        "ip netns exec " + r + " sysctl -qw net.ipv4.ip_forward=1",
    };
    for (const std::string& step : steps) {
        if (!Run(step)) {
            failure_ = "failed: " + step;
            return false;
        }
    }
    return !withGateway || StartGateway();
}

bool UpnpNetwork::StartGateway() {
    WriteFile(dir_.File("rules.nft"), kRules);
    if (!Run("ip netns exec " + Router() + " nft -f " + dir_.File("rules.nft"))) {
        failure_ = "the router's nftables tables could not be made";
        return false;
    }
    WriteFile(dir_.File("miniupnpd.conf"),
              "ext_ifname=" + name_ + "c\nlistening_ip=" + name_ +
                  "b\n"
                  "port=0\nenable_natpmp=no\nenable_upnp=yes\nsecure_mode=yes\n"
                  "system_uptime=yes\next_perform_stun=yes\next_stun_host=203.0.113.2\n"
                  "ext_stun_port=3478\nupnp_table_name=kvupnp\nupnp_nat_table_name=kvupnp\n"
                  "upnp_forward_chain=miniupnpd\nupnp_nat_chain=prerouting_miniupnpd\n"
                  "upnp_nat_postrouting_chain=postrouting_miniupnpd\n"
                  "uuid=3ded5f46-5c1c-4a3c-9f5e-7c6b2a1d9e01\nfriendly_name=" +
                  std::string(kRouterName) +
                  "\nallow 1024-65535 192.168.77.0/24 1024-65535\n"
                  "deny 0-65535 0.0.0.0/0 0-65535\n");
    const std::string stun =
        std::string(KORUVAN_SOURCE_DIR) + "/tests/integration/fixtures/stun_reply.py";
    if (!stun_.Start(
            {"ip", "netns", "exec", Wan(), "/usr/bin/python3", stun, "--address", kWanHost})) {
        failure_ = "the STUN responder did not start";
        return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (!gateway_.Start({"ip", "netns", "exec", Router(), "miniupnpd", "-d", "-f",
                         dir_.File("miniupnpd.conf"), "-P", dir_.File("miniupnpd.pid")},
                        dir_.File("miniupnpd.log"))) {
        failure_ = "miniupnpd did not start";
        return false;
    }
    // Ready once its STUN check enabled forwarding and its HTTP server listens.
    for (int i = 0; i < 150; ++i) {
        const std::string log = GatewayLog();
        if (log.find("HTTP listening on port") != std::string::npos) {
            if (log.find("Port forwarding is now enabled") == std::string::npos) {
                failure_ = "miniupnpd did not enable port forwarding:\n" + log;
                return false;
            }
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    failure_ = "miniupnpd did not come up:\n" + GatewayLog();
    return false;
}

std::string UpnpNetwork::RouterRules() const {
    return CommandOutput("ip netns exec " + Router() + " nft list ruleset 2>&1");
}

std::string UpnpNetwork::GatewayLog() const {
    return ReadFile(dir_.File("miniupnpd.log"));
}

UpnpNetwork::Inside::Inside(const std::string& ns) {
    home_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    entered_ = home_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
    if (target >= 0) {
        close(target);
    }
}

UpnpNetwork::Inside::~Inside() {
    if (entered_) {
        (void)setns(home_, CLONE_NEWNET);
    }
    if (home_ >= 0) {
        close(home_);
    }
}

}  // namespace koruvan::test
