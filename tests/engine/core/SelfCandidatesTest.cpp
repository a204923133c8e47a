// A task never takes itself for a peer: a BitTorrent candidate carrying the task's own peer
// id, or naming the engine's own P2P listener (its bind address and port, or, with no bind
// address, any address of this machine on that port), is refused on every way in: source
// lists, trackers, the DHT's compact lists, local discovery.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <algorithm>

#include "PieceTestSupport.h"
#include "engine/core/EngineApi.h"
#include "engine/core/EngineState.h"
#include "engine/core/P2PService.h"
#include "engine/core/TWorkThread.h"
#include "engine/core/base/EngineClock.h"
#include "engine/peers/IpAddress.h"
#include "integration/TorrentMaker.h"
#include "support/LocalServer.h"
#include "support/TempDir.h"

namespace koruvan::engine {
namespace {

constexpr std::int32_t kPiece = 64 * 1024;

constexpr std::uint32_t Ip(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return HostToNet32((std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) |
                       (std::uint32_t{c} << 8) | d);
}

// An address of this machine outside the loopback network, 0 when it has none.
std::uint32_t OtherInterfaceAddress() {
    std::uint32_t found = 0;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return 0;
    }
    for (ifaddrs* it = list; it != nullptr && found == 0; it = it->ifa_next) {
        if (it->ifa_addr != nullptr && it->ifa_addr->sa_family == AF_INET &&
            (it->ifa_flags & IFF_LOOPBACK) == 0) {
            found = reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr;
        }
    }
    freeifaddrs(list);
    return found;
}

// A task (stepped by nobody) whose P2P service listens on a free port, at `bind` or on
// every address.
class SelfCandidates : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        ASSERT_EQ(EngineStartup(dir_.Path().c_str()), 0);
        const std::string content = test::MakeContent(4 * kPiece, 5);
        test::WriteFile(dir_.File("t.torrent"), test::MakeTorrent("t.bin", content, kPiece));
        task_ = std::make_unique<TWorkThread>();
        task_->SetFlags(kFlagRecorded | kFlagFullPath | kFlagP2spTask);
        task_->SetTargetFile(dir_.File("t.bin"));
        task_->SetStateFilePath(dir_.File("t.state"));
        task_->SetKey("file://" + dir_.File("t.torrent"));
        task_->SetTorrentBlob(test::ReadFile(dir_.File("t.torrent")));
        ASSERT_TRUE(task_->LoadMetainfo());
        ASSERT_EQ(SetBindAddress(*GetParam() != '\0' ? GetParam() : nullptr), 0);
        SetLanDiscovery(false);
        port_ = static_cast<std::uint16_t>(test::FreeTcpPort());
        SetListenPort(port_);
        EnableP2P(true);
        link_ = std::make_unique<TaskBtLink>(*task_);
        ASSERT_TRUE(link_->BuildHandshake());
        P2PService::Instance().Register(link_.get());
        P2PService::Instance().Upkeep(*link_, TickCount(), EngineTime());
        ASSERT_EQ(Engine().servicePort.load(), port_);
    }
    void TearDown() override {
        if (link_ != nullptr) {
            P2PService::Instance().Unregister(link_.get());
        }
        EnableP2P(false);
        SetListenPort(0);
        SetLanDiscovery(true);
        (void)SetBindAddress(nullptr);
        link_.reset();
        task_.reset();
        EXPECT_EQ(EngineCleanup(), 0);
    }

    bool Taken(std::uint32_t ip, std::uint16_t port) {
        return task_->AddAddressCandidate(ip, port, kKindBitTorrent, false, 19) != nullptr;
    }
    std::size_t BitTorrentCandidates() const {
        return static_cast<std::size_t>(std::count_if(
            task_->Candidates().begin(), task_->Candidates().end(),
            [](const TPeerId* c) { return c != nullptr && c->kind == kKindBitTorrent; }));
    }

    test::TempDir dir_;
    std::unique_ptr<TWorkThread> task_;
    std::unique_ptr<TaskBtLink> link_;  // the task as the service sees it
    std::uint16_t port_ = 0;
};

TEST_P(SelfCandidates, TheOwnListenerIsNoPeer) {
    const bool anyAddress = *GetParam() == '\0';
    struct Row {
        const char* what;
        std::uint32_t ip;
        std::uint16_t port;
        bool own;
    };
    std::vector<Row> rows = {
        {"the bind address", Ip(127, 0, 0, 3), port_, true},
        {"another loopback address", Ip(127, 0, 0, 5), port_, anyAddress},
        {"another port", Ip(127, 0, 0, 3), static_cast<std::uint16_t>(port_ + 1), false},
        {"another machine", Ip(192, 0, 2, 9), port_, false},
    };
    if (const std::uint32_t other = OtherInterfaceAddress(); other != 0) {
        rows.push_back({"another interface of this machine", other, port_, anyAddress});
    }
    for (const Row& row : rows) {
        EXPECT_EQ(Taken(row.ip, row.port), !row.own) << row.what;
    }
    // The DHT's compact lists and the trackers' answers are refused the same way.
    const std::uint8_t compact[] = {127,
                                    0,
                                    0,
                                    3,
                                    static_cast<std::uint8_t>(port_ >> 8),
                                    static_cast<std::uint8_t>(port_ & 0xFF)};
    const std::size_t before = BitTorrentCandidates();
    EXPECT_EQ(task_->AddCompactPeers(compact, sizeof compact), 0);
    TaskTrackerLink tracker(*task_);
    LearnedPeer learned;
    learned.ip = Ip(127, 0, 0, 3);
    learned.port = port_;
    tracker.AddLearnedPeer(learned);
    EXPECT_EQ(BitTorrentCandidates(), before);
}

TEST_P(SelfCandidates, TheOwnPeerIdIsNoPeer) {
    PeerIdBytes own{};  // the task's own, as its handshake carries it
    std::copy_n(link_->ServicePeerId(), own.size(), own.begin());
    for (const bool mine : {true, false}) {
        auto* identity = new TPeerId(mine ? "btnode://192.0.2.7:7000" : "btnode://192.0.2.8:7000");
        ASSERT_TRUE(identity->Parse());
        identity->resolved = true;
        identity->peerId = own;
        identity->peerId[19] ^= mine ? 0 : 1;
        EXPECT_EQ(task_->AddCandidate(identity, false, false), !mine) << mine;
        identity->Release();
    }
    EXPECT_EQ(BitTorrentCandidates(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Listener, SelfCandidates, ::testing::Values("", "127.0.0.3"),
                         [](const auto& info) {
                             return std::string(*info.param != '\0' ? "BindAddress" : "AnyAddress");
                         });

}  // namespace
}  // namespace koruvan::engine
