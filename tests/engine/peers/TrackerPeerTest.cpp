// The tracker client against small scripted trackers on loopback: the UDP connect and
// announce exchange with resends and stale answers, a closed UDP port, the HTTP request as
// it leaves the socket and an answer that arrives in pieces or is cut off, and a tracker
// that never answers.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "support/EngineTestClock.h"
#include "support/ScriptedTracker.h"
#include "support/TrackerTestTask.h"

namespace koruvan::engine {
namespace {

using test::Bytes;
using test::ScriptedTracker;
using test::TrackerTestTask;
using test::UdpAnswer;

class TrackerPeerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        task_.bindAddress = HostToNet32(0x7F000002);  // 127.0.0.2
        for (std::size_t i = 0; i < 20; ++i) {
            task_.info.infoHash[i] = static_cast<std::uint8_t>(0xA0 + i);
            task_.info.ownPeerId[i] = static_cast<std::uint8_t>(0x30 + i);
        }
        task_.info.totalSize = 1000000;
        task_.info.bytesCompleted = 250000;
        task_.info.downloaded = 260000;
        task_.info.uploaded = 7;
        task_.info.listenPort = 6881;
    }
    void TearDown() override {
        if (peer_ != nullptr) {
            peer_->Release();
        }
    }

    // Starts an announce to the scripted tracker.
    bool Start(const std::string& scheme, std::uint16_t port, std::int32_t event) {
        identity_ = std::make_unique<test::TrackerIdentity>(
            scheme + "://127.0.0.1:" + std::to_string(port) + "/announce");
        peer_ = new TTrackerPeer(task_, task_);
        peer_->SetEvent(event);
        return identity_->resolved && peer_->Connect(identity_->id);
    }

