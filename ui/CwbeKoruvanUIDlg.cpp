#include "ui/CwbeKoruvanUIDlg.h"

#include <QApplication>
#include <QHeaderView>
#include <QHelpEvent>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QThread>
#include <QToolTip>

#include "app/PlanSource.h"
#include "app/SecConfig.h"
#include "ui/CExitWndSetDlg.h"
#include "ui/CPictureButton.h"
#include "ui/CSettingsDlg.h"
#include "ui/CSkinListCtrl.h"
#include "ui/DialogPlacement.h"
#include "ui/QtFrontEnd.h"
#include "ui/QtTranslations.h"
#include "ui/SkinImages.h"
#include "ui/StepTimer.h"

namespace koruvan::ui {
namespace {

using app::ControllerState;
namespace L = window_layout;

// The window and notice title, shared with the controller's boxes.
const QString kTitle =
    QString::fromUtf8(app::kNoticeTitle.data(), static_cast<qsizetype>(app::kNoticeTitle.size()));
// Shown as the save folder when the controller knows none.
const QString kNoFolderText = QStringLiteral("C:\\ProgramFiles\\Zephra");

constexpr auto kFastPeriod = std::chrono::milliseconds(100);
constexpr auto kSlowPeriod = std::chrono::milliseconds(1000);

struct ButtonSpec {
    ControlId id;
    QString caption;
    QRect rect;
    int normal, pressed, hover, focus, disabled;
};

// The nine skinned buttons in the order of CwbeKoruvanUIDlg::buttons_.
const ButtonSpec kButtons[] = {
    {kIdStart, QStringLiteral("开始"), L::kLargeButton, 198, 200, 199, 198, 201},
    {kIdPause, QStringLiteral("暂停"), L::kLargeButton, 202, 204, 203, 202, 205},
    {kIdContinue, QStringLiteral("继续"), L::kLargeButton, 210, 212, 211, 210, 213},
    {kIdInstall, QStringLiteral("安装"), L::kLargeButton, 231, 233, 232, 231, 234},
    {kIdChangeFolder, QStringLiteral("修改"), L::kFolderButton, 214, 216, 215, 214, 235},
    {kIdOpenFolder, QStringLiteral("查看"), L::kFolderButton, 214, 216, 215, 214, 235},
    {kIdSettings, QStringLiteral("o"), L::kSettingsButton, 228, 230, 229, 0, 0},
    {kIdMinimise, QStringLiteral("-"), L::kMinimiseButton, 218, 220, 219, 0, 0},
    {kIdClose, QStringLiteral("X"), L::kCloseButton, 222, 224, 223, 0, 0},
};
constexpr int kLargeButtonCount = 4;  // the first four share one place

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

void Apply(CPictureButton* button, const ButtonChange& change) {
    if (change.shown) {
        button->setVisible(*change.shown);
    }
    if (change.enabled) {
        button->setEnabled(*change.enabled);
    }
}

}  // namespace

CwbeKoruvanUIDlg::CwbeKoruvanUIDlg(app::DownloadPlan plan, app::EventSink& events,
                                   app::ControllerEnvironment environment, WindowOptions options,
                                   WindowSettings& settings, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::FramelessWindowHint),
      plan_(std::move(plan)),
      options_(std::move(options)),
      settings_(settings) {
    setObjectName(QStringLiteral("dlg102"));
    setWindowTitle(kTitle);
    // Standard dialogs and buttons in the window's language.
    (void)InstallQtTranslations();
    frontEnd_.reset(MakeFrontEnd());
    controller_ = std::make_unique<app::DownloadController>(plan_, *frontEnd_, events,
                                                            std::move(environment));
    folderText_ = options_.initialSaveFolder;
    CreateControls();
    settingsDlg_ = new CSettingsDlg(
        settings_, [this](std::uint32_t m, std::uintptr_t w) { PostWindowMessage(m, w); },
        [this](const QString& text, const QString& title) {
            frontEnd_->ShowNotice(text.toStdString(), title.toStdString());
        },
        this);
    closeDlg_ = new CExitWndSetDlg(
        settings_, [this](std::uint32_t m, std::uintptr_t w) { SendWindowMessage(m, w); }, this);
}

CwbeKoruvanUIDlg::~CwbeKoruvanUIDlg() {
    if (!destroyed_) {
        DestroyWindow();
    }
}

QtFrontEnd* CwbeKoruvanUIDlg::MakeFrontEnd() {
    QtFrontEnd::Handlers h;
    h.notice = [this](const QString& text, const QString& title) {
        options_.notice ? options_.notice(text, title) : ShowNoticeBox(text, title);
    };
    h.modalNotice = [this](const QString& text, const QString& title) {
        if (options_.modalNotice) {
            options_.modalNotice(text, title);
            return;
        }
        QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, NoticeOwner(this));
        KeepCentredOn(&box, this);
        box.exec();
    };
    h.askYesNo = [this](const QString& question, const QString& title) {
        if (options_.askYesNo) {
            return options_.askYesNo(question, title);
        }
        QMessageBox box(QMessageBox::Question, title, question, QMessageBox::Yes | QMessageBox::No,
                        NoticeOwner(this));
        box.setObjectName(QStringLiteral("question"));
        KeepCentredOn(&box, this);
        return box.exec() == QMessageBox::Yes;
    };
    h.message = [this](std::uint32_t message) { HandleMessage(message, 0, 0); };
    h.close = [this] { DestroyWindow(); };
    return new QtFrontEnd(this, std::move(h));
}

