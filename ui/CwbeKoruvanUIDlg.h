// The main window: one fixed-size, skinned, borderless window with the progress bar, the
// status texts, four large state buttons that replace one another in the same place, three
// small title-bar buttons and a file list that folds away. It owns the download controller,
// starts it, runs the two periodic steps that drive it (100 ms and 1 s, each on a timer
// thread of its own that hands its results to the window's thread), and turns every user
// command into a controller call.
//
// The code is split along its concerns:
//   CwbeKoruvanUIDlg.cpp          construction, start-up, the periodic steps, messages
//   CwbeKoruvanUIDlgPaint.cpp     drawing (whole window and the partial redraws)
//   CwbeKoruvanUIDlgCommands.cpp  buttons, folder, close, tray, list toggle, mouse and keys
#pragma once

#include <QDialog>
#include <QPointer>
#include <QRect>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "app/ControllerState.h"
#include "app/DownloadController.h"
#include "app/EventSink.h"
#include "app/Plan.h"
#include "app/ResourceList.h"
#include "ui/WindowSettings.h"
#include "ui/WindowSteps.h"

class QSystemTrayIcon;
class QMenu;

namespace koruvan::ui {

class CPictureButton;
class CSkinListCtrl;
class CSettingsDlg;
class CExitWndSetDlg;
class QtFrontEnd;
class StepTimer;

// Geometry of the window (client pixels).
namespace window_layout {
inline constexpr int kWidth = 411;
inline constexpr int kCollapsedHeight = 307;
inline constexpr int kListToggleGrowth = 78;
inline constexpr int kCaptionHeight = 38;  // the band the window is dragged by
inline const QRect kLargeButton{318, 244, 85, 32};
inline const QRect kFolderButton{372, 203, 26, 26};
inline const QRect kSettingsButton{318, 10, 25, 25};
inline const QRect kMinimiseButton{346, 10, 25, 25};
inline const QRect kCloseButton{374, 10, 25, 25};
inline const QRect kListCollapsed{0, 342, 408, 78};
inline const QRect kListExpanded{0, 308, 408, 77};
inline const QRect kListToggleArea{186, 278, 32, 30};  // x 186..217, y 278..307
inline const QRect kVersionText{9, 205, 121, 25};
inline const QRect kFolderLabel{190, 205, 60, 25};
inline const QRect kFolderText{255, 205, 112, 25};
inline const QRect kSizeText{9, 260, 115, 20};
inline const QRect kSpeedText{129, 260, 75, 20};
inline const QRect kProgressLabel{209, 260, 50, 20};
inline const QRect kPercentText{262, 260, 50, 20};
inline const QRect kEndStatus{129, 260, 183, 20};
inline const QRect kProgressBar{11, 244, 286, 12};
// Why the download stands still, on the dark ground under the picture (empty otherwise).
inline const QRect kReasonText{9, 178, 393, 22};
inline constexpr int kCollapsedShapeFirstRow = 283;
inline constexpr int kCollapsedShapeLastRow = 308;
}  // namespace window_layout

// Control ids of the window (object names "ctl<id>").
enum ControlId : int {
    kIdStart = 1007,
    kIdPause = 1043,
    kIdContinue = 1044,
    kIdInstall = 1041,
    kIdChangeFolder = 1002,
    kIdOpenFolder = 1042,
    kIdSettings = 1013,
    kIdMinimise = 1010,
    kIdClose = 1011,
    kIdFileList = 1009,
};

// What the window does where it reaches beyond itself; each left empty does the usual thing.
struct WindowOptions {
    bool runTimers = true;   // false: tests run the steps themselves (FastStep, SlowStep)
    bool asyncStart = true;  // the controller's start-up on a thread of its own
    // Installs the plan and fetches the signing configuration (default: InstallPlan and
    // ParseSecConfig).
    std::function<void(const app::DownloadPlan&)> preparePlan;
    // The expiry check of a fresh start (default: CheckExpiry of the resource list).
    std::function<std::optional<app::ExpiryNotice>()> checkExpiry;
    // The folder browser; nullopt when cancelled (default: a folder dialog).
    std::function<std::optional<QString>(const QString& title, const QString& start)> chooseFolder;
    // Shows a folder, or a file selected in its folder (default: the desktop's file
    // manager, else xdg-open on the folder).
    std::function<void(const QString& path, bool selectFile)> showInFileManager;
    // Opens a URL with the desktop (default: QDesktopServices).
    std::function<void(const QString& url)> openUrl;
    // Boxes (default: message boxes). Notices must not block.
    std::function<void(const QString& text, const QString& title)> notice;
    std::function<void(const QString& text, const QString& title)> modalNotice;
    std::function<bool(const QString& question, const QString& title)> askYesNo;
    // Whether a system tray exists (default: QSystemTrayIcon::isSystemTrayAvailable).
    std::function<bool()> trayAvailable;
    // The folder shown before the controller knows one, and the initial save folder of a
    // start with nothing under way (the command line's --save-dir); empty: none.
    QString initialSaveFolder;
};

class CwbeKoruvanUIDlg : public QDialog {
    Q_OBJECT

