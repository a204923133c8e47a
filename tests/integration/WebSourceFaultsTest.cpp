// Web sources that break the rules, and the speed limit as a server measures it: a scripted
// server on loopback (fixtures/scripted_http.py) plays what nginx never does.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "ScriptedHttpServer.h"
#include "TorrentMaker.h"
#include "engine/core/EngineTestSupport.h"
#include "support/LocalServer.h"

namespace koruvan::engine {
namespace {

using namespace std::chrono_literals;
using test::MakeDescriptor;
using test::ScriptedServer;
using test::TaskProblem;

constexpr std::uint32_t kControllerFlags = kFlagRecorded | kFlagFullPath;

class WebSourceFaultsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(dir_.File("www"));
        std::filesystem::create_directories(dir_.File("save"));
        ASSERT_EQ(EngineStartup(dir_.Path().c_str()), 0);
    }
    void TearDown() override { EngineCleanup(); }

    static TaskProgress WaitForEnd(TaskHandle handle, std::chrono::seconds limit = 60s) {
        return test::WaitForTaskEnd(handle, limit);
    }

    test::TempDir dir_;
};

// Downloaded half from a server that honours ranges, then finished against one that answers
// every request with the whole file: the rest is read from its true offset in that stream.
TEST_F(WebSourceFaultsTest, AServerIgnoringRangesIsReadFromItsTrueOffsetAfterAResume) {
    const std::string content = test::RandomContent(6u << 20, 1);
    test::WriteFile(dir_.File("www/f.cab"), content);
    ScriptedServer good;
    ScriptedServer ignoring;
    ASSERT_TRUE(good.Start(dir_.File("www"), "ranges"));
    ASSERT_TRUE(ignoring.Start(dir_.File("www"), "ignore-range"));
    for (const bool withTorrent : {false, true}) {
        const std::string target = dir_.File(withTorrent ? "save/t/f.cab" : "save/f.cab");
        std::filesystem::create_directories(dir_.File("save/t"));
        const std::uint32_t flags = kControllerFlags | (withTorrent ? kFlagP2spTask : 0);
        const std::string key = withTorrent ? "file://" + dir_.File("f.torrent") : std::string();
        test::WriteFile(dir_.File("f.torrent"), test::MakeTorrent("f.cab", content, 1 << 20));
        auto first = MakeDescriptor(flags, target, target + ".kvinfo", good.Url("/f.cab"), key);
        ASSERT_EQ(RecoverAndContinueTask(first.get(), true, TaskStartOptions{content.size(), 2048}),
                  0);
        TaskProgress progress{};
        for (int i = 0; i < 1000 && progress.bytesDone < (2u << 20); ++i) {
            std::this_thread::sleep_for(10ms);
            ASSERT_EQ(QueryTask(first->handle, &progress), 0);
        }
        ASSERT_EQ(StopTask(first->handle, false), 0);
        ASSERT_EQ(QueryTask(first->handle, &progress), 0);
        ASSERT_GT(progress.bytesDone, 0u);
        ASSERT_LT(progress.bytesDone, content.size());

        auto again = MakeDescriptor(flags, target, target + ".kvinfo", ignoring.Url("/f.cab"), key);
        ASSERT_EQ(RecoverAndContinueTask(again.get(), true, TaskStartOptions{content.size(), 0}),
                  0);
        progress = WaitForEnd(again->handle);
        EXPECT_EQ(progress.stateCode, kStateComplete) << "torrent " << withTorrent;
        for (int i = 0; i < 200 && !std::filesystem::exists(target); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_TRUE(test::ReadFile(target) == content) << "torrent " << withTorrent;
    }
}

// A 206 for another range drops that source; a lying Content-Length is a failing source and
// never the file's size. The good mirror next to them fills the file, and the reason of the
// failure is there while nothing arrives.
TEST_F(WebSourceFaultsTest, WrongRangesAndLyingSizesLoseOnlyTheirSource) {
    const std::string content = test::RandomContent(3u << 20, 2);
    test::WriteFile(dir_.File("www/g.bin"), content);
    ScriptedServer good;
    ASSERT_TRUE(good.Start(dir_.File("www"), "ranges"));
    for (const std::string mode : {"wrong-range", "huge-length"}) {
        ScriptedServer bad;
        ASSERT_TRUE(bad.Start(dir_.File("www"), mode));
        const std::string target = dir_.File("save/g-" + mode + ".bin");

        // Alone, the bad source delivers nothing and says why.
        auto alone = MakeDescriptor(kControllerFlags, target, dir_.File(mode + "-a.kvinfo"),
                                    bad.Url("/g.bin"));
        ASSERT_EQ(CreateAndStartTask(alone.get(), TaskStartOptions{content.size(), 0}), 0);
        std::string problem;
        for (int i = 0; i < 500 && problem.empty(); ++i) {
            std::this_thread::sleep_for(10ms);
            problem = TaskProblem(alone->handle);
        }
        const std::string expected =
            mode == "wrong-range" ? "answered another byte range" : "bytes instead of 3145728";
        EXPECT_NE(problem.find(expected), std::string::npos) << mode << ": " << problem;
        TaskProgress progress{};
        ASSERT_EQ(QueryTask(alone->handle, &progress), 0);
        EXPECT_EQ(progress.totalSizeKiB, content.size() / 1024) << mode;
        EXPECT_EQ(progress.bytesDone, 0u) << mode;
        ASSERT_EQ(StopTask(alone->handle, false), 0);

        // Beside a good mirror the file completes and is right.
        auto both = MakeDescriptor(kControllerFlags, target + ".2", dir_.File(mode + "-b.kvinfo"),
                                   bad.Url("/g.bin") + "\n" + good.Url("/g.bin"));
        ASSERT_EQ(RecoverAndContinueTask(both.get(), true, TaskStartOptions{content.size(), 0}), 0);
        progress = WaitForEnd(both->handle);
        EXPECT_EQ(progress.stateCode, kStateComplete) << mode;
        for (int i = 0; i < 200 && !std::filesystem::exists(target + ".2"); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_TRUE(test::ReadFile(target + ".2") == content) << mode;
    }
}

// A CDN that answers its connections in turn with a trickle (which tells the file's size),
// a 200 that claims another size followed by zeros, and header lines without end. Alone
// until its third answer, then beside a good mirror: nothing the CDN lied with is kept, the
// file is right.
TEST_F(WebSourceFaultsTest, ACdnAnsweringInTurnWithLiesLeavesNoneOfThemInTheFile) {
    test::EngineTestClock clock(20.0);  // the trickle's read time-out comes in seconds
    // One piece, one range: every connection of the CDN is asked for the same bytes.
    const std::string content = test::RandomContent(200000, 9);
    test::WriteFile(dir_.File("www/c.bin"), content);
    ScriptedServer cdn;
    ScriptedServer good;
    ASSERT_TRUE(cdn.Start(dir_.File("www"), "trickle,huge-zeros,endless-headers"));
    ASSERT_TRUE(good.Start(dir_.File("www"), "ranges"));
    const std::string target = dir_.File("save/c.bin");
    auto alone = MakeDescriptor(kControllerFlags, target, dir_.File("c.kvinfo"), cdn.Url("/c.bin"));
    ASSERT_EQ(CreateAndStartTask(alone.get(), TaskStartOptions{content.size(), 0}), 0);
    std::string problem;
    for (int i = 0; i < 300 && problem.find("header longer") == std::string::npos; ++i) {
        std::this_thread::sleep_for(20ms);
        problem = TaskProblem(alone->handle);
    }
    ASSERT_NE(problem.find("header longer"), std::string::npos) << problem;
    ASSERT_EQ(StopTask(alone->handle, false), 0);

    auto both = MakeDescriptor(kControllerFlags, target, dir_.File("c.kvinfo"),
                               cdn.Url("/c.bin") + "\n" + good.Url("/c.bin"));
    ASSERT_EQ(RecoverAndContinueTask(both.get(), true, TaskStartOptions{content.size(), 0}), 0);
    const TaskProgress progress = test::WaitForTaskEnd(both->handle, 30s, target);
    EXPECT_EQ(progress.stateCode, kStateComplete);
    EXPECT_TRUE(test::ReadFile(target) == content);
}

// The server's own count of bytes sent (its send buffer kept small, so that sent is close to
// read) over every 10-second window: one task at 200 KiB/s, then five tasks sharing 500.
TEST_F(WebSourceFaultsTest, ASpeedLimitHoldsAsTheServerCountsIt) {
    const std::string content = test::RandomContent(12u << 20, 3);
    for (int i = 0; i < 5; ++i) {
        test::WriteFile(dir_.File("www/l" + std::to_string(i) + ".bin"), content);
    }
    for (const int tasks : {1, 5}) {
        const std::string log = dir_.File("sent-" + std::to_string(tasks) + ".log");
        ScriptedServer server;
        ASSERT_TRUE(server.Start(dir_.File("www"), "ranges", log, 16384));
        const std::int64_t totalKiB = tasks == 1 ? 200 : 500;
        std::vector<std::unique_ptr<test::Descriptor>> descriptors;
        for (int i = 0; i < tasks; ++i) {
            const std::string name = "l" + std::to_string(i) + ".bin";
            descriptors.push_back(MakeDescriptor(
                kControllerFlags, dir_.File("save/" + std::to_string(tasks) + name),
                dir_.File(std::to_string(tasks) + name + ".kvinfo"), server.Url("/" + name)));
            const auto share = static_cast<std::int32_t>(totalKiB / tasks);
            ASSERT_EQ(CreateAndStartTask(descriptors.back().get(),
                                         TaskStartOptions{content.size(), share}),
                      0);
        }
        std::this_thread::sleep_for(16s);
        for (const auto& d : descriptors) {
            ASSERT_EQ(StopTask(d->handle, false), 0);
        }
        // "<seconds> <bytes>" samples, ten a second from the first byte on.
        std::vector<std::pair<double, double>> samples{{0.0, 0.0}};
        std::ifstream in(log);
        double t = 0;
        double sent = 0;
        while (in >> t >> sent) {
            samples.emplace_back(t, sent);
        }
        ASSERT_GT(samples.size(), 100u);
        const double limit = static_cast<double>(totalKiB) * 1024;
        const auto sentBy = [&](double when) {
            double value = 0;
            for (const auto& [at, bytes] : samples) {
                if (at <= when) {
                    value = bytes;
                }
            }
            return value;
        };
        const double first = samples[1].first;
        for (double from = first; from + 10 <= first + 15; from += 1) {
            const double window = sentBy(from + 10) - sentBy(from);
            // The first window also holds the response headers and the socket buffers.
            EXPECT_LE(window, limit * 10 * 1.05 + 300 * 1024) << tasks << " tasks from " << from;
            EXPECT_GE(window, limit * 10 * 0.85) << tasks << " tasks from " << from;
        }
    }
}

// The peak resident size of this process so far (VmHWM, KiB).
std::int64_t PeakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stoll(line.substr(6));
        }
    }
    return -1;
}

