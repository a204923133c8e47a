// The FTP source peer against vsftpd and the scripted FTP server on loopback, driven by a
// small task of its own: the exact command bytes, a stream kept across a gap of up to 80 KiB
// and abandoned (426) beyond it, replies in many lines or in one write, and the replies that
// drop or back off a source.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "FtpServers.h"
#include "engine/peers/IpAddress.h"
#include "engine/peers/TFtpPeer.h"
#include "support/TempDir.h"

namespace koruvan::engine {
namespace {

constexpr std::int32_t kBlocksPerPiece = 4;
constexpr std::int32_t kPieceLength = kBlocksPerPiece * kBlockSize;  // 64 KiB
// 32 MiB: more than the socket buffers hold, so that an abandoned transfer is still running.
constexpr std::int32_t kPieces = 512;

// A task of 512 pieces of 64 KiB held in memory; only the pieces in `wanted` are needed.
class FakeTask final : public PeerTask {
  public:
    std::int64_t PeerClock() override { return clock; }
    std::int32_t PieceLength() override { return kPieceLength; }
    std::int32_t PieceCount() override { return kPieces; }
    std::uint64_t TotalSize() override { return std::uint64_t{kPieces} * kPieceLength; }
    bool Complete() override { return wanted.empty(); }
    std::int32_t DownloadFrontier() override { return -1; }
    bool Endgame() override { return false; }
    bool Stopping() override { return false; }
    bool P2PEnabled() override { return false; }
    bool PieceWanted(std::int32_t piece) override { return wanted.count(piece) > 0; }
    std::int32_t MissingBytes(std::int32_t piece, std::int32_t& first) override {
        for (std::int32_t b = 0; b < kBlocksPerPiece; ++b) {
            if (blocks.count(piece * kBlocksPerPiece + b) == 0) {
                first = b * kBlockSize;
                return kPieceLength - first;
            }
        }
        return 0;
    }
    bool HasBlock(std::int32_t block) override { return blocks.count(block) > 0; }
    std::int32_t StoreBlock(std::int32_t block, std::int32_t length, const std::uint8_t* data,
                            TPeerId*, std::int32_t, bool& accepted) override {
        blocks[block].assign(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
        accepted = true;
        std::int32_t first = 0;
        if (MissingBytes(block / kBlocksPerPiece, first) == 0) {
            wanted.erase(block / kBlocksPerPiece);
        }
        return 0;
    }
    bool PieceDone(std::int32_t piece) override { return wanted.count(piece) == 0; }
    bool LearnTotalSize(std::uint64_t, const std::string&) override { return false; }
    void ReturnRequests(std::span<const BlockRequest>) override {}
    bool TakePooledRequest(std::int32_t, std::int32_t) override { return false; }
    bool PoolHolds(std::int32_t, std::int32_t) override { return false; }
    void PoolRequest(const BlockRequest&) override {}
    void EnsureRanges() override {
        if (ranges.empty()) {
            auto r = std::make_unique<WorkRange>();
            r->last = kPieces - 1;
            ranges.push_back(std::move(r));
        }
    }
    std::size_t RangeCount() override { return ranges.size(); }
    WorkRange* RangeAt(std::size_t i) override {
        return i < ranges.size() ? ranges[i].get() : nullptr;
    }
    WorkRange* AssignRange(RangeWorker& peer) override {
        for (auto& r : ranges) {
            if (r->Free()) {
                r->owner = &peer;
                return r.get();
            }
        }
        return nullptr;
    }
    WorkRange* AppendRange(std::unique_ptr<WorkRange> r) override {
        ranges.push_back(std::move(r));
        return ranges.back().get();
    }
    void RemoveRange(WorkRange* r) override {
        std::erase_if(ranges, [&](const auto& x) { return x.get() == r; });
    }
    std::int32_t DownloadBudget() override { return 1 << 30; }
    void CountPendingUpload() override {}
    void BackOff(TPeerId*, std::int32_t seconds) override { backOffs.push_back(seconds); }
    void RemoveCandidate(TPeerId*) override {}
    bool AddCandidate(TPeerId*) override { return false; }
    void ReportUnresolvedRedirect() override {}
    void SetPhase(std::int32_t) override {}

    std::int64_t clock = 1000;
    std::set<std::int32_t> wanted;
    std::map<std::int32_t, std::string> blocks;
    std::vector<std::unique_ptr<WorkRange>> ranges;
    std::vector<std::int32_t> backOffs;
};

class FtpPeerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        content_.resize(std::size_t{kPieces} * kPieceLength);
        for (std::size_t i = 0; i < content_.size(); ++i) {
            content_[i] = static_cast<char>((i * 131) ^ (i >> 9));
        }
        std::filesystem::create_directories(dir_.File("www"));
        test::WriteFile(dir_.File("www/f.bin"), content_);
    }

    TPeerId* Source(const std::string& url) {
        auto* id = new TPeerId(url, 29);
        EXPECT_TRUE(id->Parse());
        id->ip = HostToNet32(0x7F000001);
        id->resolved = true;
        id->maxConnections = 4;
        return id;
    }

