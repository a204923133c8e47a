// The controller's state table over a scripted engine: Start with and without space, the
// transitions Reconcile, SpeedText and Tick make, pause and resume, the disk watch, the
// split of limits and connection budgets, the smoothed speed, the reactions to the tasks'
// state codes, and what entering `finished` does.
#include <gtest/gtest.h>

#include "ControllerFakes.h"
#include "platform/IniFile.h"

namespace koruvan::app {
namespace {

using test::ControllerHarness;
using S = ControllerState;

constexpr std::uint64_t kMiB = 1024 * 1024;

std::string TaskKey(const ControllerHarness& h, const std::string& key,
                    const std::string& section = "KoruvanTask") {
    return platform::IniFile(h.TaskIni()).GetString(section, key, "<none>");
}

TEST(ControllerStartTest, StartWithTooLittleSpaceIsRefusedUntilABiggerVolumeIsChosen) {
    ControllerHarness h;
    DownloadController& c = h.Start();
    EXPECT_EQ(h.initResult, 0);
    EXPECT_FALSE(std::filesystem::exists(h.TaskIni()));  // nothing written before Start
    h.engine.freeBytes = 5 * 10 * kMiB + 100 * kMiB - 1;
    c.PrimaryAction();
    EXPECT_EQ(c.State(), S::Ready);
    EXPECT_TRUE(c.DiskShort());
    EXPECT_EQ(h.front.CountNotice("当前磁盘空间不足，请选择其他位置存放"), 1);
    EXPECT_EQ(h.engine.TaskCount(), 0u);
    EXPECT_EQ(h.events.Count("11010000"), 0);
    // The first change log after start is suppressed in (ready, diskShort).
    EXPECT_EQ(c.Reconcile(), S::Ready);
    EXPECT_FALSE(h.log.Has("Koruvan Utility: 下载状态改变为ready"));

    h.engine.freeBytes = 5 * 10 * kMiB + 100 * kMiB;
    c.PrimaryAction();
    EXPECT_EQ(c.State(), S::Preparing);
    EXPECT_EQ(h.engine.TaskCount(), 5u);
}

// Start stays disabled while diskShort is set; choosing a larger volume must clear it even
// where no disk watch runs.
TEST(ControllerStartTest, ChoosingALargerFolderClearsTheShortage) {
    ControllerHarness h;
    h.volume = VolumeMode{true, false};
    DownloadController& c = h.Start();
    h.engine.freeBytes = 10 * kMiB;
    c.PrimaryAction();
    ASSERT_TRUE(c.DiskShort());
    c.SetSaveFolder(h.dir.File("still-small"));
    EXPECT_TRUE(c.DiskShort());
    h.engine.freeBytes = 5 * 10 * kMiB + 100 * kMiB;
    c.SetSaveFolder(h.dir.File("large"));
    EXPECT_FALSE(c.DiskShort());
    EXPECT_EQ(c.State(), S::Ready);
    c.PrimaryAction();
    EXPECT_EQ(c.State(), S::Preparing);
}

TEST(ControllerStartTest, StartCreatesTheFiveTasksAndRecordsTheTask) {
    ControllerHarness h;
    DownloadController& c = h.Start();
    c.PrimaryAction();
    EXPECT_EQ(c.State(), S::Preparing);
    ASSERT_EQ(h.engine.TaskCount(), 5u);
    for (int i = 0; i < kFileCount; ++i) {
        const auto t = h.engine.Copy(h.Name(i));
        EXPECT_EQ(t.target, h.Target(i));
        EXPECT_EQ(t.flags, kFileTaskFlags);  // no torrent in this plan
        EXPECT_FALSE(t.recovered);
        EXPECT_EQ(t.speedLimit, 0);  // unlimited: no cap at all, whatever the task count
        EXPECT_EQ(TaskKey(h, "KoruvanHttpTaskUrl" + std::to_string(i)), h.plan.files[i].url);
        EXPECT_EQ(TaskKey(h, "KoruvanHttpTaskFile" + std::to_string(i)), h.Name(i));
    }
    const DetailedEvent begun = h.events.Last("11010000");
    EXPECT_EQ(begun.flags, 7);
    EXPECT_EQ(begun.errorMessage, "");
    EXPECT_EQ(TaskKey(h, "KoruvanTaskSavePath"), h.SaveFolder());
    EXPECT_EQ(TaskKey(h, "KoruvanTaskHash"), h.plan.files[0].md5);
    EXPECT_EQ(TaskKey(h, "KoruvanTaskEntrence"), "setup.exe");
    EXPECT_EQ(TaskKey(h, "KoruvanTaskFloder"), "vemo221047");
    EXPECT_EQ(TaskKey(h, "KoruvanTaskCreateTimeStamp"), "1000");
    EXPECT_EQ(h.engine.btPeerFlag.load(), 1);
    EXPECT_TRUE(h.log.Has("文件系统支持稀疏文件"));
    c.Reconcile();
    EXPECT_TRUE(h.log.Has("Koruvan Utility: 下载状态改变为preparing"));
}

TEST(ControllerStartTest, EngineThatCannotStartLeavesStartAvailable) {
    ControllerHarness h;
    DownloadController& c = h.Start();
    h.engine.startupResult = -102;
    c.PrimaryAction();
    EXPECT_EQ(c.State(), S::Ready);
    ASSERT_EQ(h.front.modals.size(), 1u);
    EXPECT_EQ(h.front.modals[0].first, "下载启动失败请重试");
    EXPECT_EQ(h.events.Last("11400101").errorMessage, "Begin Download Task 环境初始化失败");
    EXPECT_TRUE(h.log.Has("Begin Download Task] [环境初始化失败"));
    h.engine.startupResult = 0;
    c.PrimaryAction();
    EXPECT_EQ(c.State(), S::Preparing);
}

TEST(ControllerStateTest, PreparingTurnsIntoReloadOnceProgressShows) {
    ControllerHarness h;
    DownloadController& c = h.Start();
    c.PrimaryAction();
    EXPECT_EQ(c.Reconcile(), S::Preparing);
    h.engine.SetProgress(h.Name(3), 1, 0);
    EXPECT_EQ(c.Reconcile(), S::Reload);
    EXPECT_TRUE(h.log.Has("Koruvan Utility: 下载状态改变为reload"));
}

TEST(ControllerStateTest, DataFlowsOnlyAboveOneKibPerSecond) {
    ControllerHarness h;
    DownloadController& c = h.Start();
    c.PrimaryAction();
    h.engine.SetProgress(h.Name(0), 0, 1000);
    h.engine.SetProgress(h.Name(1), 0, 24);
    EXPECT_EQ(c.SpeedText(), "1.0 KB/s");
    EXPECT_EQ(c.State(), S::Preparing);
    h.engine.SetProgress(h.Name(1), 0, 25);
    EXPECT_EQ(c.SpeedText(), "1.0 KB/s");
    EXPECT_EQ(c.State(), S::Downloading);
    // A finished file's speed does not count.
    h.engine.Complete(h.Name(0));
    c.Tick();
    EXPECT_EQ(c.SpeedText(), "25 B/s");
}

TEST(ControllerStateTest, SpeedLimitIsSplitOverActiveTasksButNeverBelowTen) {
    ControllerHarness h;
    DownloadController& c = h.Start();
    c.PrimaryAction();
    h.engine.Complete(h.Name(0));
    h.engine.Complete(h.Name(1));
    c.Tick();  // both become done; three tasks remain active
    c.ApplySpeedLimit(25);
    for (int i = 0; i < kFileCount; ++i) {
        EXPECT_EQ(h.engine.Copy(h.Name(i)).speedLimit, 10) << i;  // finished ones too
    }
    c.ApplySpeedLimit(0);
    EXPECT_EQ(h.engine.Copy(h.Name(4)).speedLimit, 0);
    c.ApplySpeedLimit(3000);
    EXPECT_EQ(h.engine.Copy(h.Name(4)).speedLimit, 1000);
    h.engine.Complete(h.Name(2));
    h.engine.Complete(h.Name(3));
    c.Tick();  // completion re-splits over the one task left
    EXPECT_EQ(h.engine.Copy(h.Name(4)).speedLimit, 3000);
    c.ApplySpeedLimit(0);
    EXPECT_EQ(h.engine.Copy(h.Name(4)).speedLimit, 0);
    EXPECT_EQ(h.events.Count("11080000"), 4);
    EXPECT_EQ(h.events.Last("11080000").fileName, h.Name(3));
}

TEST(ControllerStateTest, ConnectionBudgetsAreSplitWithTheRemainderFirst) {
    ControllerHarness h;
    DownloadController& c = h.Start();
    c.PrimaryAction();
    h.engine.Complete(h.Name(1));
    h.engine.Complete(h.Name(3));
    c.Tick();
    h.engine.SetProgress(h.Name(0), 10, 5000);
    (void)c.SpeedText();
    ASSERT_EQ(c.State(), S::Downloading);
    const int shares[][2] = {{12, 35}, {-1, -1}, {12, 35}, {-1, -1}, {11, 35}};
    for (int i = 0; i < kFileCount; ++i) {
        const auto t = h.engine.Copy(h.Name(i));
        EXPECT_EQ(t.webLimit, shares[i][0]) << i;
        EXPECT_EQ(t.peerLimit, shares[i][1]) << i;
    }
    const int calls = h.engine.connectionCalls;
    (void)c.SpeedText();  // same budget, same count: no new split
    EXPECT_EQ(h.engine.connectionCalls, calls);
}

// With every web source down no bytes flow, yet the tasks need their peer allowance to dial
// the swarm at all.
TEST(ControllerStateTest, BudgetsReachTheTasksBeforeAnyBytesFlow) {
    ControllerHarness h;
    DownloadController& c = h.Start();
    c.PrimaryAction();
    (void)c.SpeedText();
    EXPECT_NE(c.State(), S::Downloading);
    for (int i = 0; i < kFileCount; ++i) {
        EXPECT_EQ(h.engine.Copy(h.Name(i)).peerLimit, 21) << i;
        EXPECT_EQ(h.engine.Copy(h.Name(i)).webLimit, 7) << i;
    }
}

TEST(ControllerStateTest, LinkFileSetsTheWebSourceBudgetWithinItsRange) {
    for (const auto& [value, expected] : std::vector<std::pair<std::string, int>>{
             {"5", 35}, {"500", 35}, {"10", 10}, {"200", 200}, {"-3", 35}}) {
        ControllerHarness h;
        test::WriteFile(h.dir.File("KoruvanTaskLink.ini"),
                        "[KoruvanTask]\nKoruvanTaskLink=" + value + "\n");
        h.Downloading();
        EXPECT_EQ(h.engine.Copy(h.Name(0)).webLimit, expected / 5 + (expected % 5 > 0 ? 1 : 0))
            << value;
    }
}

TEST(ControllerStateTest, ShownSpeedApproachesTheLimitFromAbove) {
    ControllerHarness h;
    DownloadController& c = h.Start();
    c.PrimaryAction();
    c.ApplySpeedLimit(100);
    h.engine.SetProgress(h.Name(0), 10, 307200);
    std::vector<std::uint32_t> shown;
    for (int k = 0; k < 6; ++k) {
        (void)c.SpeedText();
        shown.push_back(c.ShownSpeed());
    }
    EXPECT_EQ(shown, (std::vector<std::uint32_t>{153600, 128000, 115200, 108800, 105600, 104000}));
    h.engine.SetProgress(h.Name(0), 10, 50000);  // below the limit: shown as it is
    EXPECT_EQ(c.SpeedText(), "48.8 KB/s");
    // No limit (stored as 32767): nothing caps the shown speed, 450 MB/s included.
    c.ApplySpeedLimit(0);
    h.engine.SetProgress(h.Name(0), 10, 450 * 1024 * 1024);
    (void)c.SpeedText();
    EXPECT_EQ(c.ShownSpeed(), 450u * 1024 * 1024);
}

TEST(ControllerStateTest, AReasonIsShownOnceNothingHasArrivedForAFewSeconds) {
    ControllerHarness h;
    DownloadController& c = h.Downloading();
    h.engine.problem = "HTTP 403 from 127.0.0.1:8080";
    for (int k = 0; k < 2; ++k) {
        c.Tick();
    }
    EXPECT_EQ(c.ProblemText(), "");  // a moment without data is no problem yet
    c.Tick();
    EXPECT_EQ(c.ProblemText(), "no data from any source: HTTP 403 from 127.0.0.1:8080");
    EXPECT_EQ(c.SecondsWithoutData(), 3u);
    h.engine.With(h.Name(1), [](auto& t) { t.progress.httpBytes = 16384; });
    c.Tick();
    EXPECT_EQ(c.ProblemText(), "");
    EXPECT_EQ(c.SecondsWithoutData(), 0u);
}

TEST(ControllerStateTest, PauseStopsEveryTaskAndContinueRestartsTheUnfinished) {
    ControllerHarness h;
    DownloadController& c = h.Downloading();
    ASSERT_EQ(c.State(), S::Downloading);
    h.engine.Complete(h.Name(2));
    c.Tick();
    c.PrimaryAction();
    EXPECT_EQ(c.State(), S::Pause);
    ASSERT_EQ(h.engine.stopCalls.size(), 1u);
    EXPECT_EQ(h.engine.stopCalls[0].size(), 5u);  // in index order, finished one included
    EXPECT_EQ(h.engine.stopCalls[0][0], reinterpret_cast<engine::TaskHandle>(1));
    EXPECT_EQ(h.events.Count("11020000"), 1);
    EXPECT_EQ(c.SpeedText(), "0 B/s");

    c.PrimaryAction();
    EXPECT_EQ(c.State(), S::Resume);
    EXPECT_EQ(h.events.Count("11030000"), 1);
    for (int i = 0; i < kFileCount; ++i) {
        // The finished file is not on disk (no matching record): it is restarted too.
        EXPECT_EQ(h.engine.Copy(h.Name(i)).restarts, 1) << i;
    }
    EXPECT_EQ(c.FileStatusText(2), "√ 下载完成  ");  // its task says so
    c.PrimaryAction();
    EXPECT_EQ(c.State(), S::Pause);
    EXPECT_EQ(h.events.Count("11020000"), 2);
}

TEST(ControllerStateTest, ResumeLeavesFilesWhoseRecordMatches) {
    DownloadPlan plan = test::TestPlan();
    plan.files[1].torrent = "d4:infod6:lengthi16eee";  // its task checks every piece
    ControllerHarness h(plan);
    DownloadController& c = h.Downloading();
    test::WriteFile(h.Target(1), "complete file");
    h.engine.Complete(h.Name(1));
    c.Tick();  // done: the record is written now that the file exists
    c.PrimaryAction();
    c.PrimaryAction();
    EXPECT_EQ(h.engine.Copy(h.Name(1)).restarts, 0);
    EXPECT_EQ(h.engine.Copy(h.Name(0)).restarts, 1);
    EXPECT_EQ(c.FileStatusText(1), "√ 下载完成  ");
}

TEST(ControllerDiskWatchTest, ReadyAndBackFollowTheFreeSpaceInSparseMode) {
    ControllerHarness h;
    DownloadController& c = h.Start();
    // Sparse mode is known once a volume check ran: here a Start whose engine would not
    // start, which leaves the state `ready`.
    h.engine.startupResult = -1;
    c.PrimaryAction();
    ASSERT_EQ(c.State(), S::Ready);
    // Required: 5 × 10 MiB + 100 MiB reserve = 150 MiB.
    h.engine.freeBytes = 49 * kMiB;
    EXPECT_EQ(c.Reconcile(), S::Back);
    EXPECT_TRUE(c.DiskShort());
    EXPECT_EQ(h.front.CountNotice("当前磁盘空间不足，请选择其他位置存放。"), 1);
    EXPECT_EQ(c.Reconcile(), S::Back);
    EXPECT_EQ(h.front.CountNotice("当前磁盘空间不足，请选择其他位置存放。"), 1);
    h.engine.freeBytes = 150 * kMiB;
    EXPECT_EQ(c.Reconcile(), S::Ready);
    EXPECT_FALSE(c.DiskShort());
    EXPECT_TRUE(h.log.Has("Koruvan Utility: 下载状态改变为back"));
    // Between the two thresholds (short of the reserve only) nothing changes.
    h.engine.freeBytes = 100 * kMiB;
    EXPECT_EQ(c.Reconcile(), S::Ready);
    EXPECT_FALSE(c.DiskShort());
}

TEST(ControllerDiskWatchTest, RunsOnlyInSparseMode) {
    ControllerHarness h;
    h.volume = VolumeMode{true, false};
    DownloadController& c = h.Start();
    c.PrimaryAction();  // the volume check at Start: space is reserved up front
    EXPECT_TRUE(h.log.Has("使用磁盘预占"));
    h.engine.freeBytes = 0;
    EXPECT_EQ(c.Reconcile(), S::Preparing);
    EXPECT_FALSE(c.DiskShort());
}

TEST(ControllerDiskWatchTest, DownloadPausesWhenTheDiskFillsUp) {
    ControllerHarness h;
    DownloadController& c = h.Downloading();
    ASSERT_EQ(c.State(), S::Downloading);
    h.engine.allocatedBytes = 0;
    h.engine.freeBytes = 10 * kMiB;  // 10 MiB free + 5 × 100/10000 of 10 MiB on disk
    EXPECT_EQ(c.Reconcile(), S::Pause);
    EXPECT_TRUE(c.DiskShort());
    EXPECT_EQ(h.engine.stopCalls.size(), 1u);
    EXPECT_EQ(h.events.Count("11990301"), 1);
    EXPECT_EQ(h.front.CountNotice("预留磁盘空间不足，下载暂停。"), 1);
    EXPECT_EQ(c.Reconcile(), S::Pause);
    EXPECT_EQ(h.engine.stopCalls.size(), 1u);
    h.engine.freeBytes = 200 * kMiB;
    EXPECT_EQ(c.Reconcile(), S::Pause);  // the user continues, not the watch
    EXPECT_FALSE(c.DiskShort());
}

TEST(ControllerCodesTest, EachNoticeIsShownOnceForACodeInARow) {
    ControllerHarness h;
    DownloadController& c = h.Downloading();
    h.engine.SetCode(h.Name(1), 20209);
    for (int k = 0; k < 5; ++k) {
        c.Reconcile();
    }
    EXPECT_EQ(h.front.CountNotice("网络连接超时，下载失败"), 1);
    EXPECT_EQ(h.events.Count("11990202"), 1);
    h.engine.SetCode(h.Name(1), 20214);
    c.Reconcile();
    c.Reconcile();
    EXPECT_EQ(h.front.CountNotice("下载出错，请重试"), 1);
    h.engine.SetCode(h.Name(1), 20209);  // a new run of the first code
    c.Reconcile();
    EXPECT_EQ(h.front.CountNotice("网络连接超时，下载失败"), 2);
    h.engine.SetCode(h.Name(1), 0);
    c.Reconcile();
    h.engine.SetCode(h.Name(3), 20207);
    c.Reconcile();
    c.Reconcile();
    EXPECT_EQ(h.front.CountNotice("网络错误"), 1);
    EXPECT_EQ(h.front.CountNotice("网络连接超时，下载失败"), 2);
    EXPECT_EQ(c.State(), S::Downloading);
}

TEST(ControllerCodesTest, FullDiskPausesAndWriteFailureFails) {
    ControllerHarness h;
    h.volume = VolumeMode{true, false};  // no disk watch to clear the shortage again
    DownloadController& c = h.Downloading();
    h.engine.SetCode(h.Name(4), 20210);
    EXPECT_EQ(c.Reconcile(), S::Pause);
    EXPECT_TRUE(c.DiskShort());
    EXPECT_EQ(h.events.Count("11990301"), 1);
    EXPECT_EQ(h.front.CountNotice("磁盘空间不足，请检查并重新启动下载器！"), 1);
    h.engine.SetCode(h.Name(4), 20215);
    EXPECT_EQ(c.Reconcile(), S::Failed);
    EXPECT_EQ(h.front.CountNotice("由于磁盘损坏无法写入，下载失败"), 1);
    c.PrimaryAction();  // nothing leaves `failed`
    EXPECT_EQ(c.State(), S::Failed);
    c.Tick();
    EXPECT_EQ(c.State(), S::Failed);
}

TEST(ControllerFinishTest, FinishingRecordsReportsAndSchedulesTheShutdown) {
    ControllerHarness h;
    DownloadController& c = h.Downloading();
    c.SetShutdownAfterDownload(true);
    for (int k = 0; k < 3; ++k) {
        c.Tick();
    }
    h.CompleteAll(c);  // its own MD5 check (no torrents) passes first
    EXPECT_EQ(c.State(), S::Finished);
    EXPECT_EQ(TaskKey(h, "KoruvanTaskIsComplete"), "COMPLETE");
    EXPECT_EQ(TaskKey(h, "KoruvanTaskDownloadTime"), "4");
    EXPECT_EQ(h.events.Count("11080000"), 5);
    EXPECT_EQ(c.Reconcile(), S::Finished);
    const DetailedEvent done = h.events.Last("11060000");
    EXPECT_EQ(done.totalSeconds, 4u);
    EXPECT_EQ(done.progress, "100%");
    EXPECT_TRUE(h.log.Has("Koruvan Utility: 下载状态改变为finished"));
    EXPECT_TRUE(h.log.Has("Koruvan Utility: 触发自动关机"));
    EXPECT_EQ(h.shutdowns, std::vector<std::string>{"一分钟后将自动关机"});
    EXPECT_NE(TaskKey(h, "KoruvanTask3FileSizeLow", "KoruvanFinishInfo"), "<none>");
    EXPECT_EQ(c.SizeText(), "50.0 MB/50.0 MB");
    c.Reconcile();
    EXPECT_EQ(h.events.Count("11060000"), 1);
    EXPECT_EQ(h.shutdowns.size(), 1u);
}

TEST(ControllerFinishTest, StatisticsCarryTheSessionCounters) {
    ControllerHarness h;
    DownloadController& c = h.Downloading();
    h.engine.With(h.Name(0), [](auto& t) {
        t.progress.httpBytes = 3000;
        t.progress.peerBytes = 1000;
    });
    c.Tick();
    c.Tick();
    h.engine.With(h.Name(0), [](auto& t) { t.answers = false; });  // last known counts stay
    c.PrimaryAction();
    const DetailedEvent paused = h.events.Last("11020000");
    EXPECT_EQ(paused.totalSeconds, 2u);
    EXPECT_EQ(paused.totalBytes, 4000u);
    EXPECT_EQ(paused.averageSpeed, 2000u);
    EXPECT_EQ(paused.httpBytes, 3000u);
    EXPECT_EQ(paused.httpAverageSpeed, 1500u);
    EXPECT_EQ(paused.p2pBytes, 1000u);
    EXPECT_EQ(paused.p2pAverageSpeed, 500u);
    EXPECT_EQ(paused.progress, "1%");
}

TEST(ControllerFinishTest, EveryThreeHundredthRunningTickReports) {
    ControllerHarness h;
    DownloadController& c = h.Downloading();
    for (int k = 0; k < 599; ++k) {
        c.Tick();
    }
    EXPECT_EQ(h.events.Count("11050000"), 1);
    c.Tick();
    EXPECT_EQ(h.events.Count("11050000"), 2);
    EXPECT_EQ(TaskKey(h, "KoruvanTaskDownloadTime"), "600");
}

TEST(ControllerNoticeTest, NoticesCarryTheMachineIdentity) {
    ControllerHarness h;
    h.env.machineId = [] { return std::optional<std::string>("M-42"); };
    DownloadController& c = h.Start();
    h.engine.freeBytes = 0;
    c.PrimaryAction();
    ASSERT_EQ(h.front.notices.size(), 1u);
    EXPECT_EQ(h.front.notices[0].first, "当前磁盘空间不足，请选择其他位置存放\n（M-42）");
    EXPECT_EQ(h.front.notices[0].second, "Irvane下载器");
}

TEST(ControllerButtonTest, ButtonInVerificationStatesAndAtTheEnd) {
    ControllerHarness h;
    DownloadController& c = h.Downloading();
    h.CompleteAll(c);
    ASSERT_EQ(c.State(), S::Finished);
    test::WriteFile(h.SaveFolder() + "/setup.exe", "#!/bin/sh\n");
    h.front.answer = false;
    c.PrimaryAction();
    ASSERT_EQ(h.front.questions.size(), 1u);
    EXPECT_EQ(h.front.questions[0].first, "是否验证安装文件的正确性？");
    EXPECT_EQ(h.events.Codes().back(), "11100002");
    ASSERT_EQ(h.launches.size(), 1u);
    EXPECT_EQ(h.launches[0], std::make_pair(h.Target(0), h.SaveFolder()));
    EXPECT_TRUE(c.InstallerStarted());
    EXPECT_EQ(h.front.closeRequests, 1);
    EXPECT_EQ(c.State(), S::Finished);  // `installing` lasted only during the launch
    EXPECT_EQ(h.events.Last("11070000").errorMessage, "");
}

}  // namespace
}  // namespace koruvan::app