// Each hostile server beside a good mirror: the hostile one loses only itself, the file
// completes with the right content, and nothing the hostile one sends makes memory grow.
TEST_F(WebSourceFaultsTest, HostileServersLoseOnlyThemselves) {
    // The trickling source keeps its last block until the read time-out: engine time runs
    // fast so that the time-out comes in well under a second.
    test::EngineTestClock clock(20.0);
    const std::string content = test::RandomContent(3u << 20, 6);
    test::WriteFile(dir_.File("www/h.bin"), content);
    ScriptedServer good;
    ASSERT_TRUE(good.Start(dir_.File("www"), "ranges"));
    const std::int64_t peakBefore = PeakResidentKiB();
    ASSERT_GT(peakBefore, 0);
    for (const std::string mode : {"trickle", "endless-headers", "short-length", "long-length",
                                   "reset", "redirect-loop", "flood"}) {
        ScriptedServer bad;
        ASSERT_TRUE(bad.Start(dir_.File("www"), mode));
        const std::string target = dir_.File("save/h-" + mode + ".bin");
        // The hostile source first, so that it is asked before the good one.
        auto d = MakeDescriptor(kControllerFlags, target, dir_.File(mode + ".kvinfo"),
                                bad.Url("/h.bin") + "\n" + good.Url("/h.bin"));
        ASSERT_EQ(RecoverAndContinueTask(d.get(), true, TaskStartOptions{content.size(), 0}), 0);
        const TaskProgress progress = test::WaitForTaskEnd(d->handle, 30s, target);
        EXPECT_EQ(progress.stateCode, kStateComplete) << mode;
        EXPECT_TRUE(test::ReadFile(target) == content) << mode;
        ASSERT_EQ(StopTask(d->handle, false), 0);
    }
    // Generous: the downloads' own buffers, never the hostile streams (gigabytes of headers
    // and zeros would be sent in the time given). Under the address checker freed memory is
    // held back in its quarantine (256 MiB by default) before it is reused.
#if defined(__SANITIZE_ADDRESS__)
    constexpr std::int64_t kQuarantineKiB = 256 * 1024;
#else
    constexpr std::int64_t kQuarantineKiB = 0;
#endif
    EXPECT_LT(PeakResidentKiB() - peakBefore, 64 * 1024 + kQuarantineKiB);
}

