// What the window's slow step shows in each state, over the real controller: the progress
// label and percent, the speed or activity, the end status, the repair speed alternating
// with "修复中..." (4 of every 12 redraws), and the Install path through a verification that
// ends with the window's message.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "QtTestEnvironment.h"
#include "WindowHarness.h"
#include "support/WaitFor.h"

namespace koruvan::ui {
namespace {

using S = app::ControllerState;
using test::WindowHarness;

using koruvan::test::WaitFor;

TEST(MainWindowTextsTest, ReadyDownloadingAndFinishedTexts) {
    WindowHarness h;
    CwbeKoruvanUIDlg& w = h.Open();
    EXPECT_EQ(w.windowTitle().toStdString(), "Irvane下载器");
    EXPECT_EQ(w.FolderText().toStdString(), h.SaveFolder());
    w.SlowStep();
    SlowStepResult t = w.ShownTexts();
    EXPECT_FALSE(t.showsEndStatus);
    EXPECT_EQ(t.progressLabel, "当前进度:");
    EXPECT_EQ(t.percentText, "0.00%");
    EXPECT_EQ(t.activity, "0 B/s");
    EXPECT_EQ(t.sizeText, "0 B/50.0 MB");
    EXPECT_EQ(t.fileStatus[0], "未开始    ");

    h.Downloading(2500, 200000);
    w.SlowStep();
    t = w.ShownTexts();
    EXPECT_EQ(w.ShownState(), S::Downloading);
    EXPECT_EQ(t.progressLabel, "当前进度:");
    EXPECT_EQ(t.percentText, "25.00%");
    EXPECT_EQ(t.activity, "195.3 KB/s");
    EXPECT_FALSE(t.activityIsLabel);
    EXPECT_EQ(t.fileStatus[3], "25.00%    ");
    EXPECT_EQ(w.FileList()->topLevelItem(3)->text(1).toStdString(), "25.00%    ");
    EXPECT_EQ(w.FileList()->topLevelItem(3)->text(0).toStdString(), h.Name(3));

    h.Finished();
    ASSERT_EQ(h.Controller().State(), S::Finished);
    w.SlowStep();
    t = w.ShownTexts();
    EXPECT_TRUE(t.showsEndStatus);
    EXPECT_EQ(t.endStatus, "下载完成");
    EXPECT_FALSE(t.ticked);  // no Tick once the download is over
    EXPECT_EQ(t.sizeText, "50.0 MB/50.0 MB");
    EXPECT_EQ(t.fileStatus[4], "√ 下载完成  ");
}

TEST(MainWindowTextsTest, InstallAsksVerifiesShowsThePassAndLaunchesOnTheWindowMessage) {
    WindowHarness h;
    CwbeKoruvanUIDlg& w = h.Open();
    h.Finished();
    h.answer = true;  // "是否验证安装文件的正确性？" — yes
    w.OnCommand(kIdInstall);
    ASSERT_EQ(h.questions.size(), 1u);
    EXPECT_EQ(h.questions[0].toStdString(), "是否验证安装文件的正确性？");
    ASSERT_TRUE(WaitFor([&] { return !h.Controller().VerificationRunning(); }));
    ASSERT_EQ(h.Controller().State(), S::CheckFinished);
    w.FastStep();
    w.SlowStep();
    EXPECT_TRUE(w.ShownTexts().showsEndStatus);
    EXPECT_EQ(w.ShownTexts().endStatus, "√ 验证通过");
    EXPECT_EQ(w.ShownProgress().verifyPercent, 100u);
    EXPECT_TRUE(h.launches.empty());
    // The verification's message arrives through the event loop: the installer starts and
    // the window closes.
    ASSERT_TRUE(h.Until([&] { return w.Destroyed(); }));
    ASSERT_EQ(h.launches.size(), 1u);
    EXPECT_EQ(h.launches[0], h.Target(0));
}

// A FIFO in place of file 3 holds the verification in md5checking until the test writes it;
// the empty digest then fails, and the repair (scripted) holds checkrecover at 50 %.
TEST(MainWindowTextsTest, VerificationAndRepairTextsIncludingTheAlternatingRepairSpeed) {
    WindowHarness h;
    CwbeKoruvanUIDlg& w = h.Open();
    h.Finished();
    const std::string held = h.Target(3);
    ASSERT_EQ(unlink(held.c_str()), 0);
    ASSERT_EQ(mkfifo(held.c_str(), 0600), 0);
    const std::string content = h.Content(3);
    std::atomic<bool> repaired{false};
    h.engine.onRecover = [&](koruvan::test::ScriptedEngine::Task& t) {
        if (t.target == held && !repaired.exchange(true)) {
            unlink(held.c_str());
            koruvan::test::WriteFile(held, content);
            t.progress.progress = 5000;
            t.progress.currentRate = 300000;
        }
    };
    const auto release = [&held] {  // lets a reader blocked on the FIFO see an empty file
        for (int tries = 0; tries < 2000; ++tries) {
            const int fd = open(held.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                close(fd);
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    };

    h.Controller().StartVerification(false);
    ASSERT_TRUE(WaitFor([&] { return h.Controller().State() == S::Md5Checking; }));
    // Files 0..2 are quick; file 3 is the FIFO, where the check waits.
    ASSERT_TRUE(WaitFor([&] { return h.Controller().VerifyProgress() >= 6000; }));
    w.SlowStep();
    w.FastStep();
    SlowStepResult t = w.ShownTexts();
    EXPECT_EQ(t.progressLabel, "验证进度:");
    EXPECT_EQ(t.activity, "文件验证中...");
    EXPECT_TRUE(t.activityIsLabel);
    EXPECT_EQ(t.percentText, "60.00%");  // three of five equal files
    EXPECT_EQ(t.fileStatus[1], "√ 验证通过  ");
    EXPECT_EQ(t.fileStatus[4], "待验证    ");
    EXPECT_FALSE(w.Button(kIdInstall)->isEnabled());

    ASSERT_TRUE(release());
    ASSERT_TRUE(WaitFor([&] { return h.Controller().RepairProgress() == 5000; }));
    ASSERT_EQ(h.Controller().State(), S::CheckRecover);
    const std::string speed = h.Controller().RepairSpeedText();
    EXPECT_EQ(speed, "293.0 KB/s");
    std::string pattern;
    for (int redraw = 0; redraw < 24; ++redraw) {
        w.SlowStep();
        t = w.ShownTexts();
        ASSERT_EQ(t.progressLabel, "修复进度:");
        ASSERT_EQ(t.percentText, "50.00%");
        if (t.activity == "修复中...") {
            EXPECT_TRUE(t.activityIsLabel);
            pattern += 'w';
        } else {
            EXPECT_EQ(t.activity, speed);
            EXPECT_FALSE(t.activityIsLabel);
            pattern += 's';
        }
    }
    EXPECT_EQ(pattern, "wwwwsssssssswwwwssssssss");

    h.engine.Complete(h.Name(3));
    ASSERT_TRUE(WaitFor([&] { return !h.Controller().VerificationRunning(); }));
    ASSERT_EQ(h.Controller().State(), S::CheckFinished);
    w.SlowStep();
    EXPECT_EQ(w.ShownTexts().endStatus, "√ 修复成功");
}

TEST(MainWindowTextsTest, RepairActivityStartsWithPreparationAndCountsOnlyRepairRedraws) {
    SlowStep step;
    bool label = false;
    EXPECT_EQ(step.RepairActivity(0, "1.0 KB/s", label), "修复准备...");
    EXPECT_TRUE(label);
    EXPECT_EQ(step.RepairActivity(1, "1.0 KB/s", label), "修复中...");
    for (int i = 0; i < 3; ++i) {
        (void)step.RepairActivity(1, "1.0 KB/s", label);
    }
    EXPECT_EQ(step.RepairActivity(1, "1.0 KB/s", label), "1.0 KB/s");
    EXPECT_FALSE(label);
    EXPECT_EQ(PercentText(1234), "12.34%");
    EXPECT_EQ(PercentText(10000), "100.00%");
}

}  // namespace
}  // namespace koruvan::ui
