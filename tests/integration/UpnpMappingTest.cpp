// The router port mapping end to end in network namespaces the test makes (UpnpNetwork):
// the controller's start-up picks the port and asks miniupnpd in the "router" to forward
// it; the results come back through the notifications into the controller, which logs and
// reports them. The engine's BitTorrent listener is not part of this build yet: a plain
// listening socket on the chosen port stands in for it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "UpnpNetwork.h"
#include "app/ControllerFakes.h"
#include "app/PortMapping.h"

namespace koruvan::test {
namespace {

using namespace std::chrono_literals;

#define REQUIRE_NAMESPACES()                                         \
    do {                                                             \
        std::string why;                                             \
        if (!UpnpNetwork::Available(why)) {                          \
            GTEST_SKIP() << "no namespaces for the router: " << why; \
        }                                                            \
    } while (false)

// A TCP socket bound to address:port; listening, or connected to it.
int Socket(const char* address, int port, bool listen) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address, &a.sin_addr);
    const bool ok =
        listen ? bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd, 4) == 0
               : connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (!ok) {
        close(fd);
        return -1;
    }
    return fd;
}

// A controller whose start-up maps the port from inside a namespace, with the notifications
// handed to it as the front end would.
class MappingRun {
  public:
    explicit MappingRun(const std::string& bindAddress) : harness_(Plan(bindAddress)) {
        app::PortMappingHooks hooks;
        hooks.options.discoveryMs = 1000;
        mapping_ = std::make_unique<app::PortMapping>(harness_.plan.p2p, harness_.events, hooks);
        mapping_->Install(harness_.env);
    }
    ~MappingRun() {
        harness_.controller.reset();
        mapping_.reset();
    }

