// The opening of outgoing BitTorrent connections with the disguise switch on, against a
// scripted remote: a standard client drops the disguised opening, so the very next connect
// pass dials it plain, and plain it stays; an engine that speaks the disguise keeps getting
// it; a party that fails both ways is backed off as any failing party. The task is stepped
// by the test on a fast engine clock.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "PieceTestSupport.h"
#include "engine/core/EngineApi.h"
#include "engine/core/TWorkThread.h"
#include "engine/peers/IpAddress.h"
#include "integration/TorrentMaker.h"
#include "support/EngineTestClock.h"
#include "support/LocalServer.h"
#include "support/TempDir.h"

namespace koruvan::engine {
namespace {

constexpr std::int32_t kPiece = 64 * 1024;
const std::string kProtocol = std::string("\x13") + "BitTorrent protocol";

enum class Remote {
    kStandard,  // drops a disguised opening, answers a plain one
    kDisguise,  // answers a disguised opening in kind
    kRefusing,  // drops every connection
    // Takes one handshake at a time: answers (plainly) after a short while and resets any
    // other connection that arrives meanwhile.
    kOneAtATime,
};

// A remote peer at 127.0.0.4 on its own thread: records how each connection opened
// ("disguised" or "plain") and answers it as its kind does. An answered connection is held
// open until the test lets the next one close.
class ScriptedRemote {
  public:
    explicit ScriptedRemote(Remote kind) : kind_(kind) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        port_ = test::FreeTcpPort();
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port_));
        ::inet_pton(AF_INET, "127.0.0.4", &a.sin_addr);
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(listener_, 8), 0);
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedRemote() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    [[nodiscard]] std::uint16_t Port() const { return static_cast<std::uint16_t>(port_); }
    std::vector<std::string> Openings() {
        std::lock_guard<std::mutex> lock(mutex_);
        return openings_;
    }
    // Closes the connection it holds open.
    void Hangup() { hangup_ = true; }

  private:
    void Serve() {
        int held = -1;
        while (!stop_) {
            if (hangup_.exchange(false) && held >= 0) {
                ::close(held);
                held = -1;
            }
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0) {
                continue;
            }
            const int c = ::accept(listener_, nullptr, nullptr);
            if (kind_ == Remote::kOneAtATime) {
                ResetOthersFor(std::chrono::milliseconds(400));
            }
            const std::string opening = Read(c);
            const bool disguised = opening.rfind("GET / HTTP/1.0\r\n", 0) == 0;
            const std::size_t at = disguised ? opening.find("\r\n\r\n") + 4 : 0;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                openings_.push_back(disguised ? "disguised" : "plain");
            }
            const bool answer =
                kind_ == Remote::kDisguise || (kind_ != Remote::kRefusing && !disguised);
            if (!answer || opening.size() < at + 68 || opening.compare(at, 20, kProtocol) != 0) {
                ::close(c);
                continue;
            }
            std::string reply = disguised ? "HTTP/1.0 200 OK\r\nConnection: Close\r\n\r\n" : "";
            reply += opening.substr(at, 48) + std::string(20, 'R');  // its own peer id
            (void)::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
            if (held >= 0 && kind_ != Remote::kOneAtATime) {
                ::close(held);
            }
            held = c;
            kept_.push_back(c);
        }
        for (const int fd : kept_) {
            ::close(fd);
        }
    }
    void ResetOthersFor(std::chrono::milliseconds span) {
        const auto end = std::chrono::steady_clock::now() + span;
        pollfd p{listener_, POLLIN, 0};
        while (std::chrono::steady_clock::now() < end) {
            if (::poll(&p, 1, 10) > 0) {
                const int other = ::accept(listener_, nullptr, nullptr);
                const linger reset{1, 0};
                ::setsockopt(other, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                ::close(other);
                std::lock_guard<std::mutex> lock(mutex_);
                openings_.push_back("reset");
            }
        }
    }
    // The opening: a disguise header (when there is one) and the 68-byte handshake.
    static std::string Read(int fd) {
        std::string in;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        pollfd p{fd, POLLIN, 0};
        while (std::chrono::steady_clock::now() < end) {
            const std::size_t header = in.rfind("GET", 0) == 0 ? in.find("\r\n\r\n") : 0;
            if (header != std::string::npos && in.size() >= (header == 0 ? 0 : header + 4) + 68) {
                break;
            }
            if (::poll(&p, 1, 20) > 0) {
                char buffer[1024];
                const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
                if (got <= 0) {
                    break;
                }
                in.append(buffer, static_cast<std::size_t>(got));
            }
        }
        return in;
    }

    Remote kind_;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> hangup_{false};
    std::mutex mutex_;
    std::vector<std::string> openings_;
    std::vector<int> kept_;  // answered connections (closed at the end)
};

class HandshakeFallbackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(EngineStartup(dir_.Path().c_str()), 0);
        const std::string content = test::MakeContent(4 * kPiece, 3);
        test::WriteFile(dir_.File("t.torrent"), test::MakeTorrent("t.bin", content, kPiece));
        task_ = std::make_unique<TWorkThread>();
        task_->SetFlags(kFlagRecorded | kFlagFullPath | kFlagP2spTask);
        task_->SetTargetFile(dir_.File("t.bin"));
        task_->SetStateFilePath(dir_.File("t.state"));
        task_->SetKey("file://" + dir_.File("t.torrent"));
        task_->SetTorrentBlob(test::ReadFile(dir_.File("t.torrent")));
        ASSERT_TRUE(task_->LoadMetainfo());
        (void)task_->SetConnectionLimits(4, 20);
        ASSERT_EQ(SetBindAddress("127.0.0.3"), 0);
        SetLanDiscovery(false);
        SetBtPeerFlag(1);  // the product's default
        EnableP2P(true);
    }
    void TearDown() override {
        EnableP2P(false);
        SetBtPeerFlag(0);
        SetLanDiscovery(true);
        (void)SetBindAddress(nullptr);
        task_.reset();
        EXPECT_EQ(EngineCleanup(), 0);
    }

    TPeerId* Dial(const ScriptedRemote& remote) {
        return task_->AddAddressCandidate(HostToNet32(0x7F000004), remote.Port(), kKindBitTorrent,
                                          true, 19);
    }
    bool Established() const {
        return std::any_of(task_->Peers().begin(), task_->Peers().end(),
                           [](const TPeerObject* p) { return p->IsEstablished(); });
    }
    // Steps the task until `done` holds; false after `limit` of task clock.
    template <typename Done>
    bool StepUntil(Done done, std::int64_t limit) {
        const std::int64_t start = task_->Step();
        while (!done()) {
            if (task_->Step() - start > limit) {
                return false;
            }
        }
        return true;
    }

    // A task over a torrent of its own (the fixture's task is the first).
    std::unique_ptr<TWorkThread> MakeTask(const std::string& name, int seed) {
        const std::string content = test::MakeContent(4 * kPiece, seed);
        test::WriteFile(dir_.File(name + ".torrent"),
                        test::MakeTorrent(name + ".bin", content, kPiece));
        auto task = std::make_unique<TWorkThread>();
        task->SetFlags(kFlagRecorded | kFlagFullPath | kFlagP2spTask);
        task->SetTargetFile(dir_.File(name + ".bin"));
        task->SetStateFilePath(dir_.File(name + ".state"));
        task->SetKey("file://" + dir_.File(name + ".torrent"));
        task->SetTorrentBlob(test::ReadFile(dir_.File(name + ".torrent")));
        EXPECT_TRUE(task->LoadMetainfo());
        (void)task->SetConnectionLimits(4, 20);
        return task;
    }

    test::TempDir dir_;
    test::EngineTestClock clock_{8.0};
    std::unique_ptr<TWorkThread> task_;
};

