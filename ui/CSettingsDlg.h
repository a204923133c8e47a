// The settings dialog ("下载设置"): the download speed limit and the shutdown after the
// download. It reads and writes the process-wide values (WindowSettings) and posts its
// results to the main window as window messages; it never talks to the controller.
//
// Controls (ids of the old dialog, kept as object names "ctl<id>" for tests and styling):
// 1047 group "速度设置", 1015 check "下载速度限制:", 1022 number edit, 1023 up-down
// (10..30000), 1028 "KB/s", 1046 group "高级设置", 1040 check "下载完成后关机", 1041 check
// "启用P2P" (hidden), 1024/1025/1030 the HTTP connection edit, up-down and label (hidden),
// 1029 "设置" (default button), 2 "取消".
#pragma once

#include <QDialog>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>

#include "ui/WindowSettings.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;

namespace koruvan::ui {

// An up-down control with a buddy edit: the arrows step the position within the range and
// write it into the buddy; the position is read back from the buddy's text, with an error
// when that text is not a number in the range (what the user may have typed).
class CUpDownCtrl : public QWidget {
    Q_OBJECT

  public:
    explicit CUpDownCtrl(QWidget* parent = nullptr);
    void SetBuddy(QLineEdit* buddy) { buddy_ = buddy; }
    void SetRange(int lowest, int highest);
    void SetPos(int position);
    // The buddy's number; `outOfRange` is set when it is no number or outside the range (the
    // result is then clamped into the range).
    [[nodiscard]] int Pos(bool* outOfRange = nullptr) const;
    [[nodiscard]] int Lowest() const noexcept { return lowest_; }
    [[nodiscard]] int Highest() const noexcept { return highest_; }

  private:
    void Step(int delta);

    QLineEdit* buddy_ = nullptr;
    QToolButton* up_ = nullptr;
    QToolButton* down_ = nullptr;
    int lowest_ = 0;
    int highest_ = 100;
};

class CSettingsDlg : public QDialog {
    Q_OBJECT

  public:
    // `post` sends a window message (message, wParam) to the main window; `notice` shows a
    // notice that does not block (text, title).
    CSettingsDlg(WindowSettings& settings, std::function<void(std::uint32_t, std::uintptr_t)> post,
                 std::function<void(const QString&, const QString&)> notice,
                 QWidget* parent = nullptr);

    QCheckBox* LimitCheck() const { return limitCheck_; }        // 1015
    QLineEdit* LimitEdit() const { return limitEdit_; }          // 1022
    CUpDownCtrl* LimitUpDown() const { return limitUpDown_; }    // 1023
    QCheckBox* ShutdownCheck() const { return shutdownCheck_; }  // 1040
    QCheckBox* P2PCheck() const { return p2pCheck_; }            // 1041
    QPushButton* ApplyButton() const { return apply_; }          // 1029
    QPushButton* CancelButton() const { return cancel_; }        // 2

    // Fills the controls from the process-wide values (every opening).
    void InitDialog();
    // "设置": checks the limit, posts the three messages and closes; false (the dialog
    // stays open) when the limit is out of range.
    bool Apply();

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void BuildControls();
    void LimitToggled(bool checked);
    void ShowUnlimited();

    WindowSettings& settings_;
    std::function<void(std::uint32_t, std::uintptr_t)> post_;
    std::function<void(const QString&, const QString&)> notice_;
    QCheckBox* limitCheck_ = nullptr;
    QLineEdit* limitEdit_ = nullptr;
    CUpDownCtrl* limitUpDown_ = nullptr;
    QCheckBox* shutdownCheck_ = nullptr;
    QCheckBox* p2pCheck_ = nullptr;
    QLineEdit* httpEdit_ = nullptr;
    CUpDownCtrl* httpUpDown_ = nullptr;
    QLabel* httpLabel_ = nullptr;
    QPushButton* apply_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

}  // namespace koruvan::ui
