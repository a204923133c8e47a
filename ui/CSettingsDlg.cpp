#include "ui/CSettingsDlg.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/DialogPlacement.h"

#include <algorithm>

namespace koruvan::ui {
namespace {

const QString kUnlimited = QStringLiteral("无限制");
const QString kRangeWarning =
    QStringLiteral("您设置的速度不在允许范围内[10KB/s - 30000KB/s]，请重新设置限速！");

template <typename W>
W* Named(W* widget, int id) {
    widget->setObjectName(QStringLiteral("ctl%1").arg(id));
    return widget;
}

}  // namespace

// --- the up-down control --------------------------------------------------------------

CUpDownCtrl::CUpDownCtrl(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    up_ = new QToolButton(this);
    down_ = new QToolButton(this);
    up_->setArrowType(Qt::UpArrow);
    down_->setArrowType(Qt::DownArrow);
    for (QToolButton* b : {up_, down_}) {
        b->setAutoRepeat(true);
        b->setFixedSize(16, 11);
        layout->addWidget(b);
    }
    connect(up_, &QToolButton::clicked, this, [this] { Step(1); });
    connect(down_, &QToolButton::clicked, this, [this] { Step(-1); });
}

void CUpDownCtrl::SetRange(int lowest, int highest) {
    lowest_ = std::min(lowest, highest);
    highest_ = std::max(lowest, highest);
}

void CUpDownCtrl::SetPos(int position) {
    if (buddy_ != nullptr) {
        buddy_->setText(QString::number(std::clamp(position, lowest_, highest_)));
    }
}

int CUpDownCtrl::Pos(bool* outOfRange) const {
    bool number = false;
    const qlonglong value = buddy_ != nullptr ? buddy_->text().trimmed().toLongLong(&number) : 0;
    const bool bad = !number || value < lowest_ || value > highest_;
    if (outOfRange != nullptr) {
        *outOfRange = bad;
    }
    if (!number) {
        return lowest_;
    }
    return static_cast<int>(std::clamp<qlonglong>(value, lowest_, highest_));
}

void CUpDownCtrl::Step(int delta) {
    if (buddy_ == nullptr || !buddy_->isEnabled()) {
        return;
    }
    SetPos(Pos() + delta);
}

// --- the dialog ---------------------------------------------------------------------------

CSettingsDlg::CSettingsDlg(WindowSettings& settings,
                           std::function<void(std::uint32_t, std::uintptr_t)> post,
                           std::function<void(const QString&, const QString&)> notice,
                           QWidget* parent)
    : QDialog(parent), settings_(settings), post_(std::move(post)), notice_(std::move(notice)) {
    setObjectName(QStringLiteral("dlg153"));
    setWindowTitle(QStringLiteral("下载设置"));
    BuildControls();
    // Hidden for good: hidden before the first layout too, so the dialog is sized without them.
    p2pCheck_->hide();
    httpLabel_->hide();
    httpUpDown_->hide();
    httpEdit_->hide();
    MakeFixedSizeDialog(this);
    KeepCentredOn(this, parent);
}

void CSettingsDlg::BuildControls() {
    auto* speed = Named(new QGroupBox(QStringLiteral("速度设置"), this), 1047);
    limitCheck_ = Named(new QCheckBox(QStringLiteral("下载速度限制:"), speed), 1015);
    limitEdit_ = Named(new QLineEdit(speed), 1022);
    // Digits only; the range is checked on "设置" (a typed 9 or 30001 gets the warning).
    limitEdit_->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9]{0,6}|") + kUnlimited), limitEdit_));
    limitEdit_->setFixedWidth(70);
    limitUpDown_ = Named(new CUpDownCtrl(speed), 1023);
    limitUpDown_->SetBuddy(limitEdit_);
    auto* unit = Named(new QLabel(QStringLiteral("KB/s"), speed), 1028);
    auto* speedRow = new QHBoxLayout(speed);
    speedRow->addWidget(limitCheck_);
    speedRow->addWidget(limitEdit_);
    speedRow->addWidget(limitUpDown_);
    speedRow->addWidget(unit);
    speedRow->addStretch();