CPictureButton* CwbeKoruvanUIDlg::Button(ControlId id) const {
    for (std::size_t i = 0; i < std::size(kButtons); ++i) {
        if (kButtons[i].id == id) {
            return buttons_[i];
        }
    }
    return nullptr;
}

// Step 2 of the initialisation: the buttons and the list, placed and skinned.
void CwbeKoruvanUIDlg::CreateControls() {
    for (std::size_t i = 0; i < std::size(kButtons); ++i) {
        const ButtonSpec& spec = kButtons[i];
        auto* button = new CPictureButton(this);
        button->setObjectName(QStringLiteral("ctl%1").arg(spec.id));
        button->setText(spec.caption);
        button->setAccessibleName(spec.caption);
        button->SetImages(spec.normal, spec.pressed, spec.hover, spec.focus, spec.disabled);
        button->setGeometry(spec.rect);
        // Tab reaches the buttons and Space presses them; Enter stays swallowed by the window.
        button->setFocusPolicy(Qt::StrongFocus);
        const int id = spec.id;
        connect(button, &CPictureButton::clicked, this, [this, id] { OnCommand(id); });
        buttons_[i] = button;
        const bool hidden = i < kLargeButtonCount || spec.id == kIdOpenFolder;
        button->setVisible(!hidden);
    }
    list_ = new CSkinListCtrl(this);
    list_->setObjectName(QStringLiteral("ctl%1").arg(kIdFileList));
    list_->setGeometry(L::kListCollapsed);
}

void CwbeKoruvanUIDlg::FillList() {
    list_->setColumnCount(2);
    list_->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Percent")});
    list_->setColumnWidth(0, 280);
    list_->setColumnWidth(1, 128);
    list_->header()->setSectionsMovable(true);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->clear();
    for (int i = 0; i < app::DownloadController::FileCount(); ++i) {
        auto* item = new QTreeWidgetItem(list_);
        item->setText(0, FromUtf8(controller_->FileName(i)));
        item->setText(1, FromUtf8(controller_->FileStatusText(i)));
    }
}

void CwbeKoruvanUIDlg::InitDialog() {
    // 1. Minimise box and system menu; the fixed client size.
    setWindowFlags(windowFlags() | Qt::WindowMinimizeButtonHint | Qt::WindowSystemMenuHint);
    setFixedSize(L::kWidth, L::kCollapsedHeight);
    // 2. (buttons and list: CreateControls.) 4. The list.
    FillList();
    // 5. Folded away, its scrollbar hidden.
    list_->setGeometry(L::kListCollapsed);
    if (list_->Scrollbar() != nullptr) {
        list_->Scrollbar()->hide();
    }
    // 8. Icons and shapes (before the controller's start, which may take a while).
    setWindowIcon(SkinImages::AppIcon());
    ApplyShape();
    ShapeLargeButtons();
    // 3. and 7. The plan, the signing configuration and the controller's start.
    StartController();
}

void CwbeKoruvanUIDlg::StartController() {
    auto start = [this] {
        if (options_.preparePlan) {
            options_.preparePlan(plan_);
        } else {
            app::InstallPlan(plan_);
            (void)app::ParseSecConfig();
        }
        controller_->SetShutdownAfterDownload(false);
        const int result = controller_->Initialise();
        std::optional<app::ExpiryNotice> expiry;
        if (result == 0) {
            expiry = options_.checkExpiry ? options_.checkExpiry()
                                          : app::CheckExpiry(plan_.resourceListUrl);
        }
        return std::make_pair(result, expiry);
    };
    if (!options_.asyncStart) {
        const auto [result, expiry] = start();
        FinishStart(result, expiry);
        return;
    }
    // The start may wait on the network; the window's thread stays free meanwhile (a later
    // start of the program expects an answer from it within a second).
    startThread_ = std::thread([this, start] {
        auto started = start();
        QMetaObject::invokeMethod(
            this,
            [this, started = std::move(started)] { FinishStart(started.first, started.second); },
            Qt::QueuedConnection);
    });
}

