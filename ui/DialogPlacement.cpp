#include "ui/DialogPlacement.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QLayout>
#include <QScreen>
#include <QWidget>

#include <algorithm>

namespace koruvan::ui {
namespace {

// Moves its dialog onto the owner's centre when the dialog is shown.
class CentreOnShow final : public QObject {
  public:
    CentreOnShow(QWidget* dialog, QWidget* owner) : QObject(dialog), owner_(owner) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && owner_ != nullptr) {
            // The dialog's own show handling first: a message box takes its final size there.
            (void)watched->event(event);
            auto* dialog = static_cast<QWidget*>(watched);
            QWidget* window = owner_->window();
            QScreen* screen = window->screen();
            const QRect area = screen != nullptr ? screen->availableGeometry() : QRect();
            if (QLayout* layout = dialog->layout()) {
                layout->activate();  // the size it will be shown at
            }
            // The owner's client rectangle as the widget knows it: mapToGlobal (which Qt's own
            // centring uses) reads the platform window's record, which can stay at the
            // screen's corner under a window manager, and the frame's extent can be as stale.
            const QRect owner = window->geometry();
            // The frame may not be known before the first show: the client size stands in.
            const QSize size = dialog->frameGeometry().size().expandedTo(dialog->size());
            dialog->move(CentredTopLeft(owner, size, area));
            return true;  // handled above
        }
        return false;
    }

  private:
    QWidget* owner_;
};

}  // namespace

QPoint CentredTopLeft(const QRect& owner, const QSize& size, const QRect& screen) {
    QPoint at = owner.center() - QPoint(size.width() / 2, size.height() / 2) + QPoint(1, 1);
    if (screen.isValid()) {
        at.setX(std::clamp(at.x(), screen.left(),
                           std::max(screen.left(), screen.right() + 1 - size.width())));
        at.setY(std::clamp(at.y(), screen.top(),
                           std::max(screen.top(), screen.bottom() + 1 - size.height())));
    }
    return at;
}

void KeepCentredOn(QWidget* dialog, QWidget* owner) {
    if (dialog == nullptr || owner == nullptr) {
        return;
    }
    dialog->installEventFilter(new CentreOnShow(dialog, owner));
}

QWidget* NoticeOwner(QWidget* window) {
    QWidget* modal = QApplication::activeModalWidget();
    return modal != nullptr && modal != window ? modal : window;
}

void MakeFixedSizeDialog(QWidget* dialog) {
    dialog->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    if (QLayout* layout = dialog->layout()) {
        layout->setSizeConstraint(QLayout::SetFixedSize);
    }
    if (auto* asDialog = qobject_cast<QDialog*>(dialog)) {
        asDialog->setSizeGripEnabled(false);
    }
}

}  // namespace koruvan::ui
