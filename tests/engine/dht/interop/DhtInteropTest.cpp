// The engine's DHT node among reference nodes (python3-libtorrent) in network namespaces:
// the tables fill both ways, each side finds the other's announce, a query flood keeps the
// node answering, and the node file brings the table back without a bootstrap.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "NetnsLab.h"
#include "engine/core/base/EngineClock.h"
#include "engine/dht/CKadActionBitTorrent.h"
#include "engine/dht/CKademlia.h"
#include "engine/dht/QUInternalServer.h"
#include "engine/dht/UdpServerStart.h"
#include "platform/Paths.h"
#include "support/TempDir.h"
#include "support/TestProgram.h"
#include "support/WaitFor.h"

namespace koruvan::engine::test {
namespace {

using namespace std::chrono_literals;

const std::string kInterop = std::string(KORUVAN_SOURCE_DIR) + "/tests/engine/dht/interop/";
const std::string kSeedHash(40, 'a');    // announced by a reference node
const std::string kEngineHash(40, 'b');  // announced by the engine's node
constexpr int kEnginePort = 6881;
constexpr int kAnnouncedPort = 7001;

class ReferenceProcess {
  public:
    ReferenceProcess(const NetnsLab& lab, int host, const std::string& script,
                     const std::vector<std::string>& args, const std::string& out) {
        out_ = out;
        ::koruvan::test::ProgramLaunch launch;
        launch.program = "/usr/sbin/ip";
        launch.args = {"netns", "exec", lab.Name(host), "/usr/bin/python3", kInterop + script};
        launch.args.insert(launch.args.end(), args.begin(), args.end());
        launch.workDir = "/tmp";
        launch.outFile = out;
        started_ = program_.Start(launch);
    }
    [[nodiscard]] bool Started() const { return started_; }
    [[nodiscard]] std::string Output() const { return ::koruvan::test::ReadFile(out_); }
    // The largest table size the node reported.
    [[nodiscard]] int MaxNodes() const {
        int best = -1;
        const std::string text = Output();
        static const std::regex kNodes("\"nodes\": ([0-9]+)");
        for (auto it = std::sregex_iterator(text.begin(), text.end(), kNodes);
             it != std::sregex_iterator(); ++it) {
            best = std::max(best, std::stoi((*it)[1]));
        }
        return best;
    }
    [[nodiscard]] bool Running() { return program_.Running(); }

  private:
    ::koruvan::test::TestProgram program_;
    std::string out_;
    bool started_ = false;
};

std::vector<std::string> ReferenceNode(int host, int bootstrapHost, const char* option = nullptr,
                                       const std::string& hash = {}) {
    std::vector<std::string> args = {"--ip",        NetnsLab::Address(host),
                                     "--port",      std::to_string(kEnginePort),
                                     "--bootstrap", NetnsLab::Address(bootstrapHost) + ":6881",
                                     "--seconds",   "240"};
    if (option != nullptr) {
        args.insert(args.end(), {option, hash});
    }
    if (std::getenv("KORUVAN_DHT_INTEROP_LOG") != nullptr) {
        args.push_back("--log");  // the reference nodes' packet logs go to their output files
    }
    return args;
}

bool HasPeer(const std::string& compact, int host, int port) {
    for (std::size_t at = 0; at + 6 <= compact.size(); at += 6) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(compact.data() + at);
        if (p[0] == 198 && p[1] == 51 && p[2] == 100 && p[3] == host &&
            ((p[4] << 8) | p[5]) == port) {
            return true;
        }
    }
    return false;
}

class DhtInteropTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string why = NetnsLab::Unavailable();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        platform::SetDataRootOverride(dir.Path());
        TimeEnsure();
        ASSERT_EQ(SetUdpRendezvous(NetnsLab::Address(1).c_str(), 82), 0);
        ASSERT_EQ(SetUdpLocalPort(kEnginePort), 0);
    }
    void TearDown() override {
        CKademlia::DeleteInstance();
        DeleteEngineUdpServer();
        StopEngineClock();
        platform::SetDataRootOverride("");
    }
    // Starts the engine's UDP server and node inside host 1, bootstrapping from `bootstrap`.
    bool StartEngineNode(const NetnsLab& lab, const std::string& bootstrap) {
        bool running = false;
        lab.RunInside(1, [&] {
            const std::uint8_t id[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
            if (!QUInternalServer::Instance().IsRunning() && !StartEngineUdpServer(id)) {
                return;
            }
            CKademlia& node = CKademlia::Instance();
            node.SetBootstrapList(bootstrap);
            node.SetSender([](const void* data, int len, std::uint32_t ip, int port) {
                return QUInternalServer::Instance().SendDatagram(data, len, ip, port);
            });
            QUInternalServer::Instance().SetDhtHandler(CKademlia::Deliver);
            QUInternalServer::Instance().SetDhtRunning(true);
            running = node.Start();
        });
        return running &&
               ::koruvan::test::WaitFor([] { return CKademlia::Instance().IsNodeRunning(); });
    }
    // Runs a task-like search for `hashHex`, announcing `port`, until it finished; returns the
    // peers it found.
    std::string Search(const std::string& hashHex, int port) {
        std::string raw;
        for (std::size_t i = 0; i < hashHex.size(); i += 2) {
            raw += static_cast<char>(std::stoi(hashHex.substr(i, 2), nullptr, 16));
        }
        CKademlia& node = CKademlia::Instance();
        auto action = std::make_shared<CKadActionBitTorrent>(node, KadNodeId::FromBytes(raw));
        action->SetAnnouncePort(port);
        node.StartAction(action);
        std::string peers;
        ::koruvan::test::WaitFor(
            [&] {
                action->TakePeers(peers, true);
                return action->IsFinished();
            },
            90s);
        action->TakePeers(peers, true);
        node.RemoveAction(action);
        return peers;
    }

    ::koruvan::test::TempDir dir;
};

