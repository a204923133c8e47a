// Usage statistics of koruvan-cli against a statistics receiver on 127.0.0.1: the events of
// a download arrive in batches, the user's opt-outs (`--no-telemetry` before or after the
// command, `[telemetry] enabled = 0`) send nothing, and a receiver that fails or hangs
// neither slows the download nor holds the exit up beyond the upload's time limit.
#include <gtest/gtest.h>

#include <chrono>

#include "CliTestGame.h"
#include "support/StatisticsReceiver.h"
#include "support/WaitFor.h"

namespace koruvan::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr const char* kBatchPath = "/launchersubmit/eventListSubmit";

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

// Every body the receiver got, decoded and joined.
std::string Received(const StatisticsReceiver& receiver) {
    std::string all;
    for (const auto& request : receiver.Requests()) {
        EXPECT_EQ(request.path, kBatchPath);
        std::string text = request.body.substr(request.body.rfind("data=", 0) == 0 ? 5 : 0);
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '%' && i + 2 < text.size()) {
                all += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                all += text[i] == '_' ? ' ' : text[i];
            }
        }
    }
    return all;
}

TEST(TelemetryCliTest, TheEventsOfADownloadReachTheStatisticsService) {
    REQUIRE_DOWNLOADS();
    StatisticsReceiver receiver;
    ASSERT_TRUE(receiver.Started());
    TestGame game({kMiB, kMiB, kMiB, kMiB});
    ASSERT_TRUE(game.Started());
    game.SetTelemetryUrls({receiver.Url(kBatchPath)});
    ExpectSuccess(game.Run(Download(game)));
    const std::string sent = Received(receiver);
    // Begun (with the processor, memory and video sections), each file complete, finished.
    EXPECT_NE(sent.find(R"({"code":"11010000","info":"{{\"CPU\":[)"), std::string::npos) << sent;
    EXPECT_NE(sent.find(R"(\"Filename\":\")" + game.Name(4) + "\\\""), std::string::npos);
    EXPECT_NE(sent.find(R"({"code":"11060000")"), std::string::npos);
    EXPECT_NE(sent.find(R"(\"GameID\":\"78\")"), std::string::npos);
}

TEST(TelemetryCliTest, OptedOutNothingIsSent) {
    REQUIRE_DOWNLOADS();
    StatisticsReceiver receiver;
    ASSERT_TRUE(receiver.Started());
    TestGame game({kMiB, kMiB, kMiB, kMiB});
    ASSERT_TRUE(game.Started());
    game.SetTelemetryUrls({receiver.Url(kBatchPath)});
    ExpectSuccess(game.Run(Download(game, {"--no-telemetry"})));  // after the command
    ExpectSuccess(game.Run({"--no-telemetry", "verify"}));        // before it
    game.SetPlanTelemetry(false);
    ExpectSuccess(game.Run({"verify"}));
    EXPECT_EQ(receiver.Count(), 0u);
    // The same command reports when nothing forbids it.
    game.SetPlanTelemetry(true);
    ExpectSuccess(game.Run({"verify"}));
    EXPECT_GE(receiver.Count(), 1u);
    EXPECT_NE(Received(receiver).find("11100004"), std::string::npos);
}

TEST(TelemetryCliTest, AFailingOrHangingServerCostsTheDownloadNothing) {
    REQUIRE_DOWNLOADS();
    StatisticsReceiver failing(StatisticsReceiver::Answer::ServerError);
    StatisticsReceiver hanging(StatisticsReceiver::Answer::Hang);
    ASSERT_TRUE(failing.Started() && hanging.Started());
    TestGame game({kMiB, kMiB, kMiB, kMiB});
    ASSERT_TRUE(game.Started());
    game.SetTelemetryUrls({failing.Url(kBatchPath), hanging.Url(kBatchPath)});

    const auto start = Clock::now();
    auto process = game.StartCli(Download(game), "hang");
    ASSERT_TRUE(process);
    // Each batch waits 6 s for the hanging server: had reporting waited for the upload, the
    // seven events of this download would take more than 40 s.
    ASSERT_TRUE(
        WaitFor([&] { return game.Output("hang").out.find("finished") != std::string::npos; },
                std::chrono::seconds(40)))
        << game.Output("hang").out;
    const auto finished = Clock::now();
    EXPECT_EQ(process->Wait(std::chrono::seconds(60)), 0) << game.Output("hang").err;
    // The exit waits for the last batch at most 6 s, then gives it up.
    EXPECT_LT(Clock::now() - finished, std::chrono::milliseconds(9500));
    EXPECT_LT(finished - start, std::chrono::seconds(40));
    EXPECT_EQ(game.MatchingFiles(), 5);
    EXPECT_GE(failing.Count(), 1u);
    EXPECT_GE(hanging.Count(), 1u);
}

}  // namespace
}  // namespace koruvan::test
