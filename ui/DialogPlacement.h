// Where the window's dialogs and notices appear: centred on the main window (not wherever the
// window manager or a stale idea of the owner's position would put them), and above whatever
// modal dialog is open, so that a warning is never hidden under the dialog that caused it.
#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

class QWidget;

namespace koruvan::ui {

// The top-left corner that centres a window of `size` on `owner`, kept inside `screen`.
[[nodiscard]] QPoint CentredTopLeft(const QRect& owner, const QSize& size, const QRect& screen);

// Centres `dialog` on `owner`'s window each time it is shown.
void KeepCentredOn(QWidget* dialog, QWidget* owner);

// The widget a new notice belongs to: the modal dialog open now (so the notice opens on top of
// it and is not blocked by it), else `window`.
[[nodiscard]] QWidget* NoticeOwner(QWidget* window);

// A dialog of fixed size: its layout's size, no maximise button, no size grip.
void MakeFixedSizeDialog(QWidget* dialog);

}  // namespace koruvan::ui