// Links planted in the save folder under the names a download writes (its working name and
// its final name, which an existing file would be continued under): nothing is ever written
// through them; the task stops with a write failure instead.
TEST_F(WebSourceFaultsTest, LinksInTheSaveFolderNeverCarryWritesOutside) {
    const std::string content = test::RandomContent(1u << 20, 7);
    test::WriteFile(dir_.File("www/s.bin"), content);
    ScriptedServer server;
    ASSERT_TRUE(server.Start(dir_.File("www"), "ranges"));
    const std::string outside = dir_.File("outside.bin");
    for (const std::string planted : {".kvtmp", ""}) {
        test::WriteFile(outside, "keep");
        const std::string target = dir_.File("save/s" + planted + "-case.bin");
        std::filesystem::create_symlink(outside, target + planted);
        auto d = MakeDescriptor(kControllerFlags, target, dir_.File("s" + planted + ".kvinfo"),
                                server.Url("/s.bin"));
        ASSERT_EQ(RecoverAndContinueTask(d.get(), true, TaskStartOptions{content.size(), 0}), 0);
        const TaskProgress progress = test::WaitForTaskEnd(d->handle, 20s);
        EXPECT_EQ(progress.stateCode, kStateWriteFailed) << "link at " << planted;
        ASSERT_EQ(StopTask(d->handle, false), 0);
        EXPECT_TRUE(std::filesystem::is_symlink(target + planted));
        EXPECT_TRUE(test::ReadFile(outside) == "keep") << "link at " << planted;
    }

    // A folder of a multi-file metainfo ("pack/sub/x.bin") planted as a link to a folder
    // outside: neither the file nor the metainfo's empty folder entry is made through it.
    // Each case is a task of its own (sources and info hash differ).
    const std::string packed = test::RandomContent(1u << 20, 8);
    const std::string outsideFolder = dir_.File("outside");
    std::filesystem::create_directories(outsideFolder);
    const std::string cases[] = {"pack", "pack/sub"};
    for (int k = 0; k < 2; ++k) {
        const std::string& planted = cases[k];
        const std::string source = "/pack" + std::to_string(k);
        test::WriteFile(dir_.File("www" + source + ".bin"), packed);
        test::WriteFile(
            dir_.File("www" + source + ".torrent"),
            test::MakeTorrent("pack", packed, (1 << 18) >> k, "",
                              {{{"sub", "x.bin"}, packed.size()}, {{"sub", "e", ""}, 0}}));
        std::filesystem::remove_all(dir_.File("save/pack"));  // a link: only the link goes
        if (planted != "pack") {
            std::filesystem::create_directories(dir_.File("save/pack"));
        }
        std::filesystem::create_symlink(outsideFolder, dir_.File("save/" + planted));
        auto d =
            MakeDescriptor(kControllerFlags | kFlagBtTask, dir_.File("save" + source),
                           dir_.File(source.substr(1) + ".kvinfo"),
                           server.Url(source + ".torrent") + "\n" + server.Url(source + ".bin"));
        ASSERT_EQ(CreateAndStartTask(d.get()), 0);
        const TaskProgress progress = test::WaitForTaskEnd(d->handle, 20s);
        EXPECT_EQ(progress.stateCode, kStateWriteFailed) << "link at " << planted;
        ASSERT_EQ(StopTask(d->handle, false), 0);
        EXPECT_TRUE(std::filesystem::is_symlink(dir_.File("save/" + planted)));
        EXPECT_TRUE(std::filesystem::is_empty(outsideFolder)) << "link at " << planted;
    }
}

