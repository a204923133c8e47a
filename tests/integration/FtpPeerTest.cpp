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
#include "InMemoryPeerTask.h"
#include "engine/peers/IpAddress.h"
#include "engine/peers/TFtpPeer.h"
#include "support/TempDir.h"

namespace koruvan::engine {
namespace {

constexpr std::int32_t kBlocksPerPiece = InMemoryPeerTask::kBlocksPerPiece;
constexpr std::int32_t kPieceLength = InMemoryPeerTask::kPieceLength;  // 64 KiB
// 32 MiB: more than the socket buffers hold, so that an abandoned transfer is still running.
constexpr std::int32_t kPieces = 512;

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
    InMemoryPeerTask task_{kPieces};
    std::string failure_;  // the last peer's failure text
};

// The login asks for the password only when the server does (331); a server that logs the
// user in at USER (230) goes on to the transfer.
TEST_F(FtpPeerTest, SendsTheCommandsByteForByte) {
    const std::string transfer =
        "cwd /pub\\r\\n\nsize f.bin\\r\\n\ntype i\\r\\n\npasv\\r\\n\nrest "
        "65536\\r\\n\nretr f.bin\\r\\n\n";
    const std::map<std::string, std::string> expected = {
        {"serve", "user anonymous\\r\\n\npass koruvan@koruvan.example\\r\\n\n" + transfer},
        {"user-login", "user anonymous\\r\\n\n" + transfer}};
    for (const auto& [mode, commands] : expected) {
        test::ScriptedFtpServer server;
        const std::string logFile = dir_.File(mode + ".log");
        ASSERT_TRUE(server.Start(dir_.File("www"), mode, logFile));
        task_.blocks.clear();
        task_.ranges.clear();
        ASSERT_TRUE(Fetch(server.Url("/pub/f.bin"), {1})) << mode << ": " << failure_;
        ExpectPieces({1});
        // The peer closes the data connection once its piece is in: the server may note that
        // as "ABORTED" after the commands, depending on who was quicker.
        std::string log = test::ReadFile(logFile);
        if (const std::size_t aborted = log.find("ABORTED 65536\n"); aborted != std::string::npos) {
            log.erase(aborted);
        }
        EXPECT_EQ(log, commands) << mode;
    }
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
