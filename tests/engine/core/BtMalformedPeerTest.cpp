// Misbehaving peers against a downloading engine task: each one loses only its own
// connection while the download completes from a python3-libtorrent seeder. A peer whose
// pieces fail their check is reported ("11500102") and, the second time, refused for good.
// A flood of connections that never handshake stays within the pending limits.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/sha.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>

#include "BtSwarmSupport.h"
#include "engine/core/P2PService.h"
#include "engine/peers/BencodeCodec.h"
#include "engine/peers/BtWire.h"
#include "engine/peers/UsageEvents.h"
#include "integration/TorrentMaker.h"

namespace koruvan::engine {
namespace {

using test::LibtorrentPeer;

constexpr std::size_t kSize = 4 * 1024 * 1024;
constexpr std::int32_t kPiece = 65536;
constexpr std::int32_t kPieces = kSize / kPiece;

// A scripted remote peer on a raw socket from a loopback address of its own.
class RawPeer {
  public:
    RawPeer(const char* from, int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &local.sin_addr);
        sockaddr_in remote{};
        remote.sin_family = AF_INET;
        remote.sin_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET, "127.0.0.3", &remote.sin_addr);
        connected_ = fd_ >= 0 &&
                     ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                     ::connect(fd_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0;
    }
    ~RawPeer() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    bool Connected() const { return connected_; }
    bool Send(const std::string& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    // Reads what arrives within `ms`; false once the engine closed the connection.
    bool Read(int ms, std::string* into = nullptr) {
        pollfd p{fd_, POLLIN, 0};
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            if (::poll(&p, 1, 20) > 0) {
                char buffer[65536];
                const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    return false;
                }
                if (into != nullptr) {
                    into->append(buffer, static_cast<std::size_t>(n));
                }
            }
        }
        return true;
    }
    // True when the engine closes the connection within `ms`.
    bool ClosedWithin(int ms) { return !Read(ms); }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

std::string Handshake(const std::array<std::uint8_t, 20>& hash, char idByte) {
    bt::Bytes20 id{};
    id.fill(static_cast<std::uint8_t>(idByte));
    const auto h = bt::BuildHandshake(hash, id);
    return std::string(reinterpret_cast<const char*>(h.data()), h.size());
}

std::string FullBitfield() {
    std::string bits((kPieces + 7) / 8, '\xFF');
    return bt::BitfieldMessage(reinterpret_cast<const std::uint8_t*>(bits.data()), bits.size());
}

class BtMalformedPeerTest : public test::SwarmTest {
  protected:
    void SetUp() override {
        SwarmTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        content_ = test::SwarmContent(kSize);
        torrent_ = WriteTorrent(content_, kPiece);
        hash_ = test::TorrentInfoHash(test::ReadFile(torrent_));
        const std::string seed = dir_.File("seed");
        ASSERT_EQ(std::system(("mkdir -p " + seed + " " + dir_.File("get")).c_str()), 0);
        test::WriteFile(seed + "/swarm.bin", content_);
        seedPort_ = test::FreeTcpPort();
        ASSERT_TRUE(seeder_.Start("seed", torrent_, seed, "127.0.0.2", seedPort_, "-"));
        SetUsageEventSink([this](const UsageEvent& e) {
            std::lock_guard<std::mutex> guard(eventsLock_);
            events_.push_back(e.code);
        });
    }
    void TearDown() override {
        SetUsageEventSink({});
        SwarmTest::TearDown();
    }
    // The task, held to about 1 MiB/s so that the misbehaving peers act mid-download.
    TaskHandle Start() {
        const TaskHandle task =
            StartTask(dir_.File("get"), "btnode://127.0.0.2:" + std::to_string(seedPort_));
        EXPECT_EQ(SetTaskSpeedLimit(task, kLimitDownload, 1024), 0);
        EXPECT_TRUE(test::WaitFor([&] { return Swarm(task).listenPort == port_; }));
        return task;
    }
    bool Completes(TaskHandle task) {
        const bool done = test::WaitFor([&] { return Progress(task).progress >= 10000; },
                                        std::chrono::seconds(60));
        return done && test::ReadFile(dir_.File("get") + "/swarm.bin") == content_;
    }
    std::int32_t EventCount(const std::string& code) {
        std::lock_guard<std::mutex> guard(eventsLock_);
        return static_cast<std::int32_t>(std::count(events_.begin(), events_.end(), code));
    }

