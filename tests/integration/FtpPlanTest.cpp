// A plan whose five files come from an FTP mirror, run by koruvan-cli: killed with SIGKILL
// in mid-download, the next run goes on from the saved progress with REST offsets, fetches
// only what was missing and ends with the right digests. vsftpd asking anonymous users for
// a password and logging them in at USER (as public mirrors run it), pure-ftpd (which logs
// anonymous users in at USER) anonymous and with a user.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>
#include <memory>
#include <regex>
#include <thread>

#include "CliTestGame.h"
#include "FtpServers.h"

namespace koruvan::test {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

// The last "downloading  P%" the command printed; -1 when it printed none.
double LastPercent(const std::string& out) {
    const std::string word = "downloading  ";
    double percent = -1;
    for (std::size_t at = out.find(word); at != std::string::npos; at = out.find(word, at + 1)) {
        percent = std::strtod(out.c_str() + at + word.size(), nullptr);
    }
    return percent;
}

// The plan's file URLs moved from the game's HTTP server to the FTP server (same paths).
void MoveFilesToFtp(const TestGame& game, const FtpServer& ftp, const std::string& login) {
    std::string plan = ReadFile(game.PlanFile());
    for (int i = 0; i < 5; ++i) {
        const std::string http = "url = " + game.Url(i);
        const std::size_t at = plan.find(http);
        ASSERT_NE(at, std::string::npos) << plan;
        plan.replace(at, http.size(), "url = " + ftp.Url("/vemo047/" + game.Name(i), login));
    }
    WriteFile(game.PlanFile(), plan);
}

// The bytes the command says it received from web sources ("received from web sources N B").
std::uint64_t ReceivedFromWeb(const std::string& err) {
    static const std::regex kReceived(R"(received from web sources (\d+) B)");
    std::smatch m;
    return std::regex_search(err, m, kReceived) ? std::stoull(m[1].str()) : 0;
}

struct ServerCase {
    const char* name;
    bool pureFtpd;
    bool anonymousAtUser;  // vsftpd: no password asked
    bool withUser;
};

std::unique_ptr<FtpServer> MakeServer(const ServerCase& c, const TestGame& game) {
    if (c.pureFtpd) {
        return std::make_unique<PureFtpdServer>(game.Path("ftpd"), game.Path("www"));
    }
    auto vsftpd = std::make_unique<VsftpdServer>(game.Path("ftpd"), game.Path("www"));
    vsftpd->SetAnonymousAtUser(c.anonymousAtUser);
    return vsftpd;
}

class FtpPlanTest : public ::testing::TestWithParam<ServerCase> {};

TEST_P(FtpPlanTest, AnFtpPlanResumesAfterSigkillWithRestOffsets) {
    const ServerCase& c = GetParam();
    std::string why;
    if (!EngineCanDownload(why)) {
        GTEST_SKIP() << "downloads are impossible here: " << why;
    }
    if (c.pureFtpd && !PureFtpdServer::Available(why)) {
        GTEST_SKIP() << why;
    }
    // Per session: about 1 MB/s for the whole download, so that the kill comes after the
    // tasks first saved their progress (every 20 s) and before half of it is there.
    constexpr std::uint64_t kRate = 128 * 1024;
    TestGame game({16 * kMiB, 16 * kMiB, 16 * kMiB, 16 * kMiB}, "", 256 * 1024);
    ASSERT_TRUE(game.Started());
    game.SetConnectionBudget(10);
    const std::unique_ptr<FtpServer> ftp = MakeServer(c, game);
    ASSERT_TRUE(ftp->Start(kRate, c.withUser));
    const std::string login =
        c.withUser ? std::string(FtpServer::kUser) + ":" + FtpServer::kPassword : "";
    MoveFilesToFtp(game, *ftp, login);
    const std::vector<std::string> download = {"download", "--save-dir", game.SaveDir(),
                                               "--no-p2p"};

    // Killed once the tasks have saved their progress (every 20 s) for the first time.
    auto first = game.StartCli(download, "first");
    ASSERT_NE(first, nullptr);
    std::this_thread::sleep_for(std::chrono::seconds(22));
    ASSERT_TRUE(first->Running()) << game.Output("first").out << game.Output("first").err;
    first->Signal(SIGKILL);
    EXPECT_EQ(first->Wait(std::chrono::seconds(10)), 128 + SIGKILL);
    const double shownAtKill = LastPercent(game.Output("first").out);
    ASSERT_GT(shownAtKill, 10) << game.Output("first").out;
    ASSERT_LT(shownAtKill, 90) << game.Output("first").out;
    const auto* vsftpd = dynamic_cast<const VsftpdServer*>(ftp.get());
    const std::size_t firstLog = vsftpd != nullptr ? vsftpd->Log().size() : 0;
    ASSERT_TRUE(ftp->Start(0, c.withUser));  // the rest at full speed

    const CliResult second = game.Run(download);
    EXPECT_EQ(second.code, 0) << second.out << second.err << ftp->Log();
    EXPECT_EQ(game.MatchingFiles(), 5);
    // Only what was missing (and what arrived after the last save) is fetched again.
    const std::uint64_t secondRun = ReceivedFromWeb(second.err);
    const auto total = static_cast<double>(game.TotalBytes());
    EXPECT_GT(secondRun, 0u) << second.err;
    EXPECT_LT(static_cast<double>(secondRun), total * (1 - shownAtKill / 100) + total / 8)
        << "killed at " << shownAtKill << "%; the second run fetched " << secondRun;
    if (vsftpd != nullptr) {
        // The second run asked for the files from the middle on.
        static const std::regex kRest(R"re("REST [1-9][0-9]*")re");
        const std::string log = vsftpd->Log().substr(firstLog);
        EXPECT_TRUE(std::regex_search(log, kRest)) << log;
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpPlanTest,
                         ::testing::Values(ServerCase{"VsftpdAskingAPassword", false, false, false},
                                           ServerCase{"VsftpdLoggingInAtUser", false, true, false},
                                           ServerCase{"PureFtpdAnonymous", true, false, false},
                                           ServerCase{"PureFtpdUser", true, false, true}),
                         [](const ::testing::TestParamInfo<ServerCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace koruvan::test
