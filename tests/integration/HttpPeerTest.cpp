// The HTTP source peer against nginx on loopback, driven by a small task of its own: the
// stream is reused across a gap of up to 128 KiB and reconnected beyond it, unrequested
// blocks are refused, idle sources time out, and error statuses, repeated redirects and
// sizes other than the task's reach peer management.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "InMemoryPeerTask.h"
#include "engine/peers/IpAddress.h"
#include "engine/peers/THttpPeer.h"
#include "support/LocalServer.h"
#include "support/TempDir.h"

namespace koruvan::engine {
namespace {

using namespace std::chrono_literals;

constexpr std::int32_t kPieceLength = InMemoryPeerTask::kPieceLength;  // 64 KiB

class HttpPeerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        content_.resize(16u * kPieceLength);
        for (std::size_t i = 0; i < content_.size(); ++i) {
            content_[i] = static_cast<char>((i * 131) ^ (i >> 9));
        }
        std::filesystem::create_directories(dir_.File("www"));
        test::WriteFile(dir_.File("www/f.bin"), content_);
        test::WriteFile(dir_.File("www/half.bin"), content_.substr(content_.size() / 2));
        port_ = test::FreeTcpPort();
        nginx_ = std::make_unique<test::NginxServer>(
            dir_.File("nginx"), dir_.File("www"), std::vector<int>{port_},
            "    location /missing { return 404; }\n    location /busy { return 503; }\n"
            "    location /moved { return 302 /f.bin; }\n    location /loop { return 302 /loop; }");
        ASSERT_TRUE(nginx_->Start());
    }

    TPeerId* Source(const std::string& path) {
        auto* id = new TPeerId("http://127.0.0.1:" + std::to_string(port_) + path, 29);
        EXPECT_TRUE(id->Parse());
        id->ip = HostToNet32(0x7F000001);
        id->resolved = true;
        id->Details().remoteSize = content_.size();
        return id;
    }

