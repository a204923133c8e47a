// Crash soak: downloads of the five-file plan killed with SIGKILL at random moments — in
// mid-transfer, towards the end (the digest check and the final renames), and during the
// check and repair of a damaged cabinet — then resumed. Every resumed download must end
// with all five digests right; the bytes fetched again are reported. KORUVAN_SOAK_RUNS sets
// the number of downloads (a few by default, 20 in the slow run). The bytes are counted by
// nginx, which also counts what was in flight on a connection that closed: up to a few
// hundred KiB per connection more than the engine kept.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "CliTestGame.h"

namespace koruvan::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;
constexpr std::uint64_t kKiB = 1024;

int SoakRuns() {
    const char* runs = std::getenv("KORUVAN_SOAK_RUNS");
    return runs != nullptr && std::atoi(runs) > 0 ? std::atoi(runs) : 3;
}

std::vector<std::string> Download(const TestGame& game) {
    return {"download", "--save-dir", game.SaveDir(), "--no-p2p"};
}

// The last progress line a run printed (what it was doing when it was killed).
std::string LastLine(const std::string& out) {
    const std::size_t end = out.find_last_not_of("\r\n");
    if (end == std::string::npos) {
        return {};
    }
    const std::size_t start = out.find_last_of("\r\n", end);
    return start == std::string::npos ? out.substr(0, end + 1) : out.substr(start + 1, end - start);
}

// Runs koruvan-cli with `args` and kills it after `delay` unless it ended before; true when
// it was killed.
bool KillAfter(TestGame& game, const std::vector<std::string>& args, Ms delay,
               const std::string& tag) {
    auto cli = game.StartCli(args, tag);
    if (cli == nullptr) {
        return false;
    }
    int code = cli->TestProgram::Wait(delay, false);  // -1: still running
    const bool killed = code == -1;
    if (killed) {
        cli->Signal(SIGKILL);
        code = cli->Wait(std::chrono::seconds(10));
    }
    EXPECT_EQ(code, killed ? 128 + SIGKILL : 0) << game.Output(tag).out << game.Output(tag).err;
    return killed;
}

// What nginx has sent once its count stops changing (it logs a connection when it sees it
// closed, a killed one late).
std::uint64_t SettledServedBytes(const TestGame& game) {
    std::uint64_t served = game.ServedBytes();
    for (int still = 0; still < 3;) {
        std::this_thread::sleep_for(Ms(250));
        const std::uint64_t now = game.ServedBytes();
        still = now == served ? still + 1 : 0;
        served = now;
    }
    return served;
}

void FlipByte(const std::string& path, std::uint64_t at) {
    std::string bytes = ReadFile(path);
    ASSERT_LT(at, bytes.size());
    bytes[at] = static_cast<char>(bytes[at] ^ 0x5A);
    WriteFile(path, bytes);
}

TEST(RobustCrashSoakTest, DownloadsKilledAtRandomMomentsResumeWithCorrectFiles) {
    std::string why;
    if (!EngineCanDownload(why)) {
        GTEST_SKIP() << "downloads are impossible here: " << why;
    }
    constexpr std::uint64_t kPiece = 256 * kKiB;
    TestGame game({2048 * kKiB, 1536 * kKiB, 1024 * kKiB + 777, 1280 * kKiB}, "512k", kPiece);
    ASSERT_TRUE(game.Started());
    game.SetConnectionBudget(4);
    // How long a whole download and a check with one repair take here: the kill moments are
    // spread over them.
    const auto timed = [&game](const std::vector<std::string>& args) {
        const auto started = Clock::now();
        const CliResult r = game.Run(args);
        EXPECT_EQ(r.code, 0) << r.out << r.err;
        return std::chrono::duration_cast<Ms>(Clock::now() - started);
    };
    (void)timed(Download(game));
    FlipByte(game.Target(1), kPiece + 1000);
    const Ms verifySpan = timed({"verify"});
    fs::remove_all(game.DataDir());
    fs::remove_all(game.SaveDir());
    const Ms downloadSpan = timed(Download(game));

    std::mt19937 random(std::random_device{}());
    const auto within = [&](Ms span, double from, double to) {
        return Ms(static_cast<long>(static_cast<double>(span.count()) *
                                    std::uniform_real_distribution<double>(from, to)(random)));
    };
    const int runs = SoakRuns();
    int correct = 0;
    int killedRuns = 0;
    std::uint64_t refetchedTotal = 0;
    std::uint64_t refetchedMost = 0;
    for (int run = 0; run < runs; ++run) {
        const int kind = run % 3;
        const std::vector<std::string> args =
            kind == 2 ? std::vector<std::string>{"verify"} : Download(game);
        const std::string tag = "soak" + std::to_string(run);
        std::uint64_t expected = 0;  // what the run has to fetch at least
        std::uint64_t before = 0;
        Ms delay{0};
        bool killed = false;
        // A run that ends before its kill moment is set up again and killed sooner.
        for (int attempt = 0; attempt < 4 && !killed; ++attempt) {
            fs::remove_all(game.DataDir());
            fs::remove_all(game.SaveDir());
            expected = game.TotalBytes();
            if (kind == 2) {
                // A finished download with one damaged cabinet: killed while it is checked
                // and repaired, then checked and repaired to the end.
                ASSERT_EQ(game.Run(Download(game)).code, 0);
                FlipByte(game.Target(1 + run % 4), kPiece + 1000);
                expected = kPiece;
            }
            before = SettledServedBytes(game);
            delay = kind == 0   ? within(downloadSpan, 0.05, 0.85)
                    : kind == 1 ? within(downloadSpan, 0.75, 1.0)
                                : within(verifySpan, 0.1, 0.9);
            delay =
                Ms(static_cast<long>(static_cast<double>(delay.count()) * std::pow(0.6, attempt)));
            killed = KillAfter(game, args, delay, tag);
        }
        EXPECT_TRUE(killed) << "run " << run << " always ended before its kill";
        killedRuns += killed ? 1 : 0;
        const std::string at = LastLine(game.Output(tag).out);
        const CliResult resumed = game.Run(args);
        const bool ok = resumed.code == 0 && game.MatchingFiles() == 5;
        EXPECT_TRUE(ok) << "run " << run << " killed after " << delay.count() << " ms at " << at
                        << "\n"
                        << resumed.out << resumed.err;
        correct += ok ? 1 : 0;
        const std::uint64_t fetched = SettledServedBytes(game) - before;
        const std::uint64_t again = fetched > expected ? fetched - expected : 0;
        refetchedTotal += again;
        refetchedMost = std::max(refetchedMost, again);
        std::printf("soak %d: %s killed after %lld ms at \"%s\"; fetched again %llu bytes\n", run,
                    args[0].c_str(), static_cast<long long>(delay.count()), at.c_str(),
                    static_cast<unsigned long long>(again));
    }
    std::printf(
        "crash soak: %d of %d runs killed, %d finished correct; %llu bytes fetched "
        "again in all, at most %llu in one (a piece is %llu)\n",
        killedRuns, runs, correct, static_cast<unsigned long long>(refetchedTotal),
        static_cast<unsigned long long>(refetchedMost), static_cast<unsigned long long>(kPiece));
    EXPECT_EQ(correct, runs);
}

}  // namespace
}  // namespace koruvan::test