void CwbeKoruvanUIDlg::FinishStart(int initResult, std::optional<app::ExpiryNotice> expiry) {
    if (destroyed_) {
        return;
    }
    initResult_ = initResult;
    if (initResult < 0) {
        Exit();
        return;
    }
    if (expiry) {
        frontEnd_->ShowModalNotice(expiry->message, kTitle.toStdString());
        if (!expiry->url.empty()) {
            options_.openUrl ? options_.openUrl(FromUtf8(expiry->url))
                             : ShowFolder(FromUtf8(expiry->url), false);
        }
        Exit();
        return;
    }
    (initResult <= 0 ? Button(kIdStart) : Button(kIdPause))->show();
    const ControllerState state = controller_->State();
    if (!options_.initialSaveFolder.isEmpty() &&
        (state == ControllerState::Ready || state == ControllerState::Back)) {
        controller_->SetSaveFolder(options_.initialSaveFolder.toStdString());
    }
    const std::string folder = controller_->SaveFolder();
    folderText_ = folder.empty() ? kNoFolderText : FromUtf8(folder);
    setWindowTitle(kTitle);
    started_ = true;
    StartTimers();
    update();
    emit StartupFinished(initResult);
}

void CwbeKoruvanUIDlg::StartTimers() {
    if (!options_.runTimers || fastTimer_ != nullptr) {
        return;  // once per window
    }
    fastTimer_ = std::make_unique<StepTimer>("UiFastStep", kFastPeriod, [this] {
        const FastStepResult r = RunFastStep(*controller_);
        QMetaObject::invokeMethod(
            this, [this, r] { ApplyFastStep(r); }, Qt::QueuedConnection);
    });
    slowTimer_ = std::make_unique<StepTimer>("UiSlowStep", kSlowPeriod, [this] {
        const SlowStepResult r = slowStep_.Run(*controller_);
        QMetaObject::invokeMethod(
            this, [this, r] { ApplySlowStep(r); }, Qt::QueuedConnection);
    });
    fastTimer_->Start();
    slowTimer_->Start();
}

void CwbeKoruvanUIDlg::FastStep() {
    ApplyFastStep(RunFastStep(*controller_));
}

void CwbeKoruvanUIDlg::SlowStep() {
    ApplySlowStep(slowStep_.Run(*controller_));
}

void CwbeKoruvanUIDlg::ApplyFastStep(const FastStepResult& r) {
    if (destroyed_) {
        return;
    }
    shownState_ = r.state;
    if (!progressDrawn_ || r.state != shownFast_.state ||
        r.overallPercent != shownFast_.overallPercent ||
        r.verifyPercent != shownFast_.verifyPercent) {
        shownFast_ = r;
        progressDrawn_ = true;
        RedrawArea(L::kProgressBar);
    }
    shownDiskShort_ = r.diskShort;
    if (r.state != laidOutState_ || r.diskShort != laidOutDiskShort_) {
        laidOutState_ = r.state;
        laidOutDiskShort_ = r.diskShort;
        LayOutButtons(r.state, r.diskShort);
    }
}

void CwbeKoruvanUIDlg::ApplySlowStep(const SlowStepResult& r) {
    if (destroyed_) {
        return;
    }
    if (r.reason != shownTexts_.reason) {
        RedrawArea(L::kReasonText);
    }
    shownTexts_ = r;
    if (r.showsEndStatus) {
        RedrawArea(L::kEndStatus);
    } else {
        update();  // the whole window
    }
    if (r.ticked) {
        RedrawArea(L::kSpeedText);
        RedrawArea(L::kSizeText);
        RedrawArea(L::kProgressLabel);
        RedrawArea(L::kPercentText);
    }
    UpdateListTexts();
}

void CwbeKoruvanUIDlg::LayOutButtons(ControllerState state, bool diskShort) {
    const ButtonLayout l = LayoutFor(state, diskShort);
    KeepLargeButtonFocus([this, &l] {
        Apply(Button(kIdStart), l.start);
        Apply(Button(kIdPause), l.pause);
        Apply(Button(kIdContinue), l.resume);
        Apply(Button(kIdInstall), l.install);
        Apply(Button(kIdChangeFolder), l.change);
        Apply(Button(kIdOpenFolder), l.openView);
    });
}