    // Steps the peer until `done` holds (true) or it fails first (false). A peer that has
    // nothing left to fetch ends its last step itself.
    template <class Done>
    bool Drive(THttpPeer& peer, Done done) {
        for (int i = 0; i < 3000; ++i) {
            if (!peer.DownloadStep()) {
                return done();
            }
            if (done()) {
                return true;
            }
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }

    int Requests() {
        std::ifstream log(dir_.File("nginx/access.log"));
        return static_cast<int>(std::count(std::istreambuf_iterator<char>(log), {}, '\n'));
    }

    test::TempDir dir_;
    std::string content_;
    int port_ = 0;
    std::unique_ptr<test::NginxServer> nginx_;
    InMemoryPeerTask task_{16};
};

TEST_F(HttpPeerTest, AGapOf128KiBIsSkippedInTheStreamAndALargerOneReconnects) {
    for (const auto& [second, expectedRequests] : {std::pair{3, 1}, std::pair{4, 2}}) {
        task_.wanted = {0, second};
        task_.blocks.clear();
        const int before = Requests();
        TPeerId* id = Source("/f.bin");
        auto* peer = new THttpPeer(task_);
        ASSERT_TRUE(peer->Connect(id));
        EXPECT_TRUE(Drive(*peer, [&] { return task_.wanted.empty(); }));
        for (const std::int32_t piece : {0, second}) {
            for (std::int32_t b = 0; b < 4; ++b) {
                const auto offset = static_cast<std::size_t>((piece * 4 + b) * kBlockSize);
                EXPECT_EQ(task_.blocks[piece * 4 + b], content_.substr(offset, kBlockSize));
            }
        }
        std::this_thread::sleep_for(50ms);  // the access log is written after the response
        // Piece `second` starts (second - 1) × 64 KiB after piece 0 ends.
        EXPECT_EQ(Requests() - before, expectedRequests) << "second piece " << second;
        peer->Release();
        id->Release();
    }
}

TEST_F(HttpPeerTest, UnrequestedBlocksAreRefused) {
    task_.wanted = {0};
    TPeerId* id = Source("/f.bin");
    auto* peer = new THttpPeer(task_);
    ASSERT_TRUE(peer->Connect(id));
    const std::string block(kBlockSize, 'x');
    EXPECT_FALSE(
        peer->StoreBlock(9, kBlockSize, reinterpret_cast<const std::uint8_t*>(block.data())));
    EXPECT_FALSE(peer->StoreBlock(0, 100, reinterpret_cast<const std::uint8_t*>(block.data())));
    EXPECT_TRUE(task_.blocks.empty());
    peer->Release();
    id->Release();
}

TEST_F(HttpPeerTest, ErrorStatusesAndRedirectsReachPeerManagement) {
    task_.wanted = {0};
    const auto run = [&](const std::string& path) {
        TPeerId* id = Source(path);
        id->Details().remoteSize = 0;
        auto* peer = new THttpPeer(task_);
        EXPECT_TRUE(peer->Connect(id));
        const bool ok = Drive(*peer, [] { return false; });
        const std::int32_t state = peer->TransferState();
        peer->Release();
        id->Release();
        return std::pair{ok, state};
    };
    EXPECT_FALSE(run("/missing").first);
    EXPECT_EQ(task_.removed, 1);
    EXPECT_FALSE(run("/busy").first);
    EXPECT_EQ(task_.backOffs, std::vector<std::int32_t>{60});
    const auto [ok, state] = run("/moved");
    EXPECT_FALSE(ok);
    EXPECT_EQ(state, kTransferFinished);  // ended normally: the target is a new source
    ASSERT_EQ(task_.added.size(), 1u);
    // nginx sends the location absolute; relative ones are covered by AbsoluteLocation.
    EXPECT_EQ(task_.added[0], "http://127.0.0.1:" + std::to_string(port_) + "/f.bin");
}

TEST_F(HttpPeerTest, ASourceThatNeverAnswersTimesOutAfter15Seconds) {
    // A listener that accepts but never answers.
    TPeerConnection listener;
    const int port = test::FreeTcpPort();
    ASSERT_TRUE(listener.Listen(static_cast<std::uint16_t>(port)));
    task_.wanted = {0};
    auto* id = new TPeerId("http://127.0.0.1:" + std::to_string(port) + "/f.bin", 29);
    ASSERT_TRUE(id->Parse());
    id->ip = HostToNet32(0x7F000001);
    auto* peer = new THttpPeer(task_);
    ASSERT_TRUE(peer->Connect(id));
    task_.clock += 15;
    EXPECT_TRUE(peer->DownloadStep());  // 15 seconds idle: still waiting
    task_.clock += 1;
    EXPECT_FALSE(peer->DownloadStep());
    EXPECT_EQ(peer->TransferState(), kTransferTimedOut);
    EXPECT_EQ(task_.backOffs, std::vector<std::int32_t>{15});
    peer->Release();
    id->Release();
}

// The same location a third time in a row removes the source; a size other than the task's
// backs the source off for 60 and counts as its failure (the refused size is not taken as
// the source's).
TEST_F(HttpPeerTest, RepeatedRedirectsRemoveTheSourceAndAnotherSizeBacksItOff) {
    task_.wanted = {0};
    const auto connectOnce = [&](TPeerId* id) {
        auto* peer = new THttpPeer(task_);
        EXPECT_TRUE(peer->Connect(id));
        EXPECT_FALSE(Drive(*peer, [] { return false; }));
        const bool normalEnd = peer->EndedNormally();
        peer->Release();
        return normalEnd;
    };
    TPeerId* loop = Source("/loop");
    loop->Details().remoteSize = 0;
    for (int round = 1; round <= 4; ++round) {
        EXPECT_TRUE(connectOnce(loop));  // a redirect ends the peer normally
        EXPECT_EQ(task_.removed, std::max(round - 2, 0)) << "redirect " << round;
    }
    loop->Release();
    EXPECT_TRUE(task_.backOffs.empty());

    TPeerId* half = Source("/half.bin");
    half->Details().remoteSize = 0;
    EXPECT_FALSE(connectOnce(half));
    EXPECT_EQ(task_.backOffs, std::vector<std::int32_t>{60});
    EXPECT_EQ(half->Details().remoteSize, 0u);
    EXPECT_EQ(task_.removed, 2);
    half->Release();
}

}  // namespace
}  // namespace koruvan::engine
