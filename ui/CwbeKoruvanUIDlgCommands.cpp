// The main window's commands: the buttons, the save folder, closing (to the tray or out of
// the program), the tray icon, folding the list, dragging by the caption band, and the keys
// the window swallows.
#include <QCloseEvent>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QSystemTrayIcon>
#include <QToolTip>
#include <QUrl>
#include <QWindow>

#include "engine/core/base/KoruvanLog.h"
#include "ui/CExitWndSetDlg.h"
#include "ui/CPictureButton.h"
#include "ui/CSettingsDlg.h"
#include "ui/CSkinListCtrl.h"
#include "ui/CwbeKoruvanUIDlg.h"
#include "ui/DialogPlacement.h"
#include "ui/FolderChooser.h"
#include "ui/QtFrontEnd.h"
#include "ui/SkinImages.h"

namespace koruvan::ui {
namespace {

using app::ControllerState;
namespace L = window_layout;

// The window and notice title, shared with the controller's boxes.
const QString kTitle =
    QString::fromUtf8(app::kNoticeTitle.data(), static_cast<qsizetype>(app::kNoticeTitle.size()));
const QString kNoFolder = QStringLiteral("下载位置不存在");
constexpr int kLogCategory = 34;

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The desktop's file manager shows a file selected in its folder; false when none answers.
bool ShowItemInFileManager(const QString& path) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr ||
        !bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.FileManager1"))) {
        return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
    return bus.call(call, QDBus::Block, 2000).type() == QDBusMessage::ReplyMessage;
}

}  // namespace

void CwbeKoruvanUIDlg::OnCommand(int id) {
    if (destroyed_ || !started_) {
        return;
    }
    switch (id) {
        case kIdStart:
            controller_->PrimaryAction();
            if (!controller_->DiskShort()) {
                KeepLargeButtonFocus([this] {
                    Button(kIdPause)->show();
                    Button(kIdStart)->hide();
                });
            }
            break;
        case kIdInstall:
        case kIdPause:
        case kIdContinue:
            controller_->PrimaryAction();
            break;
        case kIdChangeFolder:
        case kIdOpenFolder:
            FolderCommand();
            break;
        case kIdSettings:
            settingsDlg_->exec();
            break;
        case kIdMinimise:
            showMinimized();
            break;
        case kIdClose:
            CloseCommand();
            break;
        default:
            break;
    }
}

void CwbeKoruvanUIDlg::FolderCommand() {
    const ControllerState state = shownState_;
    if (state == ControllerState::Back || state == ControllerState::Ready) {
        const QString title = QStringLiteral("请选择安装包存放目录:");
        std::optional<QString> chosen;
        chosen = options_.chooseFolder ? options_.chooseFolder(title, folderText_)
                                       : ChooseFolder(this, title, folderText_);
        if (!chosen || chosen->isEmpty()) {
            return;
        }
        shownState_ = ControllerState::Ready;
        QString folder = *chosen;
        if (!folder.endsWith(QLatin1Char('/'))) {
            folder += QLatin1Char('/');
        }
        folderText_ =
            folder + QString::fromUtf8(app::kDefaultFolderName.data(),
                                       static_cast<qsizetype>(app::kDefaultFolderName.size()));
        RedrawArea(L::kFolderText);
        controller_->SetSaveFolder(folderText_.toStdString());
        return;
    }
    if (folderText_.isEmpty()) {
        frontEnd_->ShowNotice(kNoFolder.toStdString(), kTitle.toStdString());
        return;
    }
    const bool afterDownload =
        state == ControllerState::Finished || state == ControllerState::Md5Checking ||
        state == ControllerState::CheckRecover || state == ControllerState::CheckFinished;
    const QString installer = FromUtf8(controller_->InstallerPath());
    if (afterDownload && QFileInfo::exists(installer)) {
        ShowFolder(installer, true);
    } else {
        ShowFolder(folderText_, false);
    }
}