void CwbeKoruvanUIDlg::KeepLargeButtonFocus(const std::function<void()>& change) {
    CPictureButton* focused = nullptr;
    for (int i = 0; i < kLargeButtonCount; ++i) {
        if (buttons_[static_cast<std::size_t>(i)]->hasFocus()) {
            focused = buttons_[static_cast<std::size_t>(i)];
        }
    }
    // The focus Qt moved away when the large button lost it to a disabled state and no
    // other could take it: still where Qt put it, it comes back once one can.
    const bool parked = focused == nullptr && parkedFocus_ != nullptr && parkedFocus_->hasFocus();
    const bool frame = focused != nullptr ? focused->ShowsFocusFrame() : parked && parkedFrame_;
    change();
    if (focused == nullptr && !parked) {
        parkedFocus_ = nullptr;
        return;
    }
    if (focused != nullptr && focused->isVisible() && focused->isEnabled()) {
        return;
    }
    for (int i = 0; i < kLargeButtonCount; ++i) {
        CPictureButton* successor = buttons_[static_cast<std::size_t>(i)];
        if (successor->isVisible() && successor->isEnabled()) {
            successor->setFocus(Qt::OtherFocusReason);
            successor->SetFocusFrame(frame);
            parkedFocus_ = nullptr;
            return;
        }
    }
    parkedFocus_ = QApplication::focusWidget();
    parkedFrame_ = frame;
    if (auto* button = qobject_cast<CPictureButton*>(parkedFocus_.data())) {
        button->SetFocusFrame(frame);  // Qt's own hand-over is no Tab
    }
}

void CwbeKoruvanUIDlg::PostWindowMessage(std::uint32_t message, std::uintptr_t wParam,
                                         std::intptr_t lParam) {
    QMetaObject::invokeMethod(
        this, [this, message, wParam, lParam] { HandleMessage(message, wParam, lParam); },
        Qt::QueuedConnection);
}

void CwbeKoruvanUIDlg::SendWindowMessage(std::uint32_t message, std::uintptr_t wParam,
                                         std::intptr_t lParam) {
    if (QThread::currentThread() == thread()) {
        HandleMessage(message, wParam, lParam);
        return;
    }
    QMetaObject::invokeMethod(
        this, [this, message, wParam, lParam] { HandleMessage(message, wParam, lParam); },
        Qt::BlockingQueuedConnection);
}

void CwbeKoruvanUIDlg::HandleMessage(std::uint32_t message, std::uintptr_t wParam,
                                     std::intptr_t lParam) {
    if (destroyed_) {
        return;
    }
    switch (message) {
        case kSetSpeedLimitMessage:
            lastSpeedLimit_ = static_cast<std::uint32_t>(wParam);
            settings_.speedLimitKBps = lastSpeedLimit_;
            controller_->ApplySpeedLimit(lastSpeedLimit_);
            break;
        case kSetShutdownMessage:
            controller_->SetShutdownAfterDownload(settings_.shutdownAfterDownload);
            break;
        case kSetP2PMessage:
            controller_->SetP2P(settings_.p2p);
            break;
        case kSetCloseChoiceMessage:
            (void)controller_->SetCloseChoice(static_cast<std::uint32_t>(wParam));
            break;
        case app::kVerificationDoneMessage:
            controller_->PrimaryAction();
            break;
        case app::kPortForwardMessage:
            controller_->OnPortForwardNotification(wParam, lParam);
            break;
        default:
            break;
    }
}

void CwbeKoruvanUIDlg::ApplyShape() {
    if (collapsed_) {
        const QImage background = SkinImages::Background(false).toImage();
        setMask(OpaqueRegion(background, kColourKey, L::kCollapsedShapeFirstRow,
                             L::kCollapsedShapeLastRow));
    } else {
        clearMask();
    }
}

void CwbeKoruvanUIDlg::ShapeLargeButtons() {
    for (int i = 0; i < kLargeButtonCount; ++i) {
        const QImage face = SkinImages::BitmapImage(kButtons[i].normal);
        if (!face.isNull()) {
            buttons_[static_cast<std::size_t>(i)]->setMask(OpaqueRegion(face, kColourKey));
        }
    }
}

void CwbeKoruvanUIDlg::DestroyWindow() {
    if (destroyed_) {
        return;
    }
    destroyed_ = true;
    frontEnd_->SetClosing();
    hide();
    if (tray_ != nullptr) {
        tray_->hide();
    }
    if (fastTimer_) {
        fastTimer_->Stop();
    }
    if (slowTimer_) {
        slowTimer_->Stop();
    }
    if (startThread_.joinable()) {
        startThread_.join();
    }
    SkinImages::ClearCache();
    controller_->OnExit();
    emit Ended();
}

}  // namespace koruvan::ui
