// Local discovery over multicast, inside a network namespace the test creates (and always
// deletes): a veth pair with 198.51.100.1 (the engine) and 198.51.100.2 (a scripted peer). The
// engine announces its download, answers the peer's announcement with a reply and connects to the
// peer it learned about. A second case checks that an engine listening on every address (no
// bind address) still tells a connection from another network from a neighbour's. Needs root
// and iproute2; skipped otherwise.
#include <gtest/gtest.h>

#include <openssl/sha.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "EngineTestSupport.h"
#include "engine/core/EngineApi.h"
#include "engine/core/EngineState.h"
#include "integration/TorrentMaker.h"
#include "support/LocalServer.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

namespace koruvan::engine {
namespace {

bool Shell(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// A network namespace of this test, removed when the object goes away.
class TestNamespace {
  public:
    explicit TestNamespace(const std::string& suffix = "")
        : name_("kvbt" + std::to_string(::getpid()) + suffix) {
        created_ = Shell("ip netns add " + name_);
    }
    ~TestNamespace() {
        if (created_) {
            Shell("ip netns delete " + name_);
        }
    }
    bool Created() const { return created_; }
    std::string Exec(const std::string& command) const {
        return "ip netns exec " + name_ + " " + command;
    }
    const std::string& Name() const { return name_; }

  private:
    std::string name_;
    bool created_ = false;
};

std::string Hex(const std::string& bytes) {
    std::string out;
    char two[3];
    for (const char c : bytes) {
        std::snprintf(two, sizeof two, "%02x", static_cast<unsigned char>(c));
        out += two;
    }
    return out;
}

bool Exists(const std::string& path) {
    return std::ifstream(path).good();
}

// This test program, run inside `ns` with only the named (disabled) test.
std::string RunInside(const TestNamespace& ns, const std::string& dir, const std::string& test) {
    return ns.Exec("env KORUVAN_DISCOVERY_OUT=" + dir + " /proc/" + std::to_string(::getpid()) +
                   "/exe --gtest_also_run_disabled_tests --gtest_filter=" + test);
}

// A torrent of one file in `dir` ("lan.torrent"); returns its info hash.
std::string WriteTorrent(const test::TempDir& dir) {
    const std::string content(300000, 'd');
    const std::string torrent = test::MakeTorrent("lan.bin", content, 16384);
    test::WriteFile(dir.File("lan.torrent"), torrent);
    const std::size_t info = torrent.find("4:info") + 6;
    unsigned char hash[20];
    SHA1(reinterpret_cast<const unsigned char*>(torrent.data() + info), torrent.size() - info - 1,
         hash);
    return std::string(reinterpret_cast<char*>(hash), 20);
}

// The engine side: starts the engine on the given P2P settings with the torrent's task.
std::unique_ptr<test::Descriptor> StartLanTask(const std::string& dir) {
    EXPECT_EQ(EngineStartup(dir.c_str()), 0);
    SetLanDiscovery(true);
    EnableP2P(true);
    auto d = test::MakeDescriptor(kFlagRecorded | kFlagFullPath | kFlagP2spTask, dir + "/lan.bin",
                                  dir + "/lan.kvinfo", "", "file://" + dir + "/lan.torrent");
    EXPECT_EQ(CreateAndStartTask(d.get()), 0);
    EXPECT_EQ(SetTaskConnectionLimits(d->handle, 4, 10), 0);
    return d;
}

// The parent: builds the namespace, starts the scripted peer in it and runs the engine
// side (LanDiscoveryInside below) in it as a child process of this test program.
TEST(LanDiscoveryTest, PeersFindEachOtherThroughMulticastInANamespace) {
    if (std::getenv("KORUVAN_DISCOVERY_OUT") != nullptr) {
        GTEST_SKIP() << "inside the namespace";
    }
    if (::geteuid() != 0 || test::FindProgram("ip").empty()) {
        GTEST_SKIP() << "needs root and iproute2 for a network namespace";
    }
    test::TempDir dir;
    const std::string hash = WriteTorrent(dir);
    TestNamespace ns;
    ASSERT_TRUE(ns.Created());
    for (const std::string step :
         {"ip link set lo up", "ip link add kv0 type veth peer name kv1",
          "ip addr add 198.51.100.1/24 dev kv0", "ip addr add 198.51.100.2/24 dev kv1",
          "ip link set kv0 up", "ip link set kv1 up"}) {
        ASSERT_TRUE(Shell(ns.Exec(step))) << step;
    }
    test::ChildProcess peer;
    ASSERT_TRUE(
        peer.Start({"ip", "netns", "exec", "kvbt" + std::to_string(::getpid()), "/usr/bin/python3",
                    std::string(KORUVAN_SOURCE_DIR) + "/tests/engine/core/scripts/lan_peer.py",
                    "198.51.100.2", "6999", Hex(hash), dir.Path()},
                   dir.File("peer.log")));
    // The engine announces itself once: the peer must have joined the group first.
    ASSERT_TRUE(test::WaitFor([&] { return Exists(dir.File("ready")); }, std::chrono::seconds(20)))
        << "the scripted peer did not start";
    const std::string inside =
        RunInside(ns, dir.Path(), "LanDiscoveryInside.DISABLED_AnnouncesRepliesAndConnects");
    EXPECT_TRUE(Shell(inside)) << "the engine side failed: " << inside;
    EXPECT_TRUE(Exists(dir.File("announce"))) << "no announcement from the engine";
    EXPECT_TRUE(Exists(dir.File("reply"))) << "the engine did not reply to an announcement";
    EXPECT_TRUE(Exists(dir.File("handshake"))) << "the engine did not connect to the peer";
    peer.Stop();
}

// The engine side, run by the parent inside the namespace (disabled in every other run).
TEST(LanDiscoveryInside, DISABLED_AnnouncesRepliesAndConnects) {
    const char* out = std::getenv("KORUVAN_DISCOVERY_OUT");
    if (out == nullptr) {
        GTEST_SKIP() << "run by LanDiscoveryTest inside its namespace";
    }
    const std::string dir = out;
    ASSERT_EQ(SetBindAddress("198.51.100.1"), 0);
    SetListenPort(6881);
    const auto task = StartLanTask(dir);
    EXPECT_TRUE(
        test::WaitFor([&] { return Exists(dir + "/handshake"); }, std::chrono::seconds(60)));
    EXPECT_EQ(EngineCleanup(), 0);
}

// The engine on its defaults (no bind address, the default port) in one namespace, a client
// in another on a different network (203.0.113.0/24, routed over the link): its connection
// marks the engine reachable from outside.
TEST(LanDiscoveryTest, ConnectionFromAnotherNetworkMarksTheNodeReachable) {
    if (std::getenv("KORUVAN_DISCOVERY_OUT") != nullptr) {
        GTEST_SKIP() << "inside the namespace";
    }
    if (::geteuid() != 0 || test::FindProgram("ip").empty()) {
        GTEST_SKIP() << "needs root and iproute2 for network namespaces";
    }
    test::TempDir dir;
    (void)WriteTorrent(dir);
    TestNamespace engine("e");
    TestNamespace outside("o");
    ASSERT_TRUE(engine.Created() && outside.Created());
    for (const std::string& step :
         {engine.Exec("ip link set lo up"),
          engine.Exec("ip link add kv0 type veth peer name kv1 netns " + outside.Name()),
          engine.Exec("ip addr add 198.51.100.1/24 dev kv0"), engine.Exec("ip link set kv0 up"),
          engine.Exec("ip route add 203.0.113.0/24 dev kv0"),
          outside.Exec("ip addr add 203.0.113.2/24 dev kv1"), outside.Exec("ip link set kv1 up"),
          outside.Exec("ip route add 198.51.100.0/24 dev kv1")}) {
        ASSERT_TRUE(Shell(step)) << step;
    }
    // Connects (again) until the engine's listener answers, then holds the connection a while.
    test::ChildProcess client;
    ASSERT_TRUE(client.Start({"ip", "netns", "exec", outside.Name(), "bash", "-c",
                              "for i in $(seq 120); do exec 3<>/dev/tcp/198.51.100.1/8080 && "
                              "sleep 5 && exit 0; sleep 0.5; done; exit 1"},
                             dir.File("client.log")));
    const std::string inside =
        RunInside(engine, dir.Path(), "LanDiscoveryInside.DISABLED_ReachableFromOutside");
    EXPECT_TRUE(Shell(inside)) << "the engine side failed: " << inside;
    client.Stop();
}

TEST(LanDiscoveryInside, DISABLED_ReachableFromOutside) {
    const char* out = std::getenv("KORUVAN_DISCOVERY_OUT");
    if (out == nullptr) {
        GTEST_SKIP() << "run by LanDiscoveryTest inside its namespace";
    }
    const auto task = StartLanTask(out);
    EXPECT_TRUE(test::WaitFor([] { return Engine().reachableFromOutside.load(); },
                              std::chrono::seconds(30)));
    EXPECT_EQ(EngineCleanup(), 0);
}

}  // namespace
}  // namespace koruvan::engine
