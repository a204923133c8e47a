#include "ui/WindowSteps.h"

#include <algorithm>
#include <cstdio>

#include "app/DownloadController.h"

namespace koruvan::ui {
namespace {

using app::ControllerState;

constexpr int kRepairCycle = 12;       // redraws per cycle in checkrecover …
constexpr int kRepairWordRedraws = 4;  // … of which the first show the word

std::uint32_t WholePercent(std::uint32_t hundredths) {
    return std::min<std::uint32_t>(hundredths / 100, 100);
}

bool IsEndState(ControllerState s) {
    return s == ControllerState::Finished || s == ControllerState::Installing ||
           s == ControllerState::CheckFinished;
}

}  // namespace

FastStepResult RunFastStep(app::DownloadController& controller) {
    FastStepResult r;
    r.state = controller.Reconcile();
    r.overallPercent = WholePercent(controller.OverallProgress());
    const auto code = static_cast<std::int32_t>(r.state);
    if (code >= static_cast<std::int32_t>(ControllerState::Md5Checking) &&
        code <= static_cast<std::int32_t>(ControllerState::Installing)) {
        r.verifyPercent = WholePercent(controller.VerifyProgress());
    }
    r.diskShort = controller.DiskShort();
    return r;
}

std::string PercentText(std::uint32_t hundredths) {
    char text[32];
    std::snprintf(text, sizeof text, "%3.2f%%", hundredths / 100.0);
    return text;
}

std::string SlowStep::RepairActivity(std::uint32_t repairProgress, const std::string& repairSpeed,
                                     bool& isLabel) {
    if (repairProgress == 0) {
        isLabel = true;
        return "修复准备...";
    }
    const int redraw = repairRedraws_++ % kRepairCycle;
    isLabel = redraw < kRepairWordRedraws;
    return isLabel ? "修复中..." : repairSpeed;
}

SlowStepResult SlowStep::Run(app::DownloadController& controller) {
    SlowStepResult r;
    r.state = controller.State();
    if (r.state != last_) {
        repairRedraws_ = 0;  // the count belongs to one stay in checkrecover
        last_ = r.state;
    }
    // 1. The status row: the end status, or a whole repaint, which reads the speed once.
    if (IsEndState(r.state)) {
        r.showsEndStatus = true;
        if (r.state == ControllerState::CheckFinished) {
            r.endStatus = controller.MismatchSeen() ? "√ 修复成功" : "√ 验证通过";
        } else {
            r.endStatus = "下载完成";
        }
    } else {
        r.activity = controller.SpeedText();
    }
    // 2. Unless the download is over: the second's tick, then the texts.
    if (r.state != ControllerState::Finished && r.state != ControllerState::CheckFinished) {
        r.ticked = true;
        controller.Tick();
        switch (r.state) {
            case ControllerState::Md5Checking:
                r.activity = "文件验证中...";
                r.activityIsLabel = true;
                break;
            case ControllerState::CheckRecover:
                r.activity = RepairActivity(controller.RepairProgress(),
                                            controller.RepairSpeedText(), r.activityIsLabel);
                break;
            default:
                r.activity = controller.SpeedText();
                break;
        }
        if (r.state == ControllerState::Md5Checking) {
            r.progressLabel = "验证进度:";
            r.percentText = PercentText(controller.VerifyProgress());
        } else if (r.state == ControllerState::CheckRecover) {
            r.progressLabel = "修复进度:";
            const std::uint32_t repair = controller.RepairProgress();
            r.percentText = repair == 0 ? "准备中" : PercentText(repair);
        } else {
            r.progressLabel = "当前进度:";
            r.percentText = PercentText(controller.OverallProgress());
        }
    }
    // The size is part of every whole repaint (in the end states too: the total twice).
    r.sizeText = controller.SizeText();
    // 3. The list's status column.
    for (int i = 0; i < app::kFileCount; ++i) {
        r.fileStatus[static_cast<std::size_t>(i)] = controller.FileStatusText(i);
    }
    r.reason = StallReason(r.state, controller.DiskShort(), controller.DiskWatchRuns(),
                           controller.ProblemText());
    return r;
}

std::string StallReason(ControllerState state, bool diskShort, bool diskWatchRuns,
                        const std::string& problemText) {
    if (IsEndState(state) || state == ControllerState::CheckFinished) {
        return {};
    }
    if (diskShort) {
        if (state == ControllerState::Back || state == ControllerState::Ready) {
            return "当前磁盘空间不足，请选择其他位置存放";  // another folder re-enables Start
        }
        // The disk watch lifts the shortage by itself once space is freed; without it only a
        // new start of the program measures again.
        return diskWatchRuns ? "预留磁盘空间不足，下载暂停。"
                             : "磁盘空间不足，请检查并重新启动下载器！";
    }
    return problemText;
}

ButtonLayout LayoutFor(ControllerState state, bool diskShort) {
    ButtonLayout l;
    const auto folderView = [&l] {
        l.change.shown = false;
        l.openView.shown = true;
    };
    switch (state) {
        case ControllerState::Back:
        case ControllerState::Ready:
            l.start.enabled = !diskShort;
            break;
        case ControllerState::Preparing:
            l.pause.shown = true;
            l.start.shown = false;
            l.pause.enabled = true;
            l.change.enabled = false;
            break;
        case ControllerState::Downloading:
        case ControllerState::Resume:
            l.resume.shown = false;
            l.pause.shown = true;
            l.pause.enabled = !diskShort;
            folderView();
            break;
        case ControllerState::Pause:
            l.pause.shown = false;
            l.resume.shown = true;
            l.resume.enabled = !diskShort;
            folderView();
            break;
        case ControllerState::Failed:
            l.pause.enabled = false;
            l.resume.enabled = false;
            l.install.enabled = false;
            l.start.enabled = false;
            folderView();
            break;
        case ControllerState::Finished:
        case ControllerState::CheckFinished:
            l.start.shown = l.pause.shown = l.resume.shown = false;
            l.install.shown = true;
            l.install.enabled = true;
            folderView();
            break;
        case ControllerState::Md5Checking:
        case ControllerState::CheckRecover:
            l.start.shown = l.pause.shown = l.resume.shown = false;
            l.install.shown = true;
            l.install.enabled = false;
            folderView();
            break;
        case ControllerState::Recover:
        case ControllerState::Reload:
            l.pause.enabled = false;
            l.change.enabled = false;
            break;
        default:
            break;
    }
    return l;
}

}  // namespace koruvan::ui
