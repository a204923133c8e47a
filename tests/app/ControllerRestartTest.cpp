// Restarting with a persisted task, on the real engine and real files: every start-up class
// (fresh, all files lost, finished, files to re-check, partial), a finished file touched by
// another program, and the close choice kept in the task file.
#include <gtest/gtest.h>

#include <filesystem>

#include "ControllerFakes.h"
#include "app/CompletionRecord.h"
#include "platform/IniFile.h"

namespace koruvan::app {
namespace {

using test::ControllerHarness;
using S = ControllerState;

// A harness on the real engine (sources on a closed loopback port: tasks never get data).
struct RealHarness : ControllerHarness {
    RealHarness() { env.engine = nullptr; }
    // The task file a previous run left, with `complete` marking the download finished.
    void PersistTask(bool complete) {
        std::filesystem::create_directories(std::filesystem::path(TaskIni()).parent_path());
        platform::IniFile ini(TaskIni());
        ASSERT_TRUE(ini.WriteString("KoruvanTask", "KoruvanTaskHash", plan.files[0].md5));
        ASSERT_TRUE(ini.WriteString("KoruvanTask", "KoruvanTaskCreateTime", "2025-07-11 12:30:00"));
        ASSERT_TRUE(ini.WriteString("KoruvanTask", "KoruvanTaskSavePath", SaveFolder()));
        ASSERT_TRUE(ini.WriteString("KoruvanTask", "KoruvanTaskEntrence", Name(0)));
        if (complete) {
            ASSERT_TRUE(ini.WriteString("KoruvanTask", "KoruvanTaskIsComplete", "COMPLETE"));
        }
    }
    // File i complete on disk and recorded as such.
    void Finish(int i) {
        test::WriteFile(Target(i), "content of " + Name(i));
        ASSERT_EQ(WriteCompletionRecord(TaskIni(), i, Target(i)), 0);
    }
    void Partial(int i) { test::WriteFile(Target(i) + ".kvtmp", std::string(4096, 'p')); }
    bool HasTask(int i) { return controller->ReportFile(i).queried; }
};

TEST(ControllerRestartTest, FreshMachineStartsReadyAndWritesNothing) {
    RealHarness h;
    DownloadController& c = h.Start(false);
    EXPECT_EQ(h.initResult, 0);
    EXPECT_EQ(c.State(), S::Ready);
    EXPECT_EQ(c.SaveFolder(), h.dir.File("default/vemo221047"));
    EXPECT_FALSE(std::filesystem::exists(h.TaskIni()));
    EXPECT_EQ(c.CloseChoice(), -1);
    EXPECT_TRUE(h.log.Has("=====================正在初始化====================="));
    EXPECT_TRUE(h.log.Has("自我恢复功能关闭"));
    // The telemetry configuration was written into the data folder.
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(h.TaskIni()).parent_path() /
                                        "dataupload.kvconf"));
}

TEST(ControllerRestartTest, AllFilesGoneDeletesTheTaskAndStartsOver) {
    RealHarness h;
    h.PersistTask(false);
    DownloadController& c = h.Start(false);
    EXPECT_EQ(h.initResult, 0);
    EXPECT_EQ(c.State(), S::Ready);
    EXPECT_FALSE(std::filesystem::exists(h.TaskIni()));
    EXPECT_EQ(h.front.CountNotice("目标文件被删除或移动，请重新下载"), 1);
    EXPECT_TRUE(h.log.Has("目标文件全部丢失，退回初始状态"));
    EXPECT_EQ(c.SaveFolder(), h.dir.File("default/vemo221047"));
}

