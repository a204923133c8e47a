// The end of the download: launching the installer (missing, refused, really started), the
// automatic shutdown through the recording stub, and the three endings of the exit step.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "ControllerFakes.h"
#include "platform/EnvGuard.h"
#include "platform/Launch.h"

namespace koruvan::app {
namespace {

using test::ControllerHarness;
using S = ControllerState;

const std::string kStub = std::string(KORUVAN_SOURCE_DIR) + "/tests/support/shutdown-stub.sh";

DownloadController& Finished(ControllerHarness& h) {
    DownloadController& c = h.Downloading();
    h.CompleteAll(c);
    EXPECT_EQ(c.State(), S::Finished);
    return c;
}

TEST(ControllerInstallTest, MissingInstallerLeavesInstallUsable) {
    ControllerHarness h;
    DownloadController& c = Finished(h);
    std::filesystem::remove(h.Target(0));
    c.LaunchInstaller(true);
    ASSERT_EQ(h.front.notices.size(), 1u);
    EXPECT_EQ(h.front.notices[0],
              std::make_pair(std::string("安装程序丢失"), std::string("安装失败")));
    const DetailedEvent e = h.events.Last("11600102");
    EXPECT_EQ(e.fileName, "setup.exe");
    EXPECT_EQ(e.errorMessage, "用户点击安装按钮，但是找不到安装程序，安装失败");
    EXPECT_TRUE(h.log.Has("安装失败] [用户点击安装按钮，但是找不到安装程序"));
    EXPECT_EQ(c.State(), S::Finished);
    EXPECT_TRUE(h.launches.empty());
    test::WriteFile(h.Target(0), "#!/bin/sh\n");
    c.LaunchInstaller(true);
    EXPECT_TRUE(c.InstallerStarted());
}

TEST(ControllerInstallTest, RefusedLaunchJoinsTheThreePartsOfTheReason) {
    ControllerHarness h;
    h.launchResult = platform::kLaunchAccessDenied;
    DownloadController& c = Finished(h);
    c.LaunchInstaller(false);
    const std::string message =
        "安装程序无法正常打开，原因：本次安装前没有校验The operating system denied access to "
        "the specified file.";
    EXPECT_TRUE(h.log.Has(message));
    EXPECT_EQ(h.events.Last("11600101").errorMessage, message);
    EXPECT_EQ(h.events.Last("11600101").fileName, "setup.exe");
    EXPECT_EQ(h.front.CountNotice("安装程序无法正常打开"), 1);
    EXPECT_EQ(c.State(), S::Finished);
    EXPECT_FALSE(c.InstallerStarted());
    EXPECT_EQ(h.front.closeRequests, 0);
    h.launchResult = 31;
    c.LaunchInstaller(true);
    EXPECT_EQ(h.events.Last("11600101").errorMessage,
              "安装程序无法正常打开，原因：本次安装前通过了校验There is no application associated "
              "with the given file name extension. This error will also be returned if you "
              "attempt to print a file that is not printable.");
}

TEST(ControllerInstallTest, ScriptInstallerRunsInTheSaveFolderAndEndsTheProgram) {
    ControllerHarness h;
    h.env.openInstaller = nullptr;  // the real launch
    DownloadController& c = Finished(h);
    test::WriteFile(h.Target(0), "#!/bin/sh\necho \"installed $1\" > installed.txt\n");
    c.LaunchInstaller(false);
    EXPECT_TRUE(c.InstallerStarted());
    EXPECT_EQ(h.front.closeRequests, 1);
    EXPECT_TRUE(h.log.Has("开始安装] [用户点击安装按钮"));
    const std::string marker = h.SaveFolder() + "/installed.txt";
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (test::ReadFile(marker).empty() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(test::ReadFile(marker), "installed \n");
    c.OnExit();
    EXPECT_TRUE(h.log.Has("由于启动了安装程序，退出"));
    EXPECT_EQ(h.events.Count("11990501"), 0);
    EXPECT_EQ(h.engine.cleanups, 1);
}

TEST(ControllerInstallTest, LaunchCodesForFilesThatCannotRun) {
    test::TempDir dir;
    test::EnvGuard env;
    env.Set("PATH", dir.File("empty-bin"));  // neither wine nor xdg-open
    EXPECT_EQ(platform::OpenInstaller(dir.File("absent.exe"), dir.Path()),
              platform::kLaunchFileNotFound);
    test::WriteFile(dir.File("file"), "x");
    EXPECT_EQ(platform::OpenInstaller(dir.File("file/setup.exe"), dir.Path()),
              platform::kLaunchPathNotFound);
    test::WriteFile(dir.File("setup.exe"), "MZ\x90\x00 a Windows program");
    EXPECT_EQ(platform::OpenInstaller(dir.File("setup.exe"), dir.Path()),
              platform::kLaunchNoAssociation);
    test::WriteFile(dir.File("setup.sh"), "#!/nonexistent/interpreter\n");
    EXPECT_EQ(platform::OpenInstaller(dir.File("setup.sh"), dir.Path()),
              platform::kLaunchFileNotFound);
    EXPECT_EQ(platform::LaunchCodeFromErrno(EACCES), 5);
    EXPECT_EQ(platform::LaunchCodeFromErrno(EPERM), 5);
    EXPECT_EQ(platform::LaunchCodeFromErrno(ENOMEM), 8);
    EXPECT_EQ(platform::LaunchCodeFromErrno(ENOEXEC), 11);
    EXPECT_EQ(platform::LaunchCodeFromErrno(EIO), 0);
}

TEST(ControllerShutdownTest, PowerOffGoesThroughTheConfiguredCommand) {
    test::TempDir dir;
    test::EnvGuard env;
    env.Set("KORUVAN_SHUTDOWN_CMD", kStub);
    env.Set("KORUVAN_SHUTDOWN_LOG", dir.File("shutdown.log"));
    ControllerHarness h;
    h.env.scheduleShutdown = nullptr;  // the real request, to the stub
    DownloadController& c = h.Downloading();
    c.SetShutdownAfterDownload(true);
    h.CompleteAll(c);
    EXPECT_EQ(test::ReadFile(dir.File("shutdown.log")), "-P +1 一分钟后将自动关机\n");
    EXPECT_EQ(h.front.CountNotice("自动关机失败，请手动关机"), 0);

    env.Set("KORUVAN_SHUTDOWN_CMD", "/bin/false");
    EXPECT_FALSE(platform::ScheduleSystemShutdown("x", 1));
    env.Set("KORUVAN_SHUTDOWN_CMD", dir.File("no-such-command"));
    EXPECT_FALSE(platform::ScheduleSystemShutdown("x", 1));
}

TEST(ControllerShutdownTest, RefusedPowerOffIsToldToTheUser) {
    test::EnvGuard env;
    env.Set("KORUVAN_SHUTDOWN_CMD", "/bin/false");
    ControllerHarness h;
    h.env.scheduleShutdown = nullptr;
    DownloadController& c = h.Downloading();
    c.SetShutdownAfterDownload(true);
    h.CompleteAll(c);
    EXPECT_EQ(c.State(), S::Finished);
    EXPECT_EQ(h.front.CountNotice("自动关机失败，请手动关机"), 1);
}

TEST(ControllerExitTest, QuittingDuringTheDownloadReportsItOnce) {
    ControllerHarness h;
    DownloadController& c = h.Downloading();
    c.Tick();
    c.RequestExit();
    c.OnExit();
    EXPECT_TRUE(h.log.Has("用户点击退出按钮"));
    EXPECT_TRUE(h.log.Has("=====================退出====================="));
    EXPECT_EQ(h.events.Count("11040000"), 1);
    EXPECT_EQ(h.events.Last("11040000").totalSeconds, 1u);
    EXPECT_EQ(h.engine.cleanups, 1);
    c.OnExit();
    EXPECT_EQ(h.events.Count("11040000"), 1);
    EXPECT_EQ(h.engine.cleanups, 1);
}

TEST(ControllerExitTest, QuittingBeforeStartReportsNothing) {
    ControllerHarness h;
    DownloadController& c = h.Start();
    c.RequestExit();
    c.CancelExit();
    c.RequestExit();
    c.OnExit();
    EXPECT_EQ(h.events.Count("11040000"), 0);
    EXPECT_TRUE(h.log.Has("用户点击退出按钮"));
}

TEST(ControllerExitTest, EndingWithoutAUserExitCountsAsACrash) {
    ControllerHarness h;
    DownloadController& c = h.Downloading();
    c.OnExit();
    EXPECT_EQ(c.State(), S::Crashed);
    EXPECT_EQ(h.events.Last("11990501").errorMessage, "Unknow Exit, maybe crashed");
    EXPECT_TRUE(h.log.Has("遭遇意外退出"));
    EXPECT_TRUE(h.log.Has("=====================已退出====================="));
    EXPECT_EQ(h.engine.cleanups, 1);
}

TEST(ControllerExitTest, ExitStopsARunningVerification) {
    ControllerHarness h;
    DownloadController& c = Finished(h);
    test::WriteFile(h.Target(1), "damaged");
    // The repair never completes: only the exit can end the wait.
    h.engine.onRecover = [](test::ScriptedEngine::Task& t) { t.progress.progress = 5000; };
    c.StartVerification(false);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (c.RepairProgress() == 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(c.RepairProgress(), 5000u);
    EXPECT_EQ(c.State(), S::CheckRecover);
    EXPECT_EQ(c.FileStatusText(1), "修复中：50.00%  ");
    c.RequestExit();
    c.OnExit();
    EXPECT_FALSE(c.VerificationRunning());
    EXPECT_EQ(h.events.Count("11040000"), 1);
}

}  // namespace
}  // namespace koruvan::app
