// The end of the download: launching the installer, and the exit step that reports how the
// program ended and releases the engine. (The automatic shutdown after a download is
// requested when `finished` is observed and carried out at the end of that step.)
#include "app/ControllerText.h"
#include "app/DownloadController.h"
#include "engine/core/base/KoruvanLog.h"
#include "platform/Paths.h"

namespace koruvan::app {
namespace {

constexpr std::string_view kInstallFailedTitle = "安装失败";
constexpr int kEventLogCategory = 28;

}  // namespace

// The installer is the entrance file in the save folder. It is launched without waiting
// for it; a successful launch ends this program (the front end closes its window). The
// state is `installing` only for the duration of the attempt, under the step lock, so the
// periodic steps never see it.
void DownloadController::LaunchInstaller(bool verified) {
    std::lock_guard<std::mutex> step(stepLock_);
    ReapVerifyThread();
    std::string path;
    std::string folder;
    std::string entrance;
    ControllerState previous;
    {
        std::lock_guard<std::mutex> fields(lock_);
        previous = state_;
        SetStateLocked(ControllerState::Installing);
        folder = saveFolder_;
        entrance = entrance_;
        path = platform::JoinPath(folder, entrance);
    }
    const auto restore = [&] {
        std::lock_guard<std::mutex> fields(lock_);
        SetStateLocked(previous);
    };
    if (!platform::FileExists(path)) {
        Notice("安装程序丢失", kInstallFailedTitle);
        ReportControllerEvent(events_, "11600102", "用户点击安装按钮，但是找不到安装程序，安装失败",
                              entrance);
        Log("安装失败] [用户点击安装按钮，但是找不到安装程序");
        restore();
        return;
    }
    const int code = env_.openInstaller(path, folder);
    restore();
    if (code < 32) {
        const std::string message = std::string("安装程序无法正常打开，原因：") +
                                    (verified ? "本次安装前通过了校验" : "本次安装前没有校验") +
                                    std::string(LaunchFailureReason(code));
        Notice("安装程序无法正常打开", kInstallFailedTitle);
        Log(message);
        try {
            events_.Report(UsageEvent{"11600101", message, entrance});
        } catch (...) {
            engine::WriteLog("DC failed", kEventLogCategory, kEventLogCategory);
        }
        return;
    }
    Log("开始安装] [用户点击安装按钮");
    {
        std::lock_guard<std::mutex> fields(lock_);
        installerStarted_ = true;
    }
    frontEnd_.CloseMainWindow();
}

void DownloadController::OnExit() {
    std::lock_guard<std::mutex> step(stepLock_);
    {
        std::lock_guard<std::mutex> fields(lock_);
        if (exitDone_) {
            return;
        }
        exitDone_ = true;
    }
    // Nothing may touch the engine or the controller once it is cleaned up: the
    // verification thread is stopped, and a refresh still waiting for its server is cut off.
    stopVerify_.store(true);
    if (verifyThread_.joinable()) {
        verifyThread_.join();
    }
    refresher_->Detach();
    {
        std::lock_guard<std::mutex> fields(lock_);
        SaveDownloadSecondsLocked();
        if (userExit_) {
            Log("用户点击退出按钮");
            if (state_ != ControllerState::Finished && state_ != ControllerState::Back &&
                state_ != ControllerState::Ready) {
                ReportStatisticsLocked("11040000");
            }
            Log("=====================退出=====================");
        } else if (installerStarted_) {
            Log("由于启动了安装程序，退出");
            Log("=====================退出=====================");
        } else {
            ReportStatisticsLocked("11990501", "Unknow Exit, maybe crashed");
            Log("遭遇意外退出");
            SetStateLocked(ControllerState::Crashed);
            Log("=====================已退出=====================");
        }
    }
    engine::CloseEngineLog();
    (void)engine_.EngineCleanup();
}

}  // namespace koruvan::app
