#include "ui/CExitWndSetDlg.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "ui/DialogPlacement.h"

namespace koruvan::ui {

CExitWndSetDlg::CExitWndSetDlg(WindowSettings& settings,
                               std::function<void(std::uint32_t, std::uintptr_t)> send,
                               QWidget* parent)
    : QDialog(parent), settings_(settings), send_(std::move(send)) {
    setObjectName(QStringLiteral("dlg174"));
    setWindowTitle(QStringLiteral("关闭"));
    auto* group = new QGroupBox(QStringLiteral("您点击了关闭按钮，您是想："), this);
    tray_ = new QRadioButton(QStringLiteral("最小化到系统托盘，不退出程序"), group);
    exit_ = new QRadioButton(QStringLiteral("退出程序"), group);
    tray_->setObjectName(QStringLiteral("ctl1035"));
    exit_->setObjectName(QStringLiteral("ctl1036"));
    auto* choices = new QVBoxLayout(group);
    choices->addWidget(tray_);
    choices->addWidget(exit_);
    remember_ = new QCheckBox(QStringLiteral("记住我的选择"), this);
    remember_->setObjectName(QStringLiteral("ctl1040"));
    ok_ = new QPushButton(QStringLiteral("确定"), this);
    ok_->setObjectName(QStringLiteral("ctl1044"));
    ok_->setDefault(true);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(remember_);
    bottom->addStretch();
    bottom->addWidget(ok_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addLayout(bottom);
    connect(ok_, &QPushButton::clicked, this, &CExitWndSetDlg::Confirm);
    MakeFixedSizeDialog(this);
    KeepCentredOn(this, parent);
}

void CExitWndSetDlg::showEvent(QShowEvent* event) {
    tray_->setChecked(true);
    QDialog::showEvent(event);
    showNormal();
    raise();
    activateWindow();
}

void CExitWndSetDlg::Confirm() {
    const int choice = tray_->isChecked() ? kCloseToTray : kCloseExits;
    settings_.lastCloseChoice = choice;
    if (remember_->isChecked() && send_) {
        send_(kSetCloseChoiceMessage, static_cast<std::uintptr_t>(choice));
    }
    done(choice);
}

}  // namespace koruvan::ui