TEST(ControllerRestartTest, FinishedAndUnchangedNeedsNoTaskAndNoHashing) {
    RealHarness h;
    h.PersistTask(true);
    for (int i = 0; i < kFileCount; ++i) {
        h.Finish(i);
    }
    DownloadController& c = h.Start(false);
    EXPECT_EQ(h.initResult, 1);
    EXPECT_EQ(c.State(), S::Finished);
    EXPECT_TRUE(h.log.Has("下载已经完成，文件正确"));
    for (int i = 0; i < kFileCount; ++i) {
        EXPECT_FALSE(h.HasTask(i)) << i;
        EXPECT_EQ(c.FileStatusText(i), "√ 下载完成  ");
    }
    for (const std::string& line : h.log.Lines()) {
        EXPECT_EQ(line.find("MD5"), std::string::npos) << line;
    }
    EXPECT_EQ(h.events.Count("11030000"), 0);
    EXPECT_EQ(c.Reconcile(), S::Finished);
    EXPECT_EQ(h.events.Count("11060000"), 0);  // no task ran in this run
    EXPECT_EQ(c.SaveFolder(), h.SaveFolder());
}

TEST(ControllerRestartTest, OneFinishedCabinetIsKeptAndTheOthersReloaded) {
    RealHarness h;
    h.PersistTask(false);
    h.Finish(1);
    for (const int i : {0, 2, 3, 4}) {
        h.Partial(i);
    }
    DownloadController& c = h.Start(false);
    EXPECT_EQ(h.initResult, 1);
    EXPECT_EQ(c.State(), S::Reload);
    EXPECT_TRUE(h.log.Has("需要文件校验"));
    EXPECT_FALSE(h.HasTask(1));
    EXPECT_EQ(c.FileStatusText(1), "√ 下载完成  ");
    for (const int i : {0, 2, 3, 4}) {
        EXPECT_TRUE(h.HasTask(i)) << i;
        EXPECT_EQ(platform::IniFile(h.TaskIni())
                      .GetString("KoruvanTask", "KoruvanTask" + std::to_string(i), ""),
                  h.Name(i));
    }
    EXPECT_EQ(h.events.Count("11030000"), 1);
    EXPECT_TRUE(h.front.notices.empty());
}

TEST(ControllerRestartTest, PartialDownloadIsRecovered) {
    RealHarness h;
    h.PersistTask(false);
    h.Partial(0);
    h.Partial(3);
    DownloadController& c = h.Start(false);
    EXPECT_EQ(h.initResult, 1);
    EXPECT_EQ(c.State(), S::Recover);
    EXPECT_TRUE(h.log.Has("成功地恢复了下载，可以进行续传"));
    for (int i = 0; i < kFileCount; ++i) {
        EXPECT_TRUE(h.HasTask(i)) << i;
    }
    EXPECT_EQ(h.events.Count("11030000"), 1);
    // The tasks run again: Pause works once data flows, Start is not offered.
    c.PrimaryAction();
    EXPECT_EQ(c.State(), S::Recover);
}

TEST(ControllerRestartTest, FinishedFileTouchedByAnotherProgramIsReloaded) {
    RealHarness h;
    h.PersistTask(true);
    for (int i = 0; i < kFileCount; ++i) {
        h.Finish(i);
    }
    // Same size, new time stamp.
    const auto when = std::filesystem::last_write_time(h.Target(3));
    std::filesystem::last_write_time(h.Target(3), when + std::chrono::seconds(90));
    DownloadController& c = h.Start(false);
    EXPECT_EQ(c.State(), S::Reload);
    EXPECT_TRUE(h.HasTask(3));
    for (const int i : {0, 1, 2, 4}) {
        EXPECT_FALSE(h.HasTask(i)) << i;
    }
}

TEST(ControllerRestartTest, TaskFileWithoutIdentityCountsAsFresh) {
    RealHarness h;
    std::filesystem::create_directories(std::filesystem::path(h.TaskIni()).parent_path());
    ASSERT_TRUE(
        platform::IniFile(h.TaskIni()).WriteString("KoruvanTask", "KoruvanCloseSelection", "2"));
    for (int i = 0; i < kFileCount; ++i) {
        h.Finish(i);
    }
    DownloadController& c = h.Start(false);
    EXPECT_EQ(h.initResult, 0);
    EXPECT_EQ(c.State(), S::Ready);
    EXPECT_EQ(c.CloseChoice(), 2);
    EXPECT_EQ(c.SetCloseChoice(1), 1);
    EXPECT_EQ(c.CloseChoice(), 1);
}

}  // namespace
}  // namespace koruvan::app
