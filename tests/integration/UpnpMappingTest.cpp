// The router port mapping end to end in network namespaces the test makes (UpnpNetwork):
// the controller's start-up picks the port and asks miniupnpd in the "router" to forward
// it; the results come back through the notifications into the controller, which logs and
// reports them; the engine's BitTorrent listener on the LAN client takes the connection the
// router forwards.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "UpnpNetwork.h"
#include "app/ControllerFakes.h"
#include "app/PortMapping.h"
#include "engine/core/EngineApi.h"
#include "engine/core/TWorkThread.h"
#include "integration/TorrentMaker.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

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
    // A seeding task of the real engine on the LAN client listens on the chosen port; its
    // threads are made inside the LAN namespace and stay there.
    test::TempDir dir;
    const std::string content(200000, 'u');
    const std::string torrent = test::MakeTorrent("mapped.bin", content, 65536);
    test::WriteFile(dir.File("mapped.bin"), content);
    test::WriteFile(dir.File("mapped.torrent"), torrent);
    std::unique_ptr<engine::TWorkThread> task;
    {
        UpnpNetwork::Inside lan(network.Lan());
        ASSERT_EQ(engine::EngineStartup(dir.Path().c_str()), 0);
        ASSERT_EQ(engine::SetBindAddress(UpnpNetwork::kLanClient), 0);
        engine::SetLanDiscovery(false);
        engine::SetBtPeerFlag(0);
        engine::EnableP2P(true);
        engine::SetListenPort(port);
        task = std::make_unique<engine::TWorkThread>();
        task->SetFlags(engine::kFlagRecorded | engine::kFlagFullPath | engine::kFlagP2spTask |
                       engine::kFlagTrustExisting);
        task->SetTargetFile(dir.File("mapped.bin"));
        task->SetStateFilePath(dir.File("mapped.state"));
        task->SetKey("file://" + dir.File("mapped.torrent"));
        ASSERT_EQ(task->StartDownload(), 0);
    }
    const auto stopEngine = [&] {
        if (task != nullptr) {
            (void)task->StopDownload();
            task.reset();
        }
        engine::EnableP2P(false);
        engine::SetListenPort(0);
        (void)engine::SetBindAddress(nullptr);
        (void)engine::EngineCleanup();
    };
    struct Cleanup {
        std::function<void()> run;
        ~Cleanup() { run(); }
    } cleanup{stopEngine};
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

    // The task's first rounds open the listener; until then the router's forward is refused.
    int client = -1;
    {
        UpnpNetwork::Inside wan(network.Wan());
        EXPECT_TRUE(test::WaitFor(
            [&] {
                client = Socket(UpnpNetwork::kRouterWan, port, false);
                return client >= 0;
            },
            std::chrono::seconds(20)));
    }
    ASSERT_GE(client, 0) << rules;
    // A BitTorrent handshake from the WAN host for the task's info hash: the engine behind the
    // router answers with its own for the same torrent.
    const std::array<std::uint8_t, 20> hash = test::TorrentInfoHash(torrent);
    std::string hello(
        "\x13"
        "BitTorrent protocol",
        20);
    hello.append(8, '\0');
    hello.append(reinterpret_cast<const char*>(hash.data()), hash.size());
    hello.append("-XX0001-wanhost00000", 20);
    ASSERT_EQ(send(client, hello.data(), hello.size(), 0), static_cast<ssize_t>(hello.size()));
    timeval wait{10, 0};
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char answer[68] = {};
    ASSERT_EQ(recv(client, answer, sizeof answer, MSG_WAITALL), 68)
        << "the engine's listener did not answer through the router";
    EXPECT_EQ(std::string(answer, 20), hello.substr(0, 20));
    EXPECT_EQ(std::string(answer + 28, 20), hello.substr(28, 20)) << "another torrent";
    close(client);
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