    // Connects a peer to `url` and steps it until the wanted pieces are in (true) or it fails
    // (false).
    bool Fetch(const std::string& url, std::set<std::int32_t> wanted, TPeerId** kept = nullptr) {
        task_.wanted = std::move(wanted);
        TPeerId* id = Source(url);
        auto* peer = new TFtpPeer(task_);
        // A peer with nothing left to fetch ends its last step itself.
        bool stepping = peer->Connect(id);
        for (int i = 0; stepping && !task_.wanted.empty() && i < 5000; ++i) {
            stepping = peer->DownloadStep();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const bool ok = task_.wanted.empty();
        failure_ = peer->FailureText();
        peer->Release();
        if (kept != nullptr) {
            *kept = id;
        } else {
            id->Release();
        }
        return ok;
    }

    void ExpectPieces(std::initializer_list<std::int32_t> pieces) {
        for (const std::int32_t piece : pieces) {
            for (std::int32_t b = 0; b < kBlocksPerPiece; ++b) {
                const std::int32_t block = piece * kBlocksPerPiece + b;
                EXPECT_EQ(task_.blocks[block],
                          content_.substr(static_cast<std::size_t>(block) * kBlockSize, kBlockSize))
                    << "block " << block;
            }
        }
    }

    test::TempDir dir_;
    std::string content_;
    FakeTask task_;
    std::string failure_;  // the last peer's failure text
};

TEST_F(FtpPeerTest, SendsTheCommandsByteForByte) {
    test::ScriptedFtpServer server;
    ASSERT_TRUE(server.Start(dir_.File("www"), "serve", dir_.File("commands.log")));
    ASSERT_TRUE(Fetch(server.Url("/pub/f.bin"), {1}));
    ExpectPieces({1});
    // The peer closes the data connection once its piece is in: the server may note that as
    // "ABORTED" after the commands, depending on who was quicker.
    std::string log = test::ReadFile(dir_.File("commands.log"));
    if (const std::size_t aborted = log.find("ABORTED 65536\n"); aborted != std::string::npos) {
        log.erase(aborted);
    }
    EXPECT_EQ(log,
              "user anonymous\\r\\n\npass koruvan@koruvan.example\\r\\n\ncwd /pub\\r\\n\n"
              "size f.bin\\r\\n\ntype i\\r\\n\npasv\\r\\n\nrest 65536\\r\\n\nretr f.bin\\r\\n\n");
}

// Piece 0 ends at 64 KiB: the next wanted piece 80 KiB or less ahead is read from the same
// stream; one further ahead abandons it (vsftpd answers 426) and restarts at its offset.
TEST_F(FtpPeerTest, AGapUpTo80KiBStaysInTheStreamAndALargerOneRestartsTheTransfer) {
    test::VsftpdServer server(dir_.File("vsftpd"), dir_.File("www"));
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(Fetch(server.Url("/f.bin"), {0, 2}));
    ExpectPieces({0, 2});
    std::string log = server.Log();
    EXPECT_EQ(log.find("REST 131072"), std::string::npos) << log;
    EXPECT_NE(log.find("\"REST 0\""), std::string::npos) << log;

    task_.blocks.clear();
    task_.ranges.clear();
    ASSERT_TRUE(Fetch(server.Url("/f.bin"), {0, 3}));
    ExpectPieces({0, 3});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    log = server.Log();
    EXPECT_NE(log.find("\"426 "), std::string::npos) << log;
    EXPECT_NE(log.find("\"REST 196608\""), std::string::npos) << log;
}

TEST_F(FtpPeerTest, RepliesInManyLinesOrSeveralInOneWriteAreReadOneAtATime) {
    for (const std::string mode : {"multiline", "joined"}) {
        test::ScriptedFtpServer server;
        ASSERT_TRUE(server.Start(dir_.File("www"), mode));
        task_.blocks.clear();
        task_.ranges.clear();
        // The last piece: its transfer ends with the file, right after its 150.
        EXPECT_TRUE(Fetch(server.Url("/f.bin"), {kPieces - 1})) << mode;
        ExpectPieces({kPieces - 1});
    }
}

// 530 to the password and 550 to SIZE back the source off by 60; a 421 in mid-transfer
// lowers its connection allowance. Each ends the peer; blocks stored before stay stored.
TEST_F(FtpPeerTest, RefusalsAndAClosingServerEndOnlyThisSource) {
    struct Case {
        const char* mode;
        std::vector<std::int32_t> backOffs;
        std::int32_t maxConnections;
    };
    for (const Case& c :
         {Case{"deny-login", {60}, 4}, Case{"missing", {60}, 4}, Case{"drop-421", {}, 3}}) {
        test::ScriptedFtpServer server;
        ASSERT_TRUE(server.Start(dir_.File("www"), c.mode, "", 4 * kPieceLength));
        task_.blocks.clear();
        task_.ranges.clear();
        task_.backOffs.clear();
        TPeerId* id = nullptr;
        EXPECT_FALSE(Fetch(server.Url("/f.bin"), {0, 1, 2, 3, 4, 5, 6, 7}, &id)) << c.mode;
        EXPECT_EQ(task_.backOffs, c.backOffs) << c.mode;
        EXPECT_EQ(id->maxConnections, c.maxConnections) << c.mode;
        if (std::string(c.mode) == "drop-421") {
            ExpectPieces({0, 1, 2, 3});
        } else {
            EXPECT_TRUE(task_.blocks.empty()) << c.mode;
        }
        id->Release();
    }
}

// The login, the directory and the file name become command lines: a URL that would carry a
// line break (percent-encoded) into one is refused before anything is dialled.
TEST_F(FtpPeerTest, AUrlWithALineBreakIsNeverDialled) {
    TPeerId* id = Source("ftp://127.0.0.1:21/a%0d%0aDELE%20x/f.bin");
    auto* peer = new TFtpPeer(task_);
    EXPECT_FALSE(peer->Connect(id));
    EXPECT_NE(peer->FailureText().find("line break"), std::string::npos) << peer->FailureText();
    EXPECT_FALSE(peer->Connection()->IsOpen());
    peer->Release();
    id->Release();
}

}  // namespace
}  // namespace koruvan::engine