// A finished file that cannot take its final name is not reported as finished: the state
// file stays, the write failure is published, and the rename is tried again until it works.
TEST_F(WebSourceFaultsTest, AFailedFinalRenameIsAWriteFailureAndIsRetried) {
    const std::string content = test::RandomContent(1u << 20, 4);
    test::WriteFile(dir_.File("www/r.bin"), content);
    ScriptedServer server;
    ASSERT_TRUE(server.Start(dir_.File("www"), "ranges"));
    const std::string target = dir_.File("save/r.bin");
    // A non-empty folder of the final name: no file can be renamed onto it.
    std::filesystem::create_directories(target + "/blocker");
    auto d = MakeDescriptor(kControllerFlags, target, dir_.File("r.kvinfo"), server.Url("/r.bin"));
    ASSERT_EQ(CreateAndStartTask(d.get(), TaskStartOptions{content.size(), 0}), 0);
    TaskProgress progress{};
    for (int i = 0; i < 1000 && progress.stateCode != kStateWriteFailed; ++i) {
        std::this_thread::sleep_for(10ms);
        ASSERT_EQ(QueryTask(d->handle, &progress), 0);
    }
    EXPECT_EQ(progress.stateCode, kStateWriteFailed);
    std::int32_t done = 1;
    ASSERT_EQ(IsTaskComplete(d->handle, &done), 0);
    EXPECT_EQ(done, 0);
    EXPECT_TRUE(test::ReadFile(target + ".kvtmp") == content);
    EXPECT_TRUE(std::filesystem::exists(dir_.File("r.kvinfo")));  // the state is kept

    std::filesystem::remove_all(target);
    for (int i = 0; i < 500 && done == 0; ++i) {
        std::this_thread::sleep_for(10ms);
        ASSERT_EQ(IsTaskComplete(d->handle, &done), 0);
    }
    EXPECT_EQ(done, 1);
    for (int i = 0; i < 300 && std::filesystem::exists(dir_.File("r.kvinfo")); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(test::ReadFile(target) == content);
}

// A task keyed by its metainfo's URL ("BT Task") fetches the document from that source into
// memory, lays the file out from it and downloads the content from the other source; a
// source whose "document" never ends is cut off at the cap.
TEST_F(WebSourceFaultsTest, ATaskTakesItsMetainfoFromItsFirstSource) {
    const std::string content = test::RandomContent(3u << 20, 5);
    test::WriteFile(dir_.File("www/m.cab"), content);
    test::WriteFile(dir_.File("www/m.torrent"), test::MakeTorrent("m.cab", content, 1 << 20));
    ScriptedServer server;
    ASSERT_TRUE(server.Start(dir_.File("www"), "ranges"));
    const std::string target = dir_.File("save/m.cab");
    auto d = MakeDescriptor(kControllerFlags | kFlagBtTask, target, dir_.File("m.kvinfo"),
                            server.Url("/m.torrent") + "\n" + server.Url("/m.cab"));
    ASSERT_EQ(CreateAndStartTask(d.get()), 0);
    const TaskProgress progress = WaitForEnd(d->handle);
    EXPECT_EQ(progress.stateCode, kStateComplete);
    EXPECT_EQ(progress.totalSizeKiB, content.size() / 1024);
    for (int i = 0; i < 200 && !std::filesystem::exists(target); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(test::ReadFile(target) == content);

    // 20 MiB of "metainfo": more than any torrent; the source is dropped, nothing grows.
    test::WriteFile(dir_.File("www/huge.torrent"), std::string(20u << 20, 'd'));
    auto huge = MakeDescriptor(kControllerFlags | kFlagBtTask, dir_.File("save/h.cab"),
                               dir_.File("h.kvinfo"), server.Url("/huge.torrent"));
    ASSERT_EQ(CreateAndStartTask(huge.get()), 0);
    std::string problem;
    for (int i = 0; i < 1000 && problem.empty(); ++i) {
        std::this_thread::sleep_for(10ms);
        problem = TaskProblem(huge->handle);
    }
    EXPECT_NE(problem.find("larger than 16777216 bytes"), std::string::npos) << problem;
}

}  // namespace
}  // namespace koruvan::engine