  public:
    CwbeKoruvanUIDlg(app::DownloadPlan plan, app::EventSink& events,
                     app::ControllerEnvironment environment, WindowOptions options = {},
                     WindowSettings& settings = ProcessWindowSettings(), QWidget* parent = nullptr);
    ~CwbeKoruvanUIDlg() override;

    // The initialisation, in its fixed order. The controller's start runs on a thread of its
    // own (unless options say otherwise); StartupFinished reports its end.
    void InitDialog();

    // --- what tests and the application object use ---------------------------------------
    app::DownloadController& Controller() { return *controller_; }
    [[nodiscard]] int InitResult() const noexcept { return initResult_; }
    [[nodiscard]] bool Started() const noexcept { return started_; }
    [[nodiscard]] bool Collapsed() const noexcept { return collapsed_; }
    [[nodiscard]] bool Destroyed() const noexcept { return destroyed_; }
    [[nodiscard]] bool InTray() const;
    [[nodiscard]] QString FolderText() const { return folderText_; }
    // The save folder as drawn: elided at the left when it does not fit, so that the chosen
    // folder and the download folder's own name stay visible (the whole path is the tooltip).
    [[nodiscard]] QString ShownFolderText() const;
    // The reason line as drawn (elided to fit; the whole text is the tooltip).
    [[nodiscard]] QString ShownReasonText() const;
    // The tooltip at a point of the window: the whole save folder or reason; empty elsewhere.
    [[nodiscard]] QString ToolTipAt(const QPoint& point) const;
    [[nodiscard]] app::ControllerState ShownState() const noexcept { return shownState_; }
    [[nodiscard]] const SlowStepResult& ShownTexts() const noexcept { return shownTexts_; }
    [[nodiscard]] const FastStepResult& ShownProgress() const noexcept { return shownFast_; }
    CPictureButton* Button(ControlId id) const;
    CSkinListCtrl* FileList() const { return list_; }
    CSettingsDlg* SettingsDialog() const { return settingsDlg_; }
    CExitWndSetDlg* CloseDialog() const { return closeDlg_; }

    // The periodic steps run here on the caller's thread (tests; the timers do the same).
    void FastStep();
    void SlowStep();
    // Results of the steps, on the window's thread.
    void ApplyFastStep(const FastStepResult& result);
    void ApplySlowStep(const SlowStepResult& result);
    // The buttons for a (state, diskShort) pair.
    void LayOutButtons(app::ControllerState state, bool diskShort);

    // Window messages: queued (posted) or handled at once (sent), on the window's thread.
    void PostWindowMessage(std::uint32_t message, std::uintptr_t wParam = 0,
                           std::intptr_t lParam = 0);
    void SendWindowMessage(std::uint32_t message, std::uintptr_t wParam = 0,
                           std::intptr_t lParam = 0);