// Keeps the reference nodes' output beside the test binary when asked to (debugging).
void KeepOutputs(const ::koruvan::test::TempDir& dir) {
    if (std::getenv("KORUVAN_DHT_INTEROP_LOG") != nullptr) {
        Shell("cp " + dir.Path() + "/*.out . 2>/dev/null");
    }
}

TEST_F(DhtInteropTest, EngineNodeAmongReferenceNodes) {
    NetnsLab lab(5);
    ASSERT_TRUE(lab.Ready());
    ReferenceProcess plain(lab, 2, "lt_dht_node.py", ReferenceNode(2, 1), dir.File("lt2.out"));
    ReferenceProcess seed(lab, 3, "lt_dht_node.py", ReferenceNode(3, 1, "--announce", kSeedHash),
                          dir.File("lt3.out"));
    ReferenceProcess seeker(lab, 4, "lt_dht_node.py", ReferenceNode(4, 1, "--lookup", kEngineHash),
                            dir.File("lt4.out"));
    ReferenceProcess far(lab, 5, "lt_dht_node.py", ReferenceNode(5, 2), dir.File("lt5.out"));
    ASSERT_TRUE(plain.Started() && seed.Started() && seeker.Started() && far.Started());
    ASSERT_TRUE(StartEngineNode(lab, NetnsLab::Address(2) + ":6881"));
    CKademlia& node = CKademlia::Instance();

    // The tables fill both ways: the engine's node knows all four reference nodes, and
    // every reference node knows at least two others.
    const bool filled = ::koruvan::test::WaitFor(
        [&] {
            return node.Table().GoodCount() >= 4 && plain.MaxNodes() >= 2 && seed.MaxNodes() >= 2 &&
                   seeker.MaxNodes() >= 2 && far.MaxNodes() >= 2;
        },
        90s);
    for (const KadNode& c : node.Table().AllContacts()) {
        std::printf("contact %s %s:%u good=%d failures=%d lastSeen=%u\n", c.id.Hex().c_str(),
                    DottedIp(c.ip).c_str(), c.port, c.IsGood() ? 1 : 0, c.failures, c.lastSeen);
    }
    EXPECT_TRUE(filled) << "engine good contacts " << node.Table().GoodCount() << ", reference "
                        << plain.MaxNodes() << " " << seed.MaxNodes() << " " << seeker.MaxNodes()
                        << " " << far.MaxNodes();

    // The engine's node finds the reference seed's announce.
    const std::string found = Search(kSeedHash, kAnnouncedPort);
    EXPECT_TRUE(HasPeer(found, 3, kEnginePort)) << found.size() / 6 << " peers found";

    // The engine's announce is found by a reference node.
    Search(kEngineHash, kAnnouncedPort);
    EXPECT_TRUE(::koruvan::test::WaitFor(
        [&] {
            return seeker.Output().find("198.51.100.1:" + std::to_string(kAnnouncedPort)) !=
                   std::string::npos;
        },
        60s))
        << seeker.Output().substr(0, 2000);

    // A flood of 10,000 queries: the queue stays bounded, a well-behaved peer gets answers.
    ReferenceProcess flood(lab, 5, "krpc_probe.py",
                           {"flood", "--target", "198.51.100.1:6881", "--count", "10000"},
                           dir.File("flood.out"));
    ReferenceProcess polite(lab, 2, "krpc_probe.py",
                            {"ping", "--target", "198.51.100.1:6881", "--count", "20"},
                            dir.File("polite.out"));
    std::size_t deepest = 0;
    const auto end = std::chrono::steady_clock::now() + 60s;
    while ((polite.Running() || flood.Running()) && std::chrono::steady_clock::now() < end) {
        deepest = std::max(deepest, node.QueuedMessages());
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_NE(flood.Output().find("\"sent\": 10000"), std::string::npos) << flood.Output();
    EXPECT_LE(deepest, kReceiveQueueLimit);
    std::printf("flood: deepest queue %zu, %llu datagrams dropped by the node\n", deepest,
                static_cast<unsigned long long>(node.DatagramsDropped()));
    std::smatch answered;
    const std::string politeOut = polite.Output();
    ASSERT_TRUE(std::regex_search(politeOut, answered, std::regex("\"answered\": ([0-9]+)")))
        << politeOut;
    EXPECT_GE(std::stoi(answered[1]), 15) << "of 20 pings during the flood";
    EXPECT_TRUE(node.IsNodeRunning());

    // The node file written at the stop brings the table back at the next start, without a
    // bootstrap (the list now names an address nobody uses).
    const std::size_t before = node.Table().ContactCount();
    node.Stop(true);
    EXPECT_EQ(CKademlia::NodeFileContacts(dir.File("KoruvanKademlia.kad")),
              static_cast<std::int32_t>(before));
    const std::uint64_t sentBefore = node.DatagramsSent();
    ASSERT_TRUE(StartEngineNode(lab, "198.51.100.9:6881"));
    EXPECT_EQ(node.Table().ContactCount(), before);
    EXPECT_TRUE(::koruvan::test::WaitFor([&] { return node.Table().GoodCount() >= 3; }, 30s))
        << node.Table().GoodCount() << " good contacts after the restart";
    EXPECT_GT(node.DatagramsSent(), sentBefore);
    KeepOutputs(dir);
}

}  // namespace
}  // namespace koruvan::engine::test