namespace koruvan::app {
namespace {

// The port mapping's notifications: the device search result decides which failure text a
// failed mapping reports, every end of the search releases the waiting mapping job, and
// other notifications change nothing.
TEST(ControllerPortForwardTest, DeviceSearchAndMappingOutcomesAreLoggedAndReported) {
    ControllerHarness h;
    std::optional<std::string> device;
    int released = 0;
    h.env.gatewayDevice = [&] { return device; };
    h.env.releaseMapping = [&] { ++released; };
    DownloadController& c = h.Start();

    c.OnPortForwardNotification(17, 5);  // progress only
    c.OnPortForwardNotification(33, 1);
    EXPECT_EQ(released, 0);
    EXPECT_EQ(h.events.Count("11500105") + h.events.Count("11390000"), 0);

    c.OnPortForwardNotification(18, 0);  // searched, nothing found
    EXPECT_EQ(released, 1);
    EXPECT_TRUE(h.log.Has("NAT device ^Not^ found.."));
    c.OnPortForwardNotification(34, -1);
    EXPECT_EQ(h.events.Last("11500105").errorMessage, "uPnP失败，因为没有IGD设备信息");
    EXPECT_TRUE(h.log.Has("uPnP失败，因为没有IGD设备信息"));

    device = "Loopback Router";
    c.OnPortForwardNotification(18, -5);  // a failed search still releases the mapping job
    EXPECT_EQ(released, 2);
    EXPECT_FALSE(h.log.Has("NAT Device found : Name : <Loopback Router>"));
    c.OnPortForwardNotification(18, 0);
    EXPECT_TRUE(h.log.Has("NAT Device found : Name : <Loopback Router>"));
    c.OnPortForwardNotification(34, -1);
    EXPECT_EQ(h.events.Last("11500105").errorMessage, "IGD设备已找到，但是uPnP依然失败");
    EXPECT_EQ(h.events.Count("11500105"), 2);

    c.OnPortForwardNotification(34, 0);
    EXPECT_EQ(h.events.Count("11390000"), 1);
    EXPECT_EQ(h.events.Last("11390000").errorMessage, "");
    EXPECT_TRUE(h.log.Has("uPnP成功"));
}

}  // namespace
}  // namespace koruvan::app