    // Commands.
    void OnCommand(int id);
    void FolderCommand();
    void CloseCommand();
    void CancelCommand();  // IDCANCEL: tray menu, system close
    void MinimiseToTray();
    void TrayDoubleClicked();
    void TrayRightClicked(const QPoint& where);
    void ToggleList();
    // A later start handed over: the window comes back (also from the tray) and to the front.
    void BringToFront();
    // Exit = RequestExit and destroy; destroy = the end of the window.
    void Exit();
    void DestroyWindow();

  signals:
    void StartupFinished(int initResult);
    // The window is gone (exit, installer, failed start-up); the program should end.
    void Ended();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;
    void reject() override;

  private:
    // Start-up (CwbeKoruvanUIDlg.cpp).
    void CreateControls();
    void FillList();
    void StartController();
    void FinishStart(int initResult, std::optional<app::ExpiryNotice> expiry);
    void StartTimers();
    void HandleMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
    QtFrontEnd* MakeFrontEnd();
    void ApplyShape();
    // A new fixed size, the window staying where the window system has it.
    void ResizeInPlace(const QSize& size);
    void ShapeLargeButtons();
    // Runs `change` (which shows, hides, enables and disables the large buttons); when it
    // took the focus from the large button, the focus goes to the one usable in its place (or
    // comes back to it later), with a focus frame only when the keyboard had brought it there
    // (Qt's own hand-over looks like a Tab).
    void KeepLargeButtonFocus(const std::function<void()>& change);

    // Drawing (CwbeKoruvanUIDlgPaint.cpp).
    void PaintAll(QPainter& painter, const QRect& area);
    void DrawStatusRow(QPainter& painter);
    void DrawProgress(QPainter& painter);
    void DrawText(QPainter& painter, const QRect& rect, const QString& text, std::uint32_t colour,
                  bool centred);
    // `text` as it fits into `width` pixels of the window's font.
    [[nodiscard]] static QString Fitted(const QString& text, int width, Qt::TextElideMode mode);
    void RedrawArea(const QRect& rect);
    void UpdateListTexts();

    // Commands (CwbeKoruvanUIDlgCommands.cpp).
    void ShowNoticeBox(const QString& text, const QString& title);
    void ShowFolder(const QString& path, bool selectFile);

    app::DownloadPlan plan_;
    WindowOptions options_;
    WindowSettings& settings_;
    std::unique_ptr<QtFrontEnd> frontEnd_;
    std::unique_ptr<app::DownloadController> controller_;

    app::ControllerState shownState_ = app::ControllerState::Ready;
    bool shownDiskShort_ = false;
    app::ControllerState laidOutState_ = app::ControllerState::Ready;
    bool laidOutDiskShort_ = false;
    int initResult_ = 0;
    bool started_ = false;
    bool destroyed_ = false;
    bool exitPending_ = false;  // RequestExit was called and not cancelled
    QString folderText_;
    bool collapsed_ = true;
    FastStepResult shownFast_;  // what the progress bar shows
    bool progressDrawn_ = false;
    SlowStepResult shownTexts_;
    ui::SlowStep slowStep_;
    std::uint32_t lastSpeedLimit_ = 0;

    std::array<CPictureButton*, 9> buttons_{};  // in ControlId order of ButtonIndex()
    CSkinListCtrl* list_ = nullptr;
    CSettingsDlg* settingsDlg_ = nullptr;
    CExitWndSetDlg* closeDlg_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    QPointer<QMenu> trayMenu_;
    std::optional<QPoint> dragOffset_;
    // Where Qt moved the focus when the large button's place could not keep it (all of them
    // hidden or disabled), and whether a frame showed; see KeepLargeButtonFocus.
    QPointer<QWidget> parkedFocus_;
    bool parkedFrame_ = false;  // dragging by the caption band without a window manager

    std::thread startThread_;
    std::unique_ptr<StepTimer> fastTimer_;
    std::unique_ptr<StepTimer> slowTimer_;
};

}  // namespace koruvan::ui
