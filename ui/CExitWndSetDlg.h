// The close dialog ("关闭"): asked when the user closes the main window and no choice was
// remembered. It answers with its choice — 1 minimise to the tray, 2 quit — and, when
// "记住我的选择" is checked, sends the choice to the main window (which stores it with the
// task). Closed any other way it answers 0, and the main window does nothing.
//
// Controls: group "您点击了关闭按钮，您是想：", radio 1035 "最小化到系统托盘，不退出程序",
// radio 1036 "退出程序", check 1040 "记住我的选择", button 1044 "确定".
#pragma once

#include <QDialog>

#include <cstdint>
#include <functional>

#include "ui/WindowSettings.h"

class QCheckBox;
class QPushButton;
class QRadioButton;

namespace koruvan::ui {

class CExitWndSetDlg : public QDialog {
    Q_OBJECT

  public:
    // `send` delivers a window message (message, wParam) to the main window and returns
    // once it was handled.
    CExitWndSetDlg(WindowSettings& settings,
                   std::function<void(std::uint32_t, std::uintptr_t)> send,
                   QWidget* parent = nullptr);

    QRadioButton* TrayRadio() const { return tray_; }       // 1035
    QRadioButton* ExitRadio() const { return exit_; }       // 1036
    QCheckBox* RememberCheck() const { return remember_; }  // 1040
    QPushButton* OkButton() const { return ok_; }           // 1044

    // "确定": the choice, sent when remembered; the dialog ends with the choice as result.
    void Confirm();

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    WindowSettings& settings_;
    std::function<void(std::uint32_t, std::uintptr_t)> send_;
    QRadioButton* tray_ = nullptr;
    QRadioButton* exit_ = nullptr;
    QCheckBox* remember_ = nullptr;
    QPushButton* ok_ = nullptr;
};

}  // namespace koruvan::ui
