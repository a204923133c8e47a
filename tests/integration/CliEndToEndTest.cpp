// koruvan-cli end to end against nginx on loopback: a whole download, a restart after
// SIGKILL that does not start over, Ctrl-C that pauses cleanly, a corrupted cabinet found
// and repaired piece-wise by `verify`, the installer run by `install`, the plan lock, the
// status report and the refusal of a bad plan file.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "CliTestGame.h"

namespace koruvan::test {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

#define REQUIRE_DOWNLOADS()                                           \
    do {                                                              \
        std::string why;                                              \
        if (!EngineCanDownload(why)) {                                \
            GTEST_SKIP() << "downloads are impossible here: " << why; \
        }                                                             \
    } while (false)

std::vector<std::string> Download(const TestGame& game, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"download", "--save-dir", game.SaveDir(), "--no-p2p"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

void ExpectSuccess(const CliResult& r) {
    EXPECT_EQ(r.code, 0) << "stdout:\n" << r.out << "\nstderr:\n" << r.err;
}

TEST(CliEndToEndTest, DownloadsTheWholePlanWithMatchingDigests) {
    REQUIRE_DOWNLOADS();
    TestGame game({3 * kMiB, 5 * kMiB / 2, 2 * kMiB + 12345, 3 * kMiB / 2});
    ASSERT_TRUE(game.Started());
    const CliResult r = game.Run(Download(game));
    ExpectSuccess(r);
    EXPECT_EQ(game.MatchingFiles(), 5);
    EXPECT_NE(r.out.find("finished"), std::string::npos) << r.out;
    const CliResult status = game.Run({"status"});
    ExpectSuccess(status);
    EXPECT_NE(status.out.find("state:         finished"), std::string::npos) << status.out;
    EXPECT_EQ(status.out.find("missing"), std::string::npos) << status.out;
    // Again: nothing left to do, nothing fetched.
    const std::uint64_t served = game.ServedBytes();
    ExpectSuccess(game.Run(Download(game)));
    EXPECT_EQ(game.ServedBytes(), served);
}

// The last "downloading  P%" the command printed; -1 when it printed none.
double LastPercent(const std::string& out) {
    const std::string word = "downloading  ";
    double percent = -1;
    for (std::size_t at = out.find(word); at != std::string::npos; at = out.find(word, at + 1)) {
        percent = std::strtod(out.c_str() + at + word.size(), nullptr);
    }
    return percent;
}

// The percentage of the first progress line.
double FirstPercent(const std::string& out) {
    const std::size_t sign = out.find('%');
    const std::size_t start = out.rfind(' ', sign);
    return sign == std::string::npos || start == std::string::npos
               ? 0.0
               : std::strtod(out.c_str() + start + 1, nullptr);
}

// A kill loses what the engine had not yet saved as finished pieces. The download is held
// down (per-connection rate, connection budget) to last about half a minute, and it is
// killed at a random point between a quarter and half of its progress. The second run must
// go on from where the first one's saved progress stood, fetching only what was missing.
// (nginx counts what it sent, a little more than the engine keeps: a closing connection
// has data in flight. Hence the slack.)
TEST(CliEndToEndTest, RestartAfterSigkillContinuesWhereItStopped) {
    REQUIRE_DOWNLOADS();
    TestGame game({16 * kMiB, 16 * kMiB, 16 * kMiB, 16 * kMiB}, "256k", 256 * 1024);
    ASSERT_TRUE(game.Started());
    game.SetConnectionBudget(10);
    auto first = game.StartCli(Download(game), "first");
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
    // nginx logs a killed connection only once it notices the close (after its rate-limit
    // pause): wait until the count settles, or the second run is charged for those bytes.
    std::uint64_t beforeRestart = game.ServedBytes();
    for (int settled = 0; settled < 3;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const std::uint64_t now = game.ServedBytes();
        settled = now == beforeRestart ? settled + 1 : 0;
        beforeRestart = now;
    }
    EXPECT_LT(beforeRestart, game.TotalBytes());

    ASSERT_TRUE(game.RestartServer("1m"));
    const CliResult second = game.Run(Download(game));
    ExpectSuccess(second);
    EXPECT_EQ(game.MatchingFiles(), 5);
    const double resumedAt = FirstPercent(second.out);
    const std::uint64_t secondRun = game.ServedBytes() - beforeRestart;
    const auto total = static_cast<double>(game.TotalBytes());
    const std::string story =
        "killed at " + std::to_string(killAt) + "%; " + "the second run resumed at " +
        std::to_string(resumedAt) + "% and fetched " + std::to_string(secondRun) + " of " +
        std::to_string(game.TotalBytes()) + " bytes; " + std::to_string(beforeRestart) +
        " before the kill\n" + game.Output("first").out + "\n" + second.out;
    std::printf("killed at %.0f%%; resumed at %.2f%%; second run fetched %llu of %llu bytes\n",
                killAt, resumedAt, static_cast<unsigned long long>(secondRun),
                static_cast<unsigned long long>(game.TotalBytes()));
    EXPECT_GE(resumedAt, killAt) << story;
    // The second run's first line is printed a second into it, with some of the rest already
    // fetched: the bound is taken from what the first run showed when it was killed.
    const double shownAtKill = LastPercent(game.Output("first").out);
    EXPECT_LT(static_cast<double>(secondRun), total * (1 - shownAtKill / 100) + total / 8) << story;
}

TEST(CliEndToEndTest, InterruptPausesAndTheNextDownloadResumes) {
    REQUIRE_DOWNLOADS();
    TestGame game({8 * kMiB, 8 * kMiB, 8 * kMiB, 4 * kMiB}, "1m");
    ASSERT_TRUE(game.Started());
    auto first = game.StartCli(Download(game), "first");
    ASSERT_NE(first, nullptr);
    std::this_thread::sleep_for(std::chrono::seconds(4));
    first->Signal(SIGINT);
    EXPECT_EQ(first->Wait(std::chrono::seconds(30)), 1);
    EXPECT_NE(game.Output("first").err.find("interrupted"), std::string::npos);
    const CliResult status = game.Run({"status"});
    EXPECT_NE(status.out.find("state:         incomplete"), std::string::npos) << status.out;
    const std::uint64_t before = game.ServedBytes();
    ExpectSuccess(game.Run(Download(game)));
    EXPECT_EQ(game.MatchingFiles(), 5);
    EXPECT_LT(game.ServedBytes() - before, game.TotalBytes());
}

TEST(CliEndToEndTest, VerifyFindsACorruptedByteAndFetchesOnlyItsPiece) {
    REQUIRE_DOWNLOADS();
    TestGame game({12 * kMiB, 12 * kMiB, 12 * kMiB, 3 * kMiB});
    ASSERT_TRUE(game.Started());
    ExpectSuccess(game.Run(Download(game)));
    ASSERT_EQ(game.MatchingFiles(), 5);
    // At a moderate rate what nginx counts is what the engine asked for (a fast server
    // pushes far more into the socket before a closing connection is noticed).
    ASSERT_TRUE(game.RestartServer("256k"));
    {
        // Silent damage: one byte flips, the time stamp stays (as with a failing disk).
        const auto stamp = std::filesystem::last_write_time(game.Target(2));
        std::fstream cabinet(game.Target(2), std::ios::in | std::ios::out | std::ios::binary);
        cabinet.seekg(3 * kMiB + 777);
        char byte = 0;
        cabinet.read(&byte, 1);
        cabinet.seekp(3 * kMiB + 777);
        byte = static_cast<char>(byte ^ 0x5A);
        cabinet.write(&byte, 1);
        cabinet.close();
        std::filesystem::last_write_time(game.Target(2), stamp);
    }
    ASSERT_EQ(game.MatchingFiles(), 4);
    const std::uint64_t before = game.ServedBytes();
    const CliResult verify = game.Run({"verify"});
    ExpectSuccess(verify);
    EXPECT_NE(verify.out.find("checkfinished"), std::string::npos) << verify.out;
    EXPECT_EQ(game.MatchingFiles(), 5);
    const std::uint64_t refetched = game.ServedBytes() - before;
    EXPECT_GE(refetched, game.PieceLength(2));
    // The damaged piece of 2 MiB out of 12, and no more than the engine's first look at the
    // file besides.
    EXPECT_LE(refetched, game.PieceLength(2) + 512 * 1024)
        << ReadFile(game.Path("nginx/access.log"));
    ExpectSuccess(game.Run({"verify"}));
    EXPECT_EQ(game.ServedBytes() - before, refetched);
}

TEST(CliEndToEndTest, VerifyPassesAFinishedDownload) {
    TestGame game({kMiB, kMiB, kMiB, kMiB});
    ASSERT_TRUE(game.Started());
    game.PretendFinished();
    const CliResult r = game.Run({"verify"});
    ExpectSuccess(r);
    EXPECT_NE(r.out.find("checkfinished"), std::string::npos) << r.out;
    EXPECT_EQ(game.ServedBytes(), 0u);
}

TEST(CliEndToEndTest, InstallRunsTheInstallerWithOrWithoutVerification) {
    TestGame game({kMiB, kMiB, kMiB, kMiB});
    ASSERT_TRUE(game.Started());
    game.PretendFinished();
    const CliResult plain = game.Run({"install"});
    ExpectSuccess(plain);
    EXPECT_NE(plain.err.find("是否验证安装文件的正确性？ no"), std::string::npos) << plain.err;
    const std::string marker = game.SaveDir() + "/installed.txt";
    for (int i = 0; i < 200 && ReadFile(marker).empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(ReadFile(marker), "installed " + game.SaveDir() + "\n");
    std::filesystem::remove(marker);

    const CliResult verified = game.Run({"install", "--verify"});
    ExpectSuccess(verified);
    EXPECT_NE(verified.err.find("是否验证安装文件的正确性？ yes"), std::string::npos);
    for (int i = 0; i < 200 && ReadFile(marker).empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_FALSE(ReadFile(marker).empty());
}

TEST(CliEndToEndTest, InstallWithoutAnInstallerFails) {
    TestGame game({kMiB, kMiB, kMiB, kMiB});
    ASSERT_TRUE(game.Started());
    game.PretendFinished("other_setup.exe");  // the task names an installer that is gone
    const CliResult r = game.Run({"install"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("安装程序丢失"), std::string::npos) << r.err;
}

TEST(CliEndToEndTest, NothingToVerifyOrInstallBeforeTheDownload) {
    TestGame game({kMiB, kMiB, kMiB, kMiB});
    ASSERT_TRUE(game.Started());
    EXPECT_EQ(game.Run({"verify"}).code, 1);
    EXPECT_EQ(game.Run({"install"}).code, 1);
    EXPECT_EQ(game.ServedBytes(), 0u);
}

TEST(CliEndToEndTest, SecondInstanceOnTheSamePlanIsTurnedAway) {
    TestGame game({16 * kMiB, 16 * kMiB, 16 * kMiB, 16 * kMiB}, "256k");
    ASSERT_TRUE(game.Started());
    auto first = game.StartCli(Download(game, {"--limit", "100"}), "first");
    ASSERT_NE(first, nullptr);
    // The first one holds the lock from its start; give it a moment to get there.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_TRUE(first->Running()) << game.Output("first").err;
    const CliResult second = game.Run(Download(game), std::chrono::seconds(30));
    EXPECT_EQ(second.code, 3) << second.err;
    EXPECT_NE(second.err.find("another instance"), std::string::npos);
    // Status only reads: it works while the download runs.
    const CliResult status = game.Run({"status"});
    EXPECT_EQ(status.code, 0);
    EXPECT_NE(status.out.find("incomplete"), std::string::npos) << status.out;
    first->Signal(SIGINT);
    EXPECT_EQ(first->Wait(std::chrono::seconds(30)), 1);
}

TEST(CliEndToEndTest, BadPlanFileIsRefusedNamingTheKey) {
    TestGame game({kMiB, kMiB, kMiB, kMiB});
    std::string plan = ReadFile(game.PlanFile());
    const std::size_t md5 = plan.find("md5 = ", plan.find("[file2]"));
    plan.replace(md5, 6 + 32, "md5 = not-a-digest");
    const std::string bad = game.Path("plan/bad.ini");
    WriteFile(bad, plan);
    for (const char* command : {"download", "status", "verify"}) {
        CliProcess process;
        ASSERT_TRUE(process.Start({"--plan", bad, command}, game.Path("bad.out"),
                                  game.Path("bad.err"), game.Path("run")));
        EXPECT_EQ(process.Wait(std::chrono::seconds(30)), 2) << command;
    }
    const std::string err = ReadFile(game.Path("bad.err"));
    EXPECT_NE(err.find("[file2] md5"), std::string::npos) << err;
    EXPECT_NE(err.find(bad), std::string::npos) << err;
    EXPECT_FALSE(std::filesystem::exists(game.DataDir()));  // nothing written

    CliProcess usage;
    ASSERT_TRUE(usage.Start({"download", "--limit", "9"}, game.Path("u.out"), game.Path("u.err"),
                            game.Path("run")));
    EXPECT_EQ(usage.Wait(std::chrono::seconds(30)), 2);
}

}  // namespace
}  // namespace koruvan::test