    std::string content_;
    std::string torrent_;
    std::array<std::uint8_t, 20> hash_{};
    int seedPort_ = 0;
    LibtorrentPeer seeder_;
    std::mutex eventsLock_;
    std::vector<std::string> events_;
};

TEST_F(BtMalformedPeerTest, EachMalformedPeerLosesOnlyItself) {
    const TaskHandle task = Start();
    ASSERT_NE(task, nullptr);
    std::string bigLength(4, '\0');
    bt::Put32(reinterpret_cast<std::uint8_t*>(bigLength.data()), bt::kMaxMessageLength + 1);
    bigLength += std::string(64, 'x');
    const std::string bigBlock = bt::PieceHeader(0, 0, bt::kMaxBlockLength + 1);
    const std::string unrequested = bt::PieceHeader(3, 0, 16384) + std::string(16384, 'u');
    std::array<std::uint8_t, 20> otherHash = hash_;
    otherHash[0] ^= 0xFF;
    struct Case {
        const char* name;
        const char* from;
        std::string opening;  // handshake
        std::string message;
    };
    const std::string shortBits = bt::BitfieldMessage(
        reinterpret_cast<const std::uint8_t*>("\xFF\xFF\xFF\xFF\xFF\xFF\xFF"), 7);  // needs 8
    const Case cases[] = {
        {"bitfield of the wrong size", "127.0.0.4", Handshake(hash_, 'a'), shortBits},
        {"message length over 524288", "127.0.0.5", Handshake(hash_, 'b'), bigLength},
        {"block over 131072 bytes", "127.0.0.6", Handshake(hash_, 'c'), bigBlock},
        {"unrequested block", "127.0.0.7", Handshake(hash_, 'd'), unrequested},
        {"handshake for another info hash", "127.0.0.8", Handshake(otherHash, 'e'), ""},
    };
    for (const Case& c : cases) {
        RawPeer peer(c.from, port_);
        ASSERT_TRUE(peer.Connected()) << c.name;
        ASSERT_TRUE(peer.Send(c.opening + c.message)) << c.name;
        EXPECT_TRUE(peer.ClosedWithin(5000)) << c.name << ": the engine kept the connection";
    }
    // A well-formed peer that only sends keep-alives stays connected meanwhile.
    RawPeer quiet("127.0.0.9", port_);
    ASSERT_TRUE(quiet.Send(Handshake(hash_, 'f') + std::string(4, '\0')));
    std::string received;
    EXPECT_TRUE(quiet.Read(1500, &received));
    ASSERT_GE(received.size(), 68u);
    EXPECT_EQ(received.substr(0, 20), std::string("\x13"
                                                  "BitTorrent protocol"));
    EXPECT_TRUE(Completes(task));
    // What it did not have in the engine's bitfield is announced to it in have batches
    // (at most every 8 seconds).
    EXPECT_TRUE(quiet.Read(9000, &received));
    std::set<std::uint32_t> announced;
    for (std::size_t at = 68; at + 4 <= received.size();) {
        const std::uint32_t length =
            bt::Get32(reinterpret_cast<const std::uint8_t*>(received.data() + at));
        if (at + 4 + length > received.size()) {
            break;
        }
        if (length == 5 && received[at + 4] == bt::kHave) {
            announced.insert(
                bt::Get32(reinterpret_cast<const std::uint8_t*>(received.data() + at + 5)));
        }
        for (std::uint32_t bit = 0; received[at + 4] == bt::kBitfield && bit < (length - 1) * 8;
             ++bit) {
            if ((static_cast<std::uint8_t>(received[at + 5 + bit / 8]) & (0x80u >> (bit % 8))) !=
                0) {
                announced.insert(bit);
            }
        }
        at += 4 + length;
    }
    EXPECT_EQ(announced.size(), static_cast<std::size_t>(kPieces));
    EXPECT_LT(*announced.rbegin(), static_cast<std::uint32_t>(kPieces));
}

TEST_F(BtMalformedPeerTest, BadPiecesAreReportedAndTheirSenderRefused) {
    const TaskHandle task = Start();
    ASSERT_NE(task, nullptr);
    for (int round = 0; round < 2; ++round) {
        RawPeer liar("127.0.0.4", port_);
        ASSERT_TRUE(liar.Send(Handshake(hash_, 'L') + FullBitfield() + bt::Simple(bt::kUnchoke)));
        // Answer every request with a block of garbage until the engine hangs up.
        std::string in;
        bool open = true;
        for (int pass = 0; pass < 200 && open; ++pass) {
            open = liar.Read(50, &in);
            std::size_t at = in.size() >= 68 && in[0] == 19 ? 68 : 0;
            while (at + 4 <= in.size()) {
                const std::uint32_t length =
                    bt::Get32(reinterpret_cast<const std::uint8_t*>(in.data() + at));
                if (at + 4 + length > in.size()) {
                    break;
                }
                if (length == 13 && in[at + 4] == bt::kRequest) {
                    const auto* r = reinterpret_cast<const std::uint8_t*>(in.data() + at + 5);
                    const std::uint32_t blockLength = bt::Get32(r + 8);
                    (void)liar.Send(bt::PieceHeader(bt::Get32(r), bt::Get32(r + 4), blockLength) +
                                    std::string(blockLength, 'X'));
                }
                at += 4 + length;
            }
            in.erase(0, at);
        }
        EXPECT_FALSE(open) << "round " << round << ": the engine kept a peer sending bad data";
    }
    EXPECT_TRUE(test::WaitFor([&] { return EventCount("11500102") >= 2; }));
    // Refused now: the connection is closed before any handshake comes back.
    RawPeer again("127.0.0.4", port_);
    std::string answer;
    (void)again.Send(Handshake(hash_, 'L'));
    EXPECT_TRUE(again.ClosedWithin(3000));
    (void)again.Read(10, &answer);
    EXPECT_TRUE(Completes(task));
}

TEST_F(BtMalformedPeerTest, AFloodOfSilentConnectionsStaysWithinThePendingLimits) {
    const TaskHandle task = Start();
    ASSERT_NE(task, nullptr);
    std::vector<std::unique_ptr<RawPeer>> flood;
    std::atomic<bool> watching{true};
    std::atomic<std::size_t> mostPending{0};
    std::thread watcher([&] {
        while (watching.load()) {
            mostPending.store(std::max(mostPending.load(), P2PService::Instance().PendingCount()));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    for (int i = 0; i < 200; ++i) {
        flood.push_back(std::make_unique<RawPeer>(i % 2 == 0 ? "127.0.0.10" : "127.0.0.11", port_));
    }
    EXPECT_TRUE(Completes(task));
    // Each silent connection is closed by the engine within a few seconds.
    std::this_thread::sleep_for(std::chrono::seconds(6));
    watching.store(false);
    watcher.join();
    EXPECT_LE(mostPending.load(), P2PService::kPendingLimit + P2PService::kAcceptsPerUpkeep);
    std::size_t closed = 0;
    for (auto& peer : flood) {
        closed += peer->ClosedWithin(1) ? 1 : 0;
    }
    EXPECT_GE(closed, 190u);
}

// Requests, cancels and blocks on the wire cross: a block the remote sent before our cancel
// reached it is dropped quietly, and the peer stays.
TEST_F(BtMalformedPeerTest, ABlockThatCrossedOurCancelKeepsThePeer) {
    const TaskHandle task = Start();
    ASSERT_NE(task, nullptr);
    RawPeer seed("127.0.0.4", port_);
    ASSERT_TRUE(seed.Send(Handshake(hash_, 'C') + FullBitfield() + bt::Simple(bt::kUnchoke)));
    // The messages of one kind that arrived, as (index, begin, length).
    std::string in;
    const auto collect = [&](std::uint8_t id) {
        std::vector<std::array<std::uint32_t, 3>> found;
        for (std::size_t at = in.size() >= 68 && in[0] == 19 ? 68 : 0; at + 4 <= in.size();) {
            const std::uint32_t length =
                bt::Get32(reinterpret_cast<const std::uint8_t*>(in.data() + at));
            if (at + 4 + length > in.size()) {
                break;
            }
            const auto* r = reinterpret_cast<const std::uint8_t*>(in.data() + at + 5);
            if (length == 13 && in[at + 4] == static_cast<char>(id)) {
                found.push_back({bt::Get32(r), bt::Get32(r + 4), bt::Get32(r + 8)});
            }
            at += 4 + length;
        }
        return found;
    };
    ASSERT_TRUE(test::WaitFor([&] { return seed.Read(20, &in) && !collect(bt::kRequest).empty(); },
                              std::chrono::seconds(10)));
    const auto asked = collect(bt::kRequest).front();
    // Choked: the engine cancels what it asked for...
    in.clear();
    ASSERT_TRUE(seed.Send(bt::Simple(bt::kChoke)));
    ASSERT_TRUE(test::WaitFor([&] { return seed.Read(20, &in) && !collect(bt::kCancel).empty(); },
                              std::chrono::seconds(5)));
    const auto cancels = collect(bt::kCancel);
    EXPECT_NE(std::find(cancels.begin(), cancels.end(), asked), cancels.end());
    // ...but the block was already on its way.
    const std::size_t offset = static_cast<std::size_t>(asked[0]) * kPiece + asked[1];
    ASSERT_TRUE(seed.Send(bt::PieceHeader(asked[0], asked[1], asked[2]) +
                          content_.substr(offset, asked[2]) + bt::Simple(bt::kUnchoke)));
    EXPECT_TRUE(seed.Read(1500)) << "the engine dropped a peer whose block crossed its cancel";
    EXPECT_TRUE(Completes(task));
}

}  // namespace
}  // namespace koruvan::engine
