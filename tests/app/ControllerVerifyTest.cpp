// Verification and repair over real files and a scripted engine: all files pass; a damaged
// file repaired on the first, or only the fifth, repair; five repairs that do not help;
// a task that cannot be made again; the published progress; and the dispatch of the
// verification entry in the other states.
#include <gtest/gtest.h>

#include <chrono>

#include "ControllerFakes.h"
#include "app/CompletionRecord.h"
#include "platform/IniFile.h"
#include "support/WaitFor.h"

namespace koruvan::app {
namespace {

using test::ControllerHarness;
using S = ControllerState;

using test::WaitFor;

std::string Content(const ControllerHarness& h, int i) {
    return "content of " + h.Name(i);
}

// A finished download whose five files are on disk with the planned content.
DownloadController& Finished(ControllerHarness& h) {
    DownloadController& c = h.Downloading();
    h.CompleteAll(c);
    EXPECT_EQ(c.State(), S::Finished);
    return c;
}

// The repaired task of `file` writes `content` and is complete at once.
void RepairWrites(ControllerHarness& h, int file, const std::string& content, int& recoveries,
                  int fixedAt) {
    const std::string target = h.Target(file);
    h.engine.onRecover = [&recoveries, target, content, fixedAt](test::ScriptedEngine::Task& t) {
        if (t.target != target) {
            return;
        }
        ++recoveries;
        if (recoveries >= fixedAt) {
            test::WriteFile(target, content);
        }
        t.complete = true;
        t.progress.progress = 10000;
    };
}

TEST(ControllerVerifyTest, AllFilesPassAndTheInstallerFollows) {
    ControllerHarness h;
    DownloadController& c = Finished(h);
    c.StartVerification(true);
    ASSERT_TRUE(WaitFor([&] { return !c.VerificationRunning(); }));
    EXPECT_EQ(c.State(), S::CheckFinished);
    EXPECT_FALSE(c.MismatchSeen());
    EXPECT_EQ(h.events.Count("11100004"), 1);
    EXPECT_EQ(h.events.Count("11500201"), 0);
    EXPECT_EQ(h.front.messages, std::vector<std::uint32_t>{kVerificationDoneMessage});
    EXPECT_EQ(c.VerifyProgress(), 10000u);
    EXPECT_EQ(c.FileStatusText(2), "√ 验证通过  ");
    EXPECT_TRUE(h.log.Has("MD5匹配：setup.exe，Except：" + h.plan.files[0].md5 + "，Actural：" +
                          h.plan.files[0].md5));
    // The window answers the message with the button: installed as verified.
    test::WriteFile(h.Target(0), Content(h, 0));
    c.PrimaryAction();
    EXPECT_EQ(h.events.Last("11070000").errorMessage, "点击时已经验证过安装包分卷了");
    EXPECT_EQ(h.launches.size(), 1u);
    EXPECT_TRUE(c.InstallerStarted());
}

TEST(ControllerVerifyTest, DamagedFileIsRepairedFromItsResumeFile) {
    ControllerHarness h;
    DownloadController& c = Finished(h);
    test::WriteFile(h.Target(2), "damaged");
    int recoveries = 0;
    RepairWrites(h, 2, Content(h, 2), recoveries, 1);
    c.StartVerification(false);
    ASSERT_TRUE(WaitFor([&] { return !c.VerificationRunning(); }));
    EXPECT_EQ(c.State(), S::CheckFinished);
    EXPECT_TRUE(c.MismatchSeen());
    EXPECT_EQ(recoveries, 1);
    const auto t = h.engine.Copy(h.Name(2));
    EXPECT_TRUE(t.recovered);
    EXPECT_TRUE(t.force);
    const DetailedEvent unmatched = h.events.Last("11500201");
    EXPECT_EQ(unmatched.fileName, "data.002.cab");
    EXPECT_EQ(unmatched.errorMessage, "MD5 unmatched (" + Md5Hex("damaged") + ")");
    const DetailedEvent repaired = h.events.Last("11100003");
    EXPECT_EQ(repaired.fileName, "data.002.cab");
    EXPECT_EQ(repaired.errorMessage, "修复次数：1");
    EXPECT_EQ(h.events.Count("11100004"), 1);
    EXPECT_TRUE(h.front.messages.empty());  // not started from Install
    EXPECT_TRUE(h.log.Has("MD5不匹配：data.002.cab，Except：" + h.plan.files[2].md5 +
                          "，Actural：" + Md5Hex("damaged")));
}

TEST(ControllerVerifyTest, FifthRepairMayStillSucceedButNoSixthIsTried) {
    {
        ControllerHarness h;
        DownloadController& c = Finished(h);
        test::WriteFile(h.Target(4), "damaged");
        int recoveries = 0;
        RepairWrites(h, 4, Content(h, 4), recoveries, 5);
        c.StartVerification(false);
        ASSERT_TRUE(WaitFor([&] { return !c.VerificationRunning(); }));
        EXPECT_EQ(c.State(), S::CheckFinished);
        EXPECT_EQ(recoveries, 5);
        EXPECT_EQ(h.events.Last("11100003").errorMessage, "修复次数：5");
    }
    {
        ControllerHarness h;
        DownloadController& c = Finished(h);
        test::WriteFile(h.Target(1), "damaged");
        int recoveries = 0;
        RepairWrites(h, 1, "still damaged", recoveries, 1);
        c.StartVerification(false);
        ASSERT_TRUE(WaitFor([&] { return !c.VerificationRunning(); }));
        EXPECT_EQ(c.State(), S::Failed);
        EXPECT_EQ(recoveries, 5);
        EXPECT_EQ(h.events.Count("11100003"), 0);
        EXPECT_EQ(h.events.Last("11990501").errorMessage, "修复次数：5");
        EXPECT_EQ(h.events.Last("11990501").fileName, "data.001.cab");
        EXPECT_EQ(h.front.CountNotice("修复失败：\r\n\r\n多次修复安装文件仍然出错，请尝试其他方式"
                                      "下载客户端\r\n或重启下载器进行再次修复"),
                  1);
        // Files after the one that failed were never checked (only by the download's own
        // check before `finished`).
        EXPECT_EQ(h.log.Count("MD5匹配：data.002.cab，Except：" + h.plan.files[2].md5 +
                              "，Actural：" + h.plan.files[2].md5),
                  1);
    }
}

TEST(ControllerVerifyTest, TaskThatCannotBeMadeAgainEndsTheRunInRepair) {
    ControllerHarness h;
    DownloadController& c = Finished(h);
    test::WriteFile(h.Target(3), "damaged");
    h.engine.recoverResults = {-107, -107, -107, -107};
    c.StartVerification(false);
    ASSERT_TRUE(WaitFor([&] { return !c.VerificationRunning(); }));
    EXPECT_EQ(c.State(), S::CheckRecover);
    EXPECT_EQ(h.front.CountNotice("ErrorCode : -107"), 4);
    EXPECT_EQ(h.front.CountNotice("修复出错，请尝试重新启动下载器"), 1);
    c.PrimaryAction();
    EXPECT_EQ(h.front.CountNotice("部分文件错误，正在修复中..."), 1);
    c.StartVerification(false);  // only from `finished`
    EXPECT_EQ(h.front.CountNotice("部分文件错误，正在修复中..."), 2);
}

TEST(ControllerVerifyTest, ThirdReloadAttemptIsGoodEnough) {
    ControllerHarness h;
    DownloadController& c = Finished(h);
    test::WriteFile(h.Target(0), "damaged");
    int recoveries = 0;
    RepairWrites(h, 0, Content(h, 0), recoveries, 1);
    h.engine.recoverResults = {-105, -105};
    c.StartVerification(false);
    ASSERT_TRUE(WaitFor([&] { return !c.VerificationRunning(); }));
    EXPECT_EQ(c.State(), S::CheckFinished);
    EXPECT_EQ(h.front.CountNotice("ErrorCode : -105"), 2);
    EXPECT_EQ(h.events.Last("11100003").errorMessage, "修复次数：1");
}

TEST(ControllerVerifyTest, ProgressCountsWholeBlocksAndIsCappedPerFile) {
    DownloadPlan plan = test::TestPlan();
    std::vector<std::string> contents;
    for (int i = 0; i < kFileCount; ++i) {
        // 1 MiB and 100 bytes: the last partial block takes the file past 10000.
        contents.push_back(std::string(1024 * 1024 + 100, static_cast<char>('a' + i)));
        plan.files[static_cast<std::size_t>(i)].md5 = Md5Hex(contents.back());
        plan.files[static_cast<std::size_t>(i)].size = 1024 * 1024 + 100;
    }
    ControllerHarness h(plan);
    DownloadController& c = h.Downloading();
    for (int i = 0; i < kFileCount; ++i) {
        test::WriteFile(h.Target(i), contents[static_cast<std::size_t>(i)]);
        h.engine.Complete(h.Name(i));
    }
    c.Tick();
    ASSERT_TRUE(ControllerHarness::WaitUntilChecked(c));
    ASSERT_EQ(c.State(), S::Finished);
    c.StartVerification(false);
    ASSERT_TRUE(WaitFor([&] { return !c.VerificationRunning(); }));
    EXPECT_EQ(c.State(), S::CheckFinished);
    EXPECT_EQ(c.VerifyProgress(), 10000u);
    EXPECT_EQ(c.FileStatusText(4), "√ 验证通过  ");
}

// A download of files without torrents is `finished` only once their MD5 matches: a file
// damaged when its task completes is repaired like in a verification; when repair gives up
// the download fails, names the file and records neither it nor the download as complete.
// Files whose tasks checked every piece against their torrent are taken as they are.
TEST(ControllerVerifyTest, ADownloadChecksTheFilesNoTorrentVouchesForBeforeItIsFinished) {
    struct Case {
        const char* name;
        bool torrents;
        int fixedAt;  // the repair that writes the right content
        S end;
    };
    const Case cases[] = {
        {"repaired on the first try", false, 1, S::Finished},
        {"repair gives up", false, 99, S::Failed},
        {"torrents vouch for every piece", true, 99, S::Finished},
    };
    for (const Case& k : cases) {
        DownloadPlan plan = test::TestPlan();
        for (PlannedFile& f : plan.files) {
            f.torrent =
                k.torrents ? std::optional<std::string>("d4:infod6:lengthi16eee") : std::nullopt;
        }
        ControllerHarness h(plan);
        DownloadController& c = h.Downloading();
        for (int i = 0; i < kFileCount; ++i) {
            test::WriteFile(h.Target(i), i == 3 ? "damaged" : Content(h, i));
            h.engine.Complete(h.Name(i));
        }
        int recoveries = 0;
        RepairWrites(h, 3, Content(h, 3), recoveries, k.fixedAt);
        c.Tick();
        ASSERT_TRUE(ControllerHarness::WaitUntilChecked(c)) << k.name;
        c.Reconcile();
        EXPECT_EQ(c.State(), k.end) << k.name;
        const platform::IniFile ini(h.TaskIni());
        const bool recorded =
            ini.GetString(kFinishInfoSection, CompletionKey(3, 3), "<none>") != "<none>";
        const std::string complete = ini.GetString("KoruvanTask", "KoruvanTaskIsComplete", "");
        if (k.end == S::Finished) {
            EXPECT_EQ(complete, "COMPLETE") << k.name;
            EXPECT_TRUE(recorded) << k.name;
            EXPECT_EQ(h.events.Count("11100004"), 0) << k.name;  // not a verification asked for
            EXPECT_EQ(h.events.Count("11100003"), k.torrents ? 0 : 1) << k.name;
            EXPECT_EQ(recoveries, k.torrents ? 0 : 1) << k.name;
        } else {
            EXPECT_EQ(complete, "") << k.name;
            EXPECT_FALSE(recorded) << k.name;
            EXPECT_EQ(c.UnrepairedFile(), "data.003.cab") << k.name;
            EXPECT_EQ(h.events.Last("11990501").fileName, "data.003.cab") << k.name;
            EXPECT_EQ(recoveries, 5) << k.name;
        }
    }
}

// The program ended after the files without torrents were complete but before their check
// passed: the next start checks them instead of downloading them again.
TEST(ControllerVerifyTest, FilesCompleteButUncheckedAtTheEndAreCheckedAtTheNextStart) {
    DownloadPlan plan = test::TestPlan();
    for (PlannedFile& f : plan.files) {
        f.size = ("content of " + f.name).size();
    }
    ControllerHarness h(plan);
    DownloadController& c = h.Downloading();
    for (int i = 0; i < kFileCount; ++i) {
        test::WriteFile(h.Target(i), Content(h, i));
    }
    c.OnExit();
    const std::size_t tasks = h.engine.TaskCount();

    DownloadController& again = h.Start(false);
    ASSERT_EQ(again.State(), S::Reload);
    EXPECT_EQ(h.engine.TaskCount(), tasks);  // no file is fetched again
    again.Tick();
    ASSERT_TRUE(ControllerHarness::WaitUntilChecked(again));
    EXPECT_EQ(again.State(), S::Finished);
    const platform::IniFile ini(h.TaskIni());
    for (int i = 0; i < kFileCount; ++i) {  // recorded: their digests matched
        EXPECT_NE(ini.GetString(kFinishInfoSection, CompletionKey(3, i), "<none>"), "<none>");
    }
}

TEST(ControllerVerifyTest, EntryInOtherStatesOnlyTellsWhy) {
    ControllerHarness h;
    DownloadController& c = h.Start();
    c.StartVerification(true);
    EXPECT_EQ(h.front.CountNotice("请先将客户端下载完成，再点击检查按钮"), 1);
    EXPECT_EQ(c.State(), S::Ready);
    EXPECT_FALSE(c.VerificationRunning());
}

}  // namespace
}  // namespace koruvan::app