    // The controller's start-up with the calling thread in `ns`; the chosen port.
    int Start(const std::string& ns) {
        UpnpNetwork::Inside inside(ns);
        EXPECT_TRUE(inside.Entered()) << ns;
        harness_.Start();
        return harness_.engine.listenPort;
    }
    // Hands notifications to the controller until the mapping job reported its end (true),
    // or `limit` passed.
    bool PumpUntilMapped(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            for (const auto& [w, l] : mapping_->TakeNotifications()) {
                harness_.controller->OnPortForwardNotification(w, l);
                seen_.emplace_back(w, l);
                if (w == net::kMappingDone) {
                    return true;
                }
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    bool Saw(std::uintptr_t w, std::intptr_t l) const {
        return std::find(seen_.begin(), seen_.end(), std::pair{w, l}) != seen_.end();
    }
    ControllerHarness& Harness() { return harness_; }

  private:
    static app::DownloadPlan Plan(const std::string& bindAddress) {
        app::DownloadPlan plan = TestPlan();
        plan.p2p.bindAddress = bindAddress;
        return plan;
    }

    ControllerHarness harness_;
    std::unique_ptr<app::PortMapping> mapping_;
    std::vector<std::pair<std::uintptr_t, std::intptr_t>> seen_;
};

// The mapping lands in the router's nftables rules, and a connection from the WAN to the
// router's port reaches the listener on the LAN.
TEST(UpnpMappingTest, TheRouterForwardsTheChosenPortToTheClient) {
    REQUIRE_NAMESPACES();
    UpnpNetwork network(true);
    std::string why;
    ASSERT_TRUE(network.Up(why)) << why;
    MappingRun run(UpnpNetwork::kLanClient);
    const int port = run.Start(network.Lan());
    ASSERT_GT(port, 40000);
    ASSERT_LE(port, 50000);
    int listener = -1;
    {
        UpnpNetwork::Inside lan(network.Lan());
        listener = Socket(UpnpNetwork::kLanClient, port, true);
    }
    ASSERT_GE(listener, 0);
    ASSERT_TRUE(run.PumpUntilMapped(30s)) << network.GatewayLog();

    ControllerHarness& h = run.Harness();
    EXPECT_TRUE(run.Saw(net::kDeviceInfoDone, net::kResultOk));
    EXPECT_TRUE(run.Saw(net::kMappingDone, net::kResultOk)) << network.GatewayLog();
    EXPECT_TRUE(h.log.Has("IGD设备信息线程已创建"));
    EXPECT_TRUE(h.log.Has("uPnP线程已创建"));
    EXPECT_TRUE(
        h.log.Has(std::string("NAT Device found : Name : <") + UpnpNetwork::kRouterName + ">"));
    EXPECT_TRUE(h.log.Has("uPnP成功"));
    EXPECT_EQ(h.events.Count("11390000"), 1);
    EXPECT_EQ(h.events.Count("11500105"), 0);

    const std::string rules = network.RouterRules();
    EXPECT_NE(rules.find("dnat ip to 192.168.77.2:" + std::to_string(port)), std::string::npos)
        << rules;
    // The rules carry no text; the gateway logs the description it was given.
    EXPECT_NE(network.GatewayLog().find(net::kMappingDescription), std::string::npos)
        << network.GatewayLog();

    int client = -1;
    {
        UpnpNetwork::Inside wan(network.Wan());
        client = Socket(UpnpNetwork::kRouterWan, port, false);
    }
    ASSERT_GE(client, 0) << rules;
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const int accepted = accept(listener, reinterpret_cast<sockaddr*>(&from), &length);
    ASSERT_GE(accepted, 0);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    EXPECT_STREQ(text, UpnpNetwork::kWanHost);
    ASSERT_EQ(send(client, "peer", 4, 0), 4);
    char received[4] = {};
    EXPECT_EQ(recv(accepted, received, sizeof received, MSG_WAITALL), 4);
    EXPECT_EQ(std::string(received, 4), "peer");
    close(accepted);
    close(client);
    close(listener);
}

// A LAN whose router does not speak UPnP: the search finds nothing, the mapping job is still
// released, fails, and the failure is told as the one without device information.
TEST(UpnpMappingTest, WithoutAGatewayTheFailureIsLoggedAndReported) {
    REQUIRE_NAMESPACES();
    UpnpNetwork network(false);
    std::string why;
    ASSERT_TRUE(network.Up(why)) << why;
    MappingRun run(UpnpNetwork::kLanClient);
    const int port = run.Start(network.Lan());
    EXPECT_GT(port, 40000);  // the port stays the engine's, mapped or not
    ASSERT_TRUE(run.PumpUntilMapped(30s));
    ControllerHarness& h = run.Harness();
    EXPECT_TRUE(run.Saw(net::kDeviceInfoDone, net::kResultOk));
    EXPECT_TRUE(run.Saw(net::kMappingDone, net::kResultFailed));
    EXPECT_TRUE(h.log.Has("NAT device ^Not^ found.."));
    EXPECT_TRUE(h.log.Has("uPnP失败，因为没有IGD设备信息"));
    EXPECT_EQ(h.events.Last("11500105").errorMessage, "uPnP失败，因为没有IGD设备信息");
    EXPECT_EQ(h.events.Count("11390000"), 0);
}

// A machine with a public address needs no mapping: nothing is searched or added.
TEST(UpnpMappingTest, APublicAddressNeedsNoMapping) {
    REQUIRE_NAMESPACES();
    UpnpNetwork network(true);
    std::string why;
    ASSERT_TRUE(network.Up(why)) << why;
    MappingRun run(UpnpNetwork::kWanHost);
    const int port = run.Start(network.Wan());
    EXPECT_GT(port, 40000);
    ControllerHarness& h = run.Harness();
    const std::string text = std::string("无需uPnP：本机直通外网") + UpnpNetwork::kWanHost;
    EXPECT_EQ(h.events.Last("11390001").errorMessage, text);
    EXPECT_TRUE(h.log.Has(text));
    EXPECT_FALSE(h.log.Has("IGD设备信息线程已创建"));
    EXPECT_FALSE(run.PumpUntilMapped(1500ms));
    EXPECT_EQ(network.RouterRules().find("dnat"), std::string::npos) << network.RouterRules();
}

}  // namespace
}  // namespace koruvan::test
