// One koruvan-cli seeds the finished game, another downloads it from that seed alone: on
// loopback (127.0.0.3 and 127.0.0.4), found through opentracker, every web source refusing
// connections (their work ranges are laid out all the same), the disguise off on both. Two
// large cabinets (64 MiB each by default; the slow run takes 512 MiB,
// KORUVAN_SEED_CABINET_MIB) and three small files; once straight through, once with the
// seed stopped and started again mid-download. The download must finish with the seed's
// bytes, the tail at the pace of the start, and the seed may not send the game twice.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>

#include "integration/CliTestGame.h"
#include "integration/swarm/SwarmPeers.h"
#include "support/OpentrackerServer.h"

namespace koruvan::test {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

std::uint64_t CabinetBytes() {
    const char* mib = std::getenv("KORUVAN_SEED_CABINET_MIB");
    return (mib != nullptr && std::atoi(mib) > 0 ? static_cast<std::uint64_t>(std::atoi(mib))
                                                 : 64) *
           kMiB;
}

// The plan's file URLs point at a port where nothing listens: every web source refuses.
std::string RefuseWebSources(const std::string& planFile) {
    static const std::regex url("(\nurl = http://127\\.0\\.0\\.1:)[0-9]+/");
    WriteFile(planFile, std::regex_replace(ReadFile(planFile), url, "$011/"));
    return planFile;
}

// The last percentage on the download's live lines.
double LastPercent(const std::string& lines) {
    static const std::regex percent("([0-9.]+)%");
    double value = 0;
    for (auto it = std::sregex_iterator(lines.begin(), lines.end(), percent);
         it != std::sregex_iterator(); ++it) {
        value = std::stod((*it)[1]);
    }
    return value;
}

// The longest stretch of the download's live lines (one a second) whose byte count did not
// move.
int LongestStall(const std::string& lines) {
    static const std::regex line("downloading +[0-9.]+% +([0-9.]+ [KMG]?B)/");
    int longest = 0;
    int run = 0;
    std::string last;
    for (auto it = std::sregex_iterator(lines.begin(), lines.end(), line);
         it != std::sregex_iterator(); ++it) {
        run = (*it)[1] == last ? run + 1 : 0;
        last = (*it)[1];
        longest = std::max(longest, run);
    }
    return longest;
}

std::string P2p(const std::string& address) {
    return "upnp = 0\nlan_discovery = 0\ndisguise = 0\nbind_address = " + address +
           "\nlisten_port = " + std::to_string(FreeTcpPort()) + "\n";
}

class EngineSeedLeech : public ::testing::TestWithParam<bool> {};

TEST_P(EngineSeedLeech, TheDownloadEndsAtThePaceOfItsStart) {
    std::string why;
    if (!EngineCanDownload(why)) {
        GTEST_SKIP() << why;
    }
    const std::uint64_t cabinet = CabinetBytes();
    TestGame game({cabinet, cabinet, kMiB, kMiB});
    ASSERT_TRUE(game.Started());
    game.SetListP2p(true);
    TempDir dir;
    std::vector<std::string> hashes;
    for (int i = 0; i < 5; ++i) {
        hashes.push_back(game.InfoHashHex(i));
    }
    OpentrackerServer tracker(dir.File("tracker"), hashes);
    std::filesystem::create_directories(dir.File("tracker"));
    ASSERT_TRUE(tracker.Start());
    game.UseTrackers({tracker.Url("http")});
    game.PretendFinished();

    const CliRun seeder{PlanVariant(game, "seeder.ini", P2p("127.0.0.3")), game.DataDir(),
                        dir.File("run-seed"), ""};
    auto seeding = StartCli(seeder, {"seed", "--for", "900"}, "seed");
    ASSERT_TRUE(seeding);
    ASSERT_TRUE(WaitForSeeds("127.0.0.1", tracker.Port(), hashes)) << CliOutput(seeder, "seed").err;
    const CliRun leecher{RefuseWebSources(PlanVariant(game, "leecher.ini", P2p("127.0.0.4"))),
                         dir.File("data"), dir.File("run"), ""};
    const auto start = std::chrono::steady_clock::now();
    const auto cli = StartCli(leecher, {"download", "--save-dir", dir.File("save")}, "download");
    ASSERT_TRUE(cli);
    // At loopback rates the whole game takes seconds; a tail that crawls takes many minutes.
    const auto limit = std::chrono::seconds(60 + 2 * static_cast<int>(2 * cabinet / kMiB) / 10);
    if (GetParam()) {
        // The seed goes away a third of the way through (its connections and the leecher's
        // requests with them) and comes back on the same address and port.
        const auto third = std::chrono::steady_clock::now() + limit;
        while (LastPercent(CliOutput(leecher, "download").out) < 33 && cli->Running() &&
               std::chrono::steady_clock::now() < third) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        seeding->Signal(SIGINT);
        ASSERT_EQ(seeding->Wait(std::chrono::seconds(30), true), 0);
        seeding = StartCli(seeder, {"seed", "--for", "900"}, "seed");
        ASSERT_TRUE(seeding);
    }
    const int code = cli->Wait(limit, true);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string seedLines = CliOutput(seeder, "seed").out;
    const std::string tail = seedLines.substr(seedLines.size() > 600 ? seedLines.size() - 600 : 0);
    const std::string lines = CliOutput(leecher, "download").out;
    ASSERT_EQ(code, 0) << "after " << seconds << " s:\n"
                       << CliOutput(leecher, "download").err << "\nseeder: " << tail;
    // A seed that is there keeps the download moving: no long pauses near the end.
    EXPECT_LE(LongestStall(lines), 15) << lines;
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(ReadFile(dir.File("save/" + game.Name(i))) == ReadFile(game.Target(i)))
            << game.Name(i);
    }
    // Blocks sent twice are the seed's waste: a few in flight when the leecher finished a
    // piece elsewhere, not a second copy of the game.
    const double total = static_cast<double>(game.TotalBytes());
    if (!GetParam()) {
        EXPECT_LT(SeedSentBytes(seedLines), total * 1.05) << tail;
    }
    RecordProperty("seconds", std::to_string(seconds));
    RecordProperty("MBPerSecond", std::to_string(total / 1e6 / seconds));
}

INSTANTIATE_TEST_SUITE_P(Seed, EngineSeedLeech, ::testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "RestartedMidway" : "Throughout");
});

}  // namespace
}  // namespace koruvan::test
