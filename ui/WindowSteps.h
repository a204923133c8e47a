// What the main window's two periodic steps compute, apart from the window itself: the fast
// step (every 100 ms) reconciles the controller and reads the values the progress bar and
// the buttons need; the slow step (every second) ticks the controller and builds every text
// the window draws. Both run on timer threads and only read the controller; the results are
// handed to the window's own thread, which draws them. The button layout for a (state,
// disk-short) pair is a plain table here too, so that it can be read and tested alone.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "app/ControllerState.h"
#include "app/Plan.h"

namespace koruvan::app {
class DownloadController;
}

namespace koruvan::ui {

// Text colours of the window.
inline constexpr std::uint32_t kWhiteText = 0xffffffff;
inline constexpr std::uint32_t kLabelText = 0xffb6cdda;   // RGB(182, 205, 218)
inline constexpr std::uint32_t kValueText = 0xffd6bbaa;   // RGB(214, 187, 170)
inline constexpr std::uint32_t kFolderText = 0xffcc3300;  // RGB(204, 51, 0)

struct FastStepResult {
    app::ControllerState state = app::ControllerState::Ready;
    bool diskShort = false;
    std::uint32_t overallPercent = 0;  // whole percent, at most 100
    std::uint32_t verifyPercent = 0;   // whole percent, at most 100 (states 10..13)
};

// Reconcile, then the values to draw. Runs on the fast timer thread.
[[nodiscard]] FastStepResult RunFastStep(app::DownloadController& controller);

struct SlowStepResult {
    app::ControllerState state = app::ControllerState::Ready;
    // finished, installing, checkfinished: only the end status is drawn in the status row.
    bool showsEndStatus = false;
    std::string endStatus;
    bool ticked = false;           // the rest below was computed (not finished / checkfinished)
    std::string activity;          // speed, or what the verification is doing
    bool activityIsLabel = false;  // drawn in the label colour instead of the value colour
    std::string sizeText;
    std::string progressLabel;
    std::string percentText;
    std::array<std::string, app::kFileCount> fileStatus;
    // Why the download does not move, when the controller knows: the disk shortage that keeps
    // Start, Pause or Continue greyed (in its notice's words, asking for a restart where only
    // a restart helps), or the last source failure while no data arrives. Empty otherwise.
    std::string reason;
};

// What keeps a download from moving, shown under the picture; empty when nothing does.
[[nodiscard]] std::string StallReason(app::ControllerState state, bool diskShort,
                                      bool diskWatchRuns, const std::string& problemText);

// The slow step. Keeps the count of repair redraws between calls, so one object serves one
// window for its life.
class SlowStep {
  public:
    // Runs on the slow timer thread.
    [[nodiscard]] SlowStepResult Run(app::DownloadController& controller);

    // What the activity area shows in `checkrecover` for one redraw: "修复准备..." while
    // nothing is repaired yet, then "修复中..." on the first 4 of every 12 redraws and the
    // repair speed on the other 8. Counts the redraw.
    [[nodiscard]] std::string RepairActivity(std::uint32_t repairProgress,
                                             const std::string& repairSpeed, bool& isLabel);

  private:
    int repairRedraws_ = 0;
    app::ControllerState last_ = app::ControllerState::Ready;
};

// "%3.2f%%" of hundredths of a percent.
[[nodiscard]] std::string PercentText(std::uint32_t hundredths);

// One button's change in a layout: unset parts stay as they are.
struct ButtonChange {
    std::optional<bool> shown;
    std::optional<bool> enabled;
};

struct ButtonLayout {
    ButtonChange start;     // 1007 "开始"
    ButtonChange pause;     // 1043 "暂停"
    ButtonChange resume;    // 1044 "继续"
    ButtonChange install;   // 1041 "安装"
    ButtonChange change;    // 1002 "修改"
    ButtonChange openView;  // 1042 "查看"
};

// The buttons for a state and the disk-space flag (states not in the table change nothing).
[[nodiscard]] ButtonLayout LayoutFor(app::ControllerState state, bool diskShort);

}  // namespace koruvan::ui