    auto* advanced = Named(new QGroupBox(QStringLiteral("高级设置"), this), 1046);
    shutdownCheck_ = Named(new QCheckBox(QStringLiteral("下载完成后关机"), advanced), 1040);
    p2pCheck_ = Named(new QCheckBox(QStringLiteral("启用P2P"), advanced), 1041);
    httpEdit_ = Named(new QLineEdit(advanced), 1024);
    httpUpDown_ = Named(new CUpDownCtrl(advanced), 1025);
    httpUpDown_->SetBuddy(httpEdit_);
    httpLabel_ = Named(new QLabel(QStringLiteral("HTTP最大连接数 (10-200)"), advanced), 1030);
    auto* advancedGrid = new QGridLayout(advanced);
    advancedGrid->addWidget(shutdownCheck_, 0, 0, 1, 3);
    advancedGrid->addWidget(p2pCheck_, 1, 0, 1, 3);
    advancedGrid->addWidget(httpLabel_, 2, 0);
    advancedGrid->addWidget(httpEdit_, 2, 1);
    advancedGrid->addWidget(httpUpDown_, 2, 2);

    apply_ = Named(new QPushButton(QStringLiteral("设置"), this), 1029);
    cancel_ = Named(new QPushButton(QStringLiteral("取消"), this), 2);
    apply_->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(apply_);
    buttons->addWidget(cancel_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(speed);
    layout->addWidget(advanced);
    layout->addLayout(buttons);

    connect(limitCheck_, &QCheckBox::clicked, this, &CSettingsDlg::LimitToggled);
    connect(apply_, &QPushButton::clicked, this, [this] { (void)Apply(); });
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

void CSettingsDlg::showEvent(QShowEvent* event) {
    InitDialog();
    QDialog::showEvent(event);
}

void CSettingsDlg::ShowUnlimited() {
    limitEdit_->setText(kUnlimited);
    limitEdit_->setEnabled(false);
}

void CSettingsDlg::InitDialog() {
    p2pCheck_->hide();
    httpLabel_->hide();
    httpUpDown_->hide();
    httpEdit_->hide();
    limitUpDown_->SetRange(kLowestSpeedLimit, kHighestSpeedLimit);
    limitUpDown_->SetPos(kDefaultSpeedLimit);
    const std::uint32_t limit = settings_.speedLimitKBps;
    if (limit != 0) {
        limitCheck_->setChecked(true);
        limitEdit_->setEnabled(true);
        limitUpDown_->SetPos(static_cast<int>(std::min<std::uint32_t>(limit, kHighestSpeedLimit)));
    } else {
        limitCheck_->setChecked(false);
        ShowUnlimited();
    }
    shutdownCheck_->setChecked(settings_.shutdownAfterDownload);
    p2pCheck_->setChecked(settings_.p2p);
}

void CSettingsDlg::LimitToggled(bool checked) {
    if (checked) {
        limitEdit_->setEnabled(true);
        limitUpDown_->SetPos(kDefaultSpeedLimit);
    } else {
        ShowUnlimited();
    }
}

bool CSettingsDlg::Apply() {
    std::uint32_t limit = 0;
    if (limitCheck_->isChecked()) {
        bool outOfRange = false;
        const int position = limitUpDown_->Pos(&outOfRange);
        if (outOfRange || position < kLowestSpeedLimit || position > kHighestSpeedLimit) {
            if (notice_) {
                notice_(kRangeWarning, QStringLiteral("警告"));
            }
            return false;
        }
        limit = static_cast<std::uint32_t>(position);
    } else {
        settings_.speedLimitKBps = 0;
    }
    if (post_) {
        post_(kSetSpeedLimitMessage, limit);
    }
    settings_.shutdownAfterDownload = shutdownCheck_->isChecked();
    if (post_) {
        post_(kSetShutdownMessage, 0);
    }
    settings_.p2p = p2pCheck_->isChecked();
    if (post_) {
        post_(kSetP2PMessage, 0);
    }
    accept();
    return true;
}

}  // namespace koruvan::ui
