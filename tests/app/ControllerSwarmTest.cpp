// The controller's BitTorrent side over a scripted engine: the plan's [p2p] settings reach
// the P2P service before any task exists, the bytes by source are kept in the task file
// across runs, and a finished download is seeded from the files whose records hold.
#include <gtest/gtest.h>

#include <filesystem>

#include "ControllerFakes.h"
#include "app/CompletionRecord.h"
#include "app/TaskFileStatus.h"
#include "platform/IniFile.h"

namespace koruvan::app {
namespace {

using test::ControllerHarness;
using S = ControllerState;

TEST(ControllerP2pSettingsTest, PlanSettingsReachTheEngineBeforeAnyTask) {
    struct Case {
        const char* name;
        P2pSettings p2p;
        std::int32_t filterResult;
        std::vector<std::string> calls;
        int flag;
        int port;
        const char* notice;  // a notice that must be shown, or null for none
    };
    P2pSettings loopback;
    loopback.bindAddress = "127.0.0.2";
    loopback.lanDiscovery = false;
    loopback.disguise = false;
    loopback.listenPort = 46881;
    loopback.ipFilterPath = "/plans/blocklist.txt";
    P2pSettings badFilter;
    badFilter.ipFilterPath = "/plans/gone.txt";
    const Case cases[] = {
        {"product defaults", P2pSettings{}, 0, {"bind ", "lan 1"}, 1, 0, nullptr},
        {"loopback test plan",
         loopback,
         2,
         {"bind 127.0.0.2", "lan 0", "filter /plans/blocklist.txt"},
         0,
         46881,
         nullptr},
        {"unreadable filter",
         badFilter,
         -1,
         {"bind ", "lan 1", "filter /plans/gone.txt"},
         1,
         0,
         "IP过滤文件无法读取：/plans/gone.txt"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        DownloadPlan plan = test::TestPlan();
        plan.p2p = k.p2p;
        ControllerHarness h(plan);
        h.engine.filterResult = k.filterResult;
        DownloadController& c = h.Start();
        EXPECT_EQ(h.engine.p2pCalls, k.calls);
        EXPECT_EQ(h.engine.btPeerFlag.load(), k.flag);
        EXPECT_EQ(h.engine.listenPort.load(), k.port);
        EXPECT_EQ(h.front.CountNotice(k.notice != nullptr ? k.notice : "IP过滤"),
                  k.notice != nullptr ? 1 : 0);
        h.engine.btPeerFlag = 7;
        c.PrimaryAction();  // a new download sets the flag again, from the plan
        EXPECT_EQ(h.engine.btPeerFlag.load(), k.flag);
        EXPECT_EQ(h.engine.TaskCount(), 5u);
    }
}

TEST(ControllerP2pSettingsTest, PortMappingChoiceWinsOverThePlanDefault) {
    ControllerHarness h;
    h.env.startUpnp = [] { return 41234; };
    (void)h.Start();
    EXPECT_EQ(h.engine.listenPort.load(), 41234);
}

TEST(ControllerSourceBytesTest, KeptPerFileAcrossRunsAndShownByStatus) {
    ControllerHarness h;
    DownloadController& c = h.Downloading();
    const auto counts = [&h](int i, std::uint64_t web, std::uint64_t peers) {
        h.engine.With(h.Name(i), [&](auto& t) {
            t.progress.httpBytes = web;
            t.progress.peerBytes = peers;
        });
    };
    counts(0, 1000, 0);
    counts(1, 300, 700);
    (void)c.SourceBytesOfRun();
    c.Tick();
    c.PrimaryAction();  // pause: the counts are written with the download time
    ASSERT_EQ(c.State(), S::Pause);
    PersistedTask task = ReadPersistedTask(h.plan, h.dir.File("data"));
    ASSERT_TRUE(task.files[0].sourceBytes && task.files[1].sourceBytes);
    EXPECT_EQ(*task.files[0].sourceBytes, (SourceBytes{1000, 0}));
    EXPECT_EQ(*task.files[1].sourceBytes, (SourceBytes{300, 700}));
    EXPECT_FALSE(task.files[2].sourceBytes);  // nothing arrived: nothing recorded

    // The next run resumes: file 1 starts again from zero and gets only peer bytes; file 0
    // gets nothing and keeps the figures of the run that fetched it.
    h.controller->OnExit();
    for (int i = 0; i < kFileCount; ++i) {
        test::WriteFile(h.Target(i) + ".kvtmp", "partial");
    }
    DownloadController& again = h.Start(false);
    ASSERT_EQ(again.State(), S::Reload);  // the tasks continue from their resume files
    counts(1, 0, 500);
    again.Tick();
    again.OnExit();  // the end of a run writes them too
    task = ReadPersistedTask(h.plan, h.dir.File("data"));
    EXPECT_EQ(*task.files[0].sourceBytes, (SourceBytes{1000, 0}));
    EXPECT_EQ(*task.files[1].sourceBytes, (SourceBytes{0, 500}));
}

// A finished download on disk, recorded by the run that fetched it; every file but the
// last has a torrent.
struct SeedHarness : ControllerHarness {
    SeedHarness() : ControllerHarness(PlanWithTorrents()) {}
    static DownloadPlan PlanWithTorrents() {
        DownloadPlan plan = test::TestPlan(16);
        for (int i = 0; i + 1 < kFileCount; ++i) {
            plan.files[static_cast<std::size_t>(i)].torrent = "d4:infod6:lengthi16eee";
        }
        return plan;
    }
    void FinishedOnDisk() {
        std::filesystem::create_directories(std::filesystem::path(TaskIni()).parent_path());
        platform::IniFile ini(TaskIni());
        ASSERT_TRUE(ini.WriteString("KoruvanTask", "KoruvanTaskHash", plan.files[0].md5));
        ASSERT_TRUE(ini.WriteString("KoruvanTask", "KoruvanTaskCreateTime", "2026-12-01 12:00:00"));
        ASSERT_TRUE(ini.WriteString("KoruvanTask", "KoruvanTaskSavePath", SaveFolder()));
        ASSERT_TRUE(ini.WriteString("KoruvanTask", "KoruvanTaskIsComplete", "COMPLETE"));
        for (int i = 0; i < kFileCount; ++i) {
            test::WriteFile(Target(i), std::string(16, 'a'));
            ASSERT_EQ(WriteCompletionRecord(TaskIni(), i, Target(i)), 0);
        }
    }
};

TEST(ControllerSeedTest, FinishedFilesWithTorrentsAreServedAsTrustedTasks) {
    SeedHarness h;
    h.FinishedOnDisk();
    DownloadController& c = h.Start(false);
    ASSERT_EQ(c.State(), S::Finished);
    EXPECT_EQ(h.engine.TaskCount(), 0u);  // a restart alone seeds nothing
    EXPECT_EQ(c.StartSeeding(64), 4);
    ASSERT_EQ(h.engine.TaskCount(), 4u);
    for (int i = 0; i + 1 < kFileCount; ++i) {
        const auto t = h.engine.Copy(h.Name(i));
        EXPECT_EQ(t.target, h.Target(i));
        EXPECT_TRUE(t.recovered);
        EXPECT_EQ(t.flags, kP2spFileTaskFlags | engine::kFlagTrustExisting);
        EXPECT_EQ(t.uploadLimit, 64);
    }
    EXPECT_EQ(h.engine.ForFile(h.Name(4)), nullptr);  // no torrent: nothing to serve
    h.engine.With(h.Name(0), [](auto& t) { t.swarm = SwarmFigures{2, 5000, 70000, 41000}; });
    h.engine.With(h.Name(2), [](auto& t) { t.swarm = SwarmFigures{1, 1000, 30000, 41000}; });
    const SwarmReport swarm = c.Swarm();
    EXPECT_EQ(swarm.tasks, 4);
    EXPECT_EQ(swarm.peers, 3);
    EXPECT_EQ(swarm.uploadRate, 6000u);
    EXPECT_EQ(swarm.uploadedBytes, 100000u);
    EXPECT_EQ(swarm.listenPort, 41000);
    EXPECT_EQ(c.StartSeeding(0), 4);  // already served: no second task
    EXPECT_EQ(h.engine.TaskCount(), 4u);
    EXPECT_EQ(h.engine.Copy(h.Name(1)).uploadLimit, 0);
    EXPECT_EQ(c.State(), S::Finished);
}

TEST(ControllerSeedTest, OnlyAFinishedDownloadIsSeeded) {
    SeedHarness h;
    DownloadController& c = h.Downloading();
    EXPECT_EQ(c.StartSeeding(0), 0);
    EXPECT_EQ(h.engine.TaskCount(), 5u);  // the download's own tasks, nothing added
}

TEST(ControllerSeedTest, TheDownloadsOwnTasksKeepSeedingOnceFinished) {
    SeedHarness h;
    DownloadController& c = h.Downloading();
    h.CompleteAll(c);  // the file without a torrent passes its MD5 check first
    ASSERT_EQ(c.State(), S::Finished);
    EXPECT_TRUE(h.engine.stopCalls.empty());  // finishing stops no task: they serve peers
    EXPECT_EQ(c.StartSeeding(0), 4);          // the file without a torrent has nobody to serve
    EXPECT_EQ(h.engine.TaskCount(), 5u);
}

TEST(ControllerSourceBytesTest, ParsesOnlyTwoUnsignedNumbers) {
    EXPECT_EQ(ParseSourceBytes("12,34"), (SourceBytes{12, 34}));
    EXPECT_EQ(ParseSourceBytes("0,18446744073709551615"), (SourceBytes{0, UINT64_MAX}));
    for (const char* bad :
         {"", ",", "1", "1,", ",2", "-1,2", "1,2,3", "1 ,2", "x,2", "18446744073709551616,0"}) {
        EXPECT_FALSE(ParseSourceBytes(bad)) << bad;
    }
}

}  // namespace
}  // namespace koruvan::app
