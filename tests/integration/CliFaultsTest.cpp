// koruvan-cli where things go wrong: a torrent whose pieces do not cut into whole blocks,
// a finished file changed afterwards, servers that refuse every file, and a mirror that
// serves wrong bytes for a file without a torrent.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "CliTestGame.h"
#include "ScriptedHttpServer.h"

namespace koruvan::test {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

std::vector<std::string> Download(const TestGame& game, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"download", "--save-dir", game.SaveDir(), "--no-p2p"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

#define REQUIRE_DOWNLOADS()                                           \
    do {                                                              \
        std::string why;                                              \
        if (!EngineCanDownload(why)) {                                \
            GTEST_SKIP() << "downloads are impossible here: " << why; \
        }                                                             \
    } while (false)

// 24 KiB pieces: the torrents cannot be scheduled, the files still come from the mirror.
TEST(CliFaultsTest, TorrentsWithPiecesOfUnusableLengthFallBackToTheWebSources) {
    REQUIRE_DOWNLOADS();
    TestGame game({2 * kMiB, kMiB + 777, kMiB, kMiB / 2}, "", 24576);
    ASSERT_TRUE(game.Started());
    const CliResult r = game.Run(Download(game), std::chrono::seconds(90));
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(game.MatchingFiles(), 5);
}

// One byte of a finished cabinet changed: status explains "not recorded", verify checks
// the digests and repairs the file, and the download is recorded as finished again.
TEST(CliFaultsTest, VerifyChecksAndRepairsFilesThatChangedAfterTheDownload) {
    REQUIRE_DOWNLOADS();
    TestGame game({2 * kMiB, 3 * kMiB, kMiB, kMiB});
    ASSERT_TRUE(game.Started());
    ASSERT_EQ(game.Run(Download(game)).code, 0);
    {
        std::fstream f(game.Target(2), std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(1234567);
        f.put('\x5A');
    }
    const CliResult status = game.Run({"status"});
    EXPECT_NE(status.out.find("complete (not recorded)"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("checks its MD5 and repairs it"), std::string::npos) << status.out;
    EXPECT_EQ(game.MatchingFiles(), 4);

    const CliResult verify = game.Run({"verify"});
    EXPECT_EQ(verify.code, 0) << verify.out << verify.err;
    EXPECT_EQ(game.MatchingFiles(), 5);
    const CliResult after = game.Run({"status"});
    EXPECT_EQ(after.out.find("not recorded"), std::string::npos) << after.out;
}

// Every file gone from the server: the reason is on the live line and once on standard
// error, and --give-up ends the command.
TEST(CliFaultsTest, RefusingServersAreNamedAndGiveUpEndsTheWait) {
    TestGame game({kMiB, kMiB, kMiB, kMiB});
    ASSERT_TRUE(game.Started());
    for (int i = 0; i < 5; ++i) {
        std::filesystem::remove(game.Path("www/vemo047/" + game.Name(i)));
    }
    const auto start = std::chrono::steady_clock::now();
    const CliResult r = game.Run(Download(game, {"--give-up", "4"}), std::chrono::seconds(60));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_LT(took, std::chrono::seconds(30));
    const std::string reason = "no data from any source: HTTP 404 from 127.0.0.1:";
    EXPECT_NE(r.out.find(reason), std::string::npos) << r.out;
    const std::size_t first = r.err.find(reason);
    EXPECT_NE(first, std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(reason, first + 1), std::string::npos) << "told once: " << r.err;
    EXPECT_NE(r.err.find("giving up"), std::string::npos) << r.err;
}

// No torrents, and file 3 from a mirror whose answers start with 100000 zero bytes (the
// first one only, or every one): the download checks the file's MD5 before it says it is
// complete, repairs it, and fails naming the file when repairing cannot help.
TEST(CliFaultsTest, FilesWithoutTorrentsMatchTheirMd5BeforeTheDownloadEnds) {
    REQUIRE_DOWNLOADS();
    struct Case {
        const char* mode;
        int code;
        int matching;
    };
    for (const Case& k : {Case{"corrupt-once:ranges", 0, 5}, Case{"corrupt", 1, 4}}) {
        TestGame game({2 * kMiB, 3 * kMiB, kMiB, kMiB});
        ASSERT_TRUE(game.Started());
        ScriptedServer mirror;
        ASSERT_TRUE(mirror.Start(game.Path("www"), k.mode));
        std::string plan = ReadFile(game.PlanFile());
        for (int i = 0; i < 5; ++i) {
            const std::string line = "\ntorrent = " + game.Name(i) + ".torrent";
            plan.erase(plan.find(line), line.size());
        }
        const std::string url = "url = " + game.Url(3);
        plan.replace(plan.find(url), url.size(), "url = " + mirror.Url("/vemo047/" + game.Name(3)));
        WriteFile(game.PlanFile(), plan);

        const CliResult r = game.Run(Download(game), std::chrono::seconds(120));
        EXPECT_EQ(r.code, k.code) << k.mode << r.out << r.err;
        EXPECT_EQ(game.MatchingFiles(), k.matching) << k.mode;
        if (k.code != 0) {
            EXPECT_NE(r.err.find(game.Name(3) + " does not match its MD5 digest"),
                      std::string::npos)
                << r.err;
            // Nothing vouches for the download: the next run does not call it finished.
            const CliResult status = game.Run({"status"});
            EXPECT_NE(status.out.find("state:         incomplete"), std::string::npos)
                << status.out;
        }
    }
}

}  // namespace
}  // namespace koruvan::test
