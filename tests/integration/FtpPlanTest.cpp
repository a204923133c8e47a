// A plan whose five files come from an FTP mirror (vsftpd), run by koruvan-cli: killed with
// SIGKILL in mid-download, the next run goes on from the saved progress with REST offsets
// and fetches only what was missing.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>
#include <random>
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
void MoveFilesToFtp(const TestGame& game, const VsftpdServer& ftp) {
    std::string plan = ReadFile(game.PlanFile());
    for (int i = 0; i < 5; ++i) {
        const std::string http = "url = " + game.Url(i);
        const std::size_t at = plan.find(http);
        ASSERT_NE(at, std::string::npos) << plan;
        plan.replace(at, http.size(), "url = " + ftp.Url("/vemo047/" + game.Name(i)));
    }
    WriteFile(game.PlanFile(), plan);
}

// Bytes vsftpd sent, once its log stopped growing (a killed client's transfers end there
// when vsftpd notices).
std::uint64_t SettledSentBytes(const VsftpdServer& ftp) {
    std::uint64_t sent = ftp.SentBytes();
    for (int settled = 0; settled < 3;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const std::uint64_t now = ftp.SentBytes();
        settled = now == sent ? settled + 1 : 0;
        sent = now;
    }
    return sent;
}

TEST(FtpPlanTest, AnFtpPlanResumesAfterSigkillWithRestOffsets) {
    std::string why;
    if (!EngineCanDownload(why)) {
        GTEST_SKIP() << "downloads are impossible here: " << why;
    }
    TestGame game({6 * kMiB, 6 * kMiB, 6 * kMiB, 6 * kMiB}, "", 256 * 1024);
    ASSERT_TRUE(game.Started());
    game.SetConnectionBudget(10);
    VsftpdServer ftp(game.Path("vsftpd"), game.Path("www"));
    ASSERT_TRUE(ftp.Start(256 * 1024));
    MoveFilesToFtp(game, ftp);
    const std::vector<std::string> download = {"download", "--save-dir", game.SaveDir(),
                                               "--no-p2p"};

    auto first = game.StartCli(download, "first");
    ASSERT_NE(first, nullptr);
    std::random_device seed;
    const double killAt = 25 + static_cast<double>(seed() % 25);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (LastPercent(game.Output("first").out) < killAt && first->Running() &&
           std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(first->Running()) << game.Output("first").out << game.Output("first").err;
    first->Signal(SIGKILL);
    EXPECT_EQ(first->Wait(std::chrono::seconds(10)), 128 + SIGKILL);
    const std::uint64_t beforeRestart = SettledSentBytes(ftp);
    const std::size_t firstLog = ftp.Log().size();
    ASSERT_TRUE(ftp.Start());  // the rest at full speed

    const CliResult second = game.Run(download);
    EXPECT_EQ(second.code, 0) << second.out << second.err;
    EXPECT_EQ(game.MatchingFiles(), 5);
    const std::uint64_t secondRun = SettledSentBytes(ftp) - beforeRestart;
    const double shownAtKill = LastPercent(game.Output("first").out);
    const auto total = static_cast<double>(game.TotalBytes());
    EXPECT_LT(static_cast<double>(secondRun), total * (1 - shownAtKill / 100) + total / 8)
        << "killed at " << shownAtKill << "%; the second run fetched " << secondRun;
    // The second run asked for the files from the middle on.
    const std::string log = ftp.Log().substr(firstLog);
    static const std::regex kRest(R"re("REST [1-9][0-9]*")re");
    EXPECT_TRUE(std::regex_search(log, kRest)) << log;
}

}  // namespace
}  // namespace koruvan::test