TEST_F(HandshakeFallbackTest, AStandardClientIsDialledPlainAtTheNextPassAndStaysPlain) {
    ScriptedRemote remote(Remote::kStandard);
    TPeerId* party = Dial(remote);
    ASSERT_NE(party, nullptr);
    // The disguised opening is dropped; the plain one follows within two connect passes.
    ASSERT_TRUE(StepUntil([&] { return remote.Openings().size() >= 1; }, 10));
    ASSERT_TRUE(StepUntil([&] { return Established(); }, 2)) << remote.Openings().size();
    EXPECT_EQ(remote.Openings(), (std::vector<std::string>{"disguised", "plain"}));
    EXPECT_EQ(party->failures, 0);  // the dropped disguise counted against nobody

    // The remote goes away and comes back: plain again.
    remote.Hangup();
    ASSERT_TRUE(StepUntil([&] { return !Established(); }, 10));
    ASSERT_TRUE(StepUntil([&] { return remote.Openings().size() == 3; }, 60));
    EXPECT_EQ(remote.Openings().back(), "plain");
}

TEST_F(HandshakeFallbackTest, AnEngineThatSpeaksTheDisguiseKeepsGettingIt) {
    ScriptedRemote remote(Remote::kDisguise);
    TPeerId* party = Dial(remote);
    ASSERT_NE(party, nullptr);
    ASSERT_TRUE(StepUntil([&] { return Established(); }, 10));
    EXPECT_EQ(remote.Openings(), (std::vector<std::string>{"disguised"}));
    remote.Hangup();
    ASSERT_TRUE(StepUntil([&] { return remote.Openings().size() == 2; }, 60));
    EXPECT_EQ(remote.Openings().back(), "disguised");
}

TEST_F(HandshakeFallbackTest, APartyThatFailsBothWaysIsBackedOffAsBefore) {
    ScriptedRemote remote(Remote::kRefusing);
    TPeerId* party = Dial(remote);
    ASSERT_NE(party, nullptr);
    ASSERT_TRUE(StepUntil([&] { return party->failures == 1; }, 10));
    EXPECT_EQ(remote.Openings(), (std::vector<std::string>{"disguised", "plain"}));
    // One failure of a lone BitTorrent candidate: a back-off of 1 + 6 connect passes, of
    // which at most one has run since.
    EXPECT_GE(party->backOff, 6);
    const std::int64_t failedAt = task_->Step();
    ASSERT_TRUE(StepUntil([&] { return remote.Openings().size() == 3; }, 60));
    EXPECT_GE(task_->Step() - failedAt, 5);
    EXPECT_EQ(remote.Openings().back(), "plain");
}

// Two tasks (two files) reach the same remote, which takes one handshake at a time per
// address: they take turns instead of dialling at once, so neither is reset and backed off.
TEST_F(HandshakeFallbackTest, TasksTakeTurnsToHandshakeWithOneRemote) {
    SetBtPeerFlag(0);
    ScriptedRemote remote(Remote::kOneAtATime);
    auto other = MakeTask("other", 4);
    const auto established = [](const TWorkThread& t) {
        return std::any_of(t.Peers().begin(), t.Peers().end(),
                           [](const TPeerObject* p) { return p->IsEstablished(); });
    };
    TPeerId* first = Dial(remote);
    TPeerId* second = other->AddAddressCandidate(HostToNet32(0x7F000004), remote.Port(),
                                                 kKindBitTorrent, true, 19);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    const std::int64_t start = task_->Step();
    while (!(established(*task_) && established(*other)) && task_->Step() - start < 20) {
        (void)other->Step();
    }
    EXPECT_TRUE(established(*task_));
    EXPECT_TRUE(established(*other));
    EXPECT_EQ(remote.Openings(), (std::vector<std::string>{"plain", "plain"}));
    EXPECT_EQ(first->failures + second->failures, 0);
    other.reset();
}

}  // namespace
}  // namespace koruvan::engine