void CwbeKoruvanUIDlg::ShowFolder(const QString& path, bool selectFile) {
    if (options_.showInFileManager) {
        options_.showInFileManager(path, selectFile);
        return;
    }
    if (selectFile && ShowItemInFileManager(path)) {
        return;
    }
    const QString folder = selectFile ? QFileInfo(path).absolutePath() : path;
    QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

void CwbeKoruvanUIDlg::ShowNoticeBox(const QString& text, const QString& title) {
    // Over whatever dialog is open (a warning of the settings dialog opens on top of it and
    // is not blocked by it), centred on the window.
    auto* box =
        new QMessageBox(QMessageBox::NoIcon, title, text, QMessageBox::Ok, NoticeOwner(this));
    box->setObjectName(QStringLiteral("notice"));
    KeepCentredOn(box, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

// --- closing -----------------------------------------------------------------------------

void CwbeKoruvanUIDlg::CloseCommand() {
    if (destroyed_) {
        return;
    }
    switch (controller_->CloseChoice()) {
        case kCloseToTray:
            MinimiseToTray();
            return;
        case kCloseExits:
            Exit();
            return;
        default:
            break;
    }
    switch (closeDlg_->exec()) {
        case kCloseToTray:
            MinimiseToTray();
            break;
        case kCloseExits:
            Exit();
            break;
        default:
            break;  // closed without a choice: nothing happens
    }
}

void CwbeKoruvanUIDlg::CancelCommand() {
    if (destroyed_) {
        return;
    }
    if (!exitPending_) {
        CloseCommand();
        return;
    }
    Exit();
}

void CwbeKoruvanUIDlg::reject() {
    CancelCommand();
}

void CwbeKoruvanUIDlg::closeEvent(QCloseEvent* event) {
    event->ignore();
    CancelCommand();
}

void CwbeKoruvanUIDlg::Exit() {
    if (destroyed_) {
        return;
    }
    controller_->RequestExit();
    exitPending_ = true;
    DestroyWindow();
}

bool CwbeKoruvanUIDlg::InTray() const {
    return tray_ != nullptr && tray_->isVisible();
}

void CwbeKoruvanUIDlg::MinimiseToTray() {
    const bool trayAvailable = options_.trayAvailable ? options_.trayAvailable()
                                                      : QSystemTrayIcon::isSystemTrayAvailable();
    if (!trayAvailable) {
        engine::WriteLog(
            "Koruvan Utility: no system tray on this desktop; the window is "
            "minimised to the taskbar instead",
            kLogCategory, kLogCategory);
        showMinimized();
        return;
    }
    if (tray_ == nullptr) {
        tray_ = new QSystemTrayIcon(SkinImages::AppIcon(), this);
        tray_->setToolTip(kTitle);
        connect(tray_, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (reason == QSystemTrayIcon::DoubleClick) {
                        TrayDoubleClicked();
                    } else if (reason == QSystemTrayIcon::Context) {
                        TrayRightClicked(QCursor::pos());
                    }
                });
    }
    tray_->show();
    hide();
}

void CwbeKoruvanUIDlg::TrayDoubleClicked() {
    controller_->CancelExit();
    exitPending_ = false;
    if (tray_ != nullptr) {
        tray_->hide();
    }
    showNormal();
    raise();
    activateWindow();
}

void CwbeKoruvanUIDlg::TrayRightClicked(const QPoint& where) {
    controller_->RequestExit();
    exitPending_ = true;
    if (trayMenu_ == nullptr) {
        trayMenu_ = new QMenu(this);
        trayMenu_->addAction(QStringLiteral("退出(&X)"), this, [this] { CancelCommand(); });
    }
    trayMenu_->popup(where);
}

void CwbeKoruvanUIDlg::BringToFront() {
    if (destroyed_) {
        return;
    }
    if (tray_ != nullptr) {
        tray_->hide();
    }
    showNormal();
    raise();
    activateWindow();
}

// --- the list --------------------------------------------------------------------------------

// Under a window manager the platform window's record of its position can stay at the
// corner where it was created (the manager's placement reached only the widget), and Qt
// sends that record along with every resize, which moves the window there. The widget's
// position is the one the window has on screen; the record is set to it first.
void CwbeKoruvanUIDlg::ResizeInPlace(const QSize& size) {
    if (isVisible() && windowHandle() != nullptr && windowHandle()->position() != pos()) {
        windowHandle()->setPosition(pos());
    }
    setFixedSize(size);
}

void CwbeKoruvanUIDlg::ToggleList() {
    if (collapsed_) {
        collapsed_ = false;
        ResizeInPlace(QSize(L::kWidth, L::kCollapsedHeight + L::kListToggleGrowth));
        ApplyShape();
        list_->setGeometry(L::kListExpanded);
        if (list_->Scrollbar() != nullptr) {
            list_->Scrollbar()->show();
        }
        update();
    } else {
        collapsed_ = true;
        update();
        ApplyShape();
        ResizeInPlace(QSize(L::kWidth, L::kCollapsedHeight));
        list_->setGeometry(L::kListCollapsed);
        if (list_->Scrollbar() != nullptr) {
            list_->Scrollbar()->hide();
        }
    }
}

// --- mouse and keys ------------------------------------------------------------------------

void CwbeKoruvanUIDlg::mousePressEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    if (event->button() == Qt::LeftButton && at.y() >= 0 && at.y() < L::kCaptionHeight) {
        // The caption band drags the window: the window manager's move where there is one.
        if (windowHandle() == nullptr || !windowHandle()->startSystemMove()) {
            dragOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
        }
        event->accept();
        return;
    }
    QDialog::mousePressEvent(event);
}

void CwbeKoruvanUIDlg::mouseMoveEvent(QMouseEvent* event) {
    if (dragOffset_ && (event->buttons() & Qt::LeftButton)) {
        move(event->globalPosition().toPoint() - *dragOffset_);
        event->accept();
        return;
    }
    QDialog::mouseMoveEvent(event);
}

void CwbeKoruvanUIDlg::mouseReleaseEvent(QMouseEvent* event) {
    dragOffset_.reset();
    if (event->button() == Qt::LeftButton &&
        L::kListToggleArea.contains(event->position().toPoint())) {
        ToggleList();
        event->accept();
        return;
    }
    QDialog::mouseReleaseEvent(event);
}

QString CwbeKoruvanUIDlg::ToolTipAt(const QPoint& point) const {
    if (L::kFolderText.contains(point) && !folderText_.isEmpty()) {
        return folderText_;
    }
    const QString reason = QString::fromUtf8(shownTexts_.reason.data(),
                                             static_cast<qsizetype>(shownTexts_.reason.size()));
    if (L::kReasonText.contains(point) && !reason.isEmpty()) {
        return reason;
    }
    return {};
}

bool CwbeKoruvanUIDlg::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const QString tip = ToolTipAt(help->pos());
        if (tip.isEmpty()) {
            QToolTip::hideText();
            event->ignore();
        } else {
            QToolTip::showText(help->globalPos(), tip, this);
        }
        return true;
    }
    return QDialog::event(event);
}

void CwbeKoruvanUIDlg::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Escape:
        case Qt::Key_Return:
        case Qt::Key_Enter:
            event->accept();  // the window never closes on them
            return;
        case Qt::Key_F4:
            if (event->modifiers() & Qt::AltModifier) {
                event->accept();  // as the Close button (also without a window manager)
                CancelCommand();
                return;
            }
            break;
        default:
            break;
    }
    QDialog::keyPressEvent(event);
}

}  // namespace koruvan::ui