    // Steps the client while `script` answers; false when the client ended first. The
    // script returns true when it has seen what it waited for.
    template <typename Script>
    bool StepUntil(Script script, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (script()) {
                return true;
            }
            if (!peer_->DownloadStep()) {
                ended_ = true;
                return script();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    // Steps until the client ends; returns its transfer state (-1: still running).
    std::int32_t StepToEnd(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        if (!ended_ && !StepUntil([] { return false; }, limit) && !ended_) {
            return -1;
        }
        return peer_->TransferState();
    }

    TrackerTestTask task_;
    std::unique_ptr<test::TrackerIdentity> identity_;
    TTrackerPeer* peer_ = nullptr;
    bool ended_ = false;
};

TEST_F(TrackerPeerTest, UdpConnectThenAnnounce) {
    ScriptedTracker tracker(true);
    ASSERT_TRUE(Start("udp", tracker.Port(), kAnnounceStarted));
    std::string connect;
    ASSERT_TRUE(StepUntil([&] { return !(connect = tracker.ReceiveDatagram()).empty(); }));
    ASSERT_EQ(connect.size(), 16u);
    EXPECT_EQ(connect.substr(0, 12), Bytes({0, 0, 4, 0x17, 0x27, 0x10, 0x19, 0x80, 0, 0, 0, 0}));
    EXPECT_EQ(tracker.SenderAddress(), "127.0.0.2");  // bound to the task's address
    const std::string id = Bytes({1, 2, 3, 4, 5, 6, 7, 8});
    tracker.Answer(UdpAnswer(0, connect, id));

    std::string announce;
    ASSERT_TRUE(StepUntil([&] { return !(announce = tracker.ReceiveDatagram()).empty(); }));
    ASSERT_EQ(announce.size(), 104u);
    EXPECT_EQ(announce.substr(0, 8), id);
    EXPECT_EQ(announce.substr(8, 4), Bytes({0, 0, 0, 1}));
    EXPECT_EQ(std::memcmp(announce.data() + 16, task_.info.infoHash.data(), 20), 0);
    EXPECT_EQ(std::memcmp(announce.data() + 36, task_.info.ownPeerId.data(), 20), 0);
    EXPECT_EQ(announce.substr(64, 8), Bytes({0, 0, 0, 0, 0, 0x0B, 0x71, 0xB0}));  // 750000 left
    EXPECT_EQ(announce.substr(80, 4), Bytes({0, 0, 0, 2}));                       // started
    EXPECT_EQ(announce.substr(96, 2), Bytes({0x1A, 0xE1}));                       // port 6881

    tracker.Answer(UdpAnswer(1, announce,
                             Bytes({0, 0, 3, 0x84, 0, 0, 0, 4, 0, 0, 0, 9}) +
                                 Bytes({10, 0, 0, 5, 0x1A, 0xE1, 10, 0, 0, 6, 0x1A, 0xE2})));
    EXPECT_EQ(StepToEnd(), kTransferFinished);
    EXPECT_TRUE(task_.Learned("10.0.0.5", 6881));
    EXPECT_TRUE(task_.Learned("10.0.0.6", 6882));
    EXPECT_EQ(task_.interval, 900);
    EXPECT_EQ(task_.seeds, 9);
}

TEST_F(TrackerPeerTest, UdpConnectIsSentAgainAndStaleAnswersAreIgnored) {
    test::EngineTestClock clock(100.0);  // 11 engine seconds in about 0.1 s
    ScriptedTracker tracker(true);
    ASSERT_TRUE(Start("udp", tracker.Port(), kAnnounceRegular));
    std::string first;
    ASSERT_TRUE(StepUntil([&] { return !(first = tracker.ReceiveDatagram()).empty(); }));
    // The first connect goes unanswered: the client sends another.
    std::string second;
    ASSERT_TRUE(StepUntil([&] { return !(second = tracker.ReceiveDatagram()).empty(); }));
    ASSERT_EQ(second.size(), 16u);
    // An answer to an older transaction, then the right one.
    std::string stale = UdpAnswer(0, second, Bytes({9, 9, 9, 9, 9, 9, 9, 9}));
    stale[4] = static_cast<char>(stale[4] ^ 0x5A);
    tracker.Answer(stale);
    tracker.Answer(UdpAnswer(0, second, Bytes({1, 1, 1, 1, 1, 1, 1, 1})));
    std::string announce;
    ASSERT_TRUE(StepUntil([&] { return !(announce = tracker.ReceiveDatagram()).empty(); }));
    EXPECT_EQ(announce.substr(0, 8), Bytes({1, 1, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(announce.substr(80, 4), Bytes({0, 0, 0, 0}));  // a regular announce
    // An error answer ends the announce without peers.
    tracker.Answer(UdpAnswer(3, announce, "unknown torrent"));
    EXPECT_EQ(StepToEnd(), kTransferFinished);
    EXPECT_TRUE(task_.learned.empty());
    EXPECT_EQ(task_.answers, 0);
}

TEST_F(TrackerPeerTest, UdpPortWithoutTrackerFailsThePeer) {
    std::uint16_t port = 0;
    {
        ScriptedTracker gone(true);
        port = gone.Port();
    }
    ASSERT_TRUE(Start("udp", port, kAnnounceStarted));
    const std::int32_t state = StepToEnd();
    EXPECT_NE(state, -1);
    EXPECT_FALSE(peer_->EndedNormally());
}

TEST_F(TrackerPeerTest, SilentTrackerIsGivenUpAfterAMinute) {
    test::EngineTestClock clock(200.0);
    ScriptedTracker tracker(true);
    ASSERT_TRUE(Start("udp", tracker.Port(), kAnnounceStarted));
    int connects = 0;
    const auto counting = [&] {
        while (!tracker.ReceiveDatagram().empty()) {
            ++connects;
        }
        return false;
    };
    StepUntil(counting, std::chrono::seconds(10));
    EXPECT_TRUE(ended_);
    EXPECT_EQ(peer_->TransferState(), kTransferTimedOut);
    EXPECT_GE(connects, 5);  // once every 11 seconds
    EXPECT_LE(connects, 7);
}

TEST_F(TrackerPeerTest, HttpRequestAndAnAnswerInPieces) {
    ScriptedTracker tracker(false);
    ASSERT_TRUE(Start("http", tracker.Port(), kAnnounceCompleted));
    std::string request;
    ASSERT_TRUE(StepUntil([&] {
        request = tracker.ReadStream();
        return request.find("\r\n\r\n") != std::string::npos;
    }));
    EXPECT_EQ(tracker.SenderAddress(), "127.0.0.2");
    std::string hash;
    for (const std::uint8_t b : task_.info.infoHash) {
        char two[4];
        std::snprintf(two, sizeof two, "%%%02x", b);
        hash += two;
    }
    const std::string head = "GET /announce?info_hash=" + hash + "&peer_id=%00%01Kv";
    ASSERT_EQ(request.rfind(head, 0), 0u) << request;
    const std::string tail =
        "&port=6881&uploaded=7&downloaded=260000&left=750000&event=completed&key=5127"
        "&compact=1&numwant=200 HTTP/1.0\r\nUser-Agent: BitTorrent/4.1.2\r\nHost: 127.0.0.1:" +
        std::to_string(tracker.Port()) + "\r\nAccept-Encoding: gzip\r\nConnection: close\r\n\r\n";
    ASSERT_GE(request.size(), head.size() + tail.size());
    EXPECT_EQ(request.substr(request.size() - tail.size()), tail);
    // 16 more bytes of peer id, percent-encoded: between 16 and 48 characters.
    const std::size_t idText = request.size() - tail.size() - head.size();
    EXPECT_GE(idText, 16u);
    EXPECT_LE(idText, 48u);

    const std::string body = "d8:intervali120e8:completei2e10:downloadedi5e5:peers12:" +
                             Bytes({10, 0, 0, 7, 0, 0x50, 0, 0, 0, 0, 0x1A, 0xE1}) + "e";
    tracker.Write("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n");
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(peer_->DownloadStep());  // half a header: the client waits
    }
    tracker.Write("\r\n" + body.substr(0, 10));
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(peer_->DownloadStep());
    }
    tracker.Write(body.substr(10));
    EXPECT_EQ(StepToEnd(), kTransferFinished);
    ASSERT_EQ(task_.learned.size(), 1u);  // the entry with address 0 is skipped
    EXPECT_TRUE(task_.Learned("10.0.0.7", 80));
    EXPECT_EQ(task_.interval, 120);
    EXPECT_EQ(task_.seeds, 2);
    EXPECT_EQ(task_.completed, 5);
}

TEST_F(TrackerPeerTest, HttpConnectionClosedMidAnswerFailsThePeer) {
    ScriptedTracker tracker(false);
    ASSERT_TRUE(Start("http", tracker.Port(), kAnnounceStarted));
    ASSERT_TRUE(
        StepUntil([&] { return tracker.ReadStream().find("\r\n\r\n") != std::string::npos; }));
    tracker.Write("HTTP/1.0 200 OK\r\nContent-Length: 50\r\n\r\nd8:interval");
    tracker.CloseClient();
    StepToEnd();
    EXPECT_TRUE(ended_);
    EXPECT_FALSE(peer_->EndedNormally());
    EXPECT_EQ(task_.answers, 0);
}

}  // namespace
}  // namespace koruvan::engine
