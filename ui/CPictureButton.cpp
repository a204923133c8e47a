#include "ui/CPictureButton.h"

#include <QCoreApplication>
#include <QEnterEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>

#include <algorithm>

namespace koruvan::ui {
namespace {

// Whether the user moves through the window with Tab right now. Qt gives the same focus
// reason when a dialog first focuses its first button, or hands the focus of a hidden
// button on, as when Tab is pressed; only a real Tab or Backtab should draw a frame.
class TabWatch final : public QObject {
  public:
    using QObject::QObject;
    bool tabbing = false;

    bool eventFilter(QObject* /*watched*/, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            tabbing = key == Qt::Key_Tab || key == Qt::Key_Backtab;
        } else if (event->type() == QEvent::MouseButtonPress) {
            tabbing = false;
        }
        return false;
    }
};

bool Tabbing() {
    static QPointer<TabWatch> watch;
    if (watch == nullptr && QCoreApplication::instance() != nullptr) {
        watch = new TabWatch(QCoreApplication::instance());
        QCoreApplication::instance()->installEventFilter(watch);
    }
    return watch != nullptr && watch->tabbing;
}

}  // namespace

CPictureButton::CPictureButton(QWidget* parent, bool strip)
    : QAbstractButton(parent), strip_(strip) {
    (void)Tabbing();  // watching from the first button on
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
}

void CPictureButton::SetImages(int normal, int pressed, int hover, int focus, int disabled,
                               bool resizeToImage) {
    SetImages(SkinImages::ButtonImages(normal, pressed, hover, focus, disabled), resizeToImage);
}

void CPictureButton::SetImages(const ButtonImageSet& images, bool resizeToImage) {
    images_[kNormal] = images.normal;
    images_[kPressed] = images.pressed;
    images_[kHover] = images.hover;
    images_[kFocus] = images.focus;
    images_[kDisabled] = images.disabled;
    if (!images.pressed.isNull() || !images.hover.isNull() || !images.focus.isNull() ||
        !images.disabled.isNull()) {
        strip_ = false;
    }
    RebuildFaces();
    if (resizeToImage && !images.normal.isNull()) {
        resize(FaceSize());
    }
    updateGeometry();
    update();
}

void CPictureButton::SetColors(const QColor& transparent, const QColor& second) {
    transparent_ = transparent;
    second_ = second;
    RebuildFaces();
    update();
}

QRgb CPictureButton::KeyOf(const QImage& image) const {
    if (transparent_.isValid()) {
        return transparent_.rgb();
    }
    return image.isNull() ? kColourKey : image.pixel(0, 0);
}

void CPictureButton::RebuildFaces() {
    for (int face = 0; face < kFaceCount; ++face) {
        const QImage& source = images_[face].isNull() ? images_[kNormal] : images_[face];
        faces_[face] = QPixmap::fromImage(KeyedOut(source, KeyOf(source)));
    }
}

QSize CPictureButton::FaceSize() const {
    const QImage& normal = images_[kNormal];
    if (normal.isNull()) {
        return {};
    }
    return strip_ ? QSize(normal.width() / 4, normal.height()) : normal.size();
}

QRegion CPictureButton::OpaqueShape() const {
    const QImage& normal = images_[kNormal];
    if (normal.isNull()) {
        return QRegion(rect());
    }
    const QImage face = normal.copy(QRect(QPoint(0, 0), FaceSize()));
    return OpaqueRegion(face, KeyOf(normal));
}

QSize CPictureButton::sizeHint() const {
    const QSize face = FaceSize();
    return face.isEmpty() ? QSize(16, 16) : face;
}

// Mouse state. A disabled button gets no mouse events, but Qt still reports enter and
// leave; those must not light it up.
void CPictureButton::StartHover() {
    tracking_ = true;
    hover_ = true;
    update();
}

void CPictureButton::enterEvent(QEnterEvent* event) {
    if (isEnabled() && !tracking_) {
        StartHover();
    }
    QAbstractButton::enterEvent(event);
}

void CPictureButton::mouseMoveEvent(QMouseEvent* event) {
    if (isEnabled() && !tracking_ && rect().contains(event->position().toPoint())) {
        StartHover();
    }
    QAbstractButton::mouseMoveEvent(event);
}

void CPictureButton::leaveEvent(QEvent* event) {
    hover_ = false;
    tracking_ = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void CPictureButton::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        pressed_ = true;
        active_ = true;
    }
    QAbstractButton::mousePressEvent(event);
    update();
}

void CPictureButton::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        pressed_ = false;
        active_ = true;
    }
    QAbstractButton::mouseReleaseEvent(event);
    update();
}

void CPictureButton::focusInEvent(QFocusEvent* event) {
    const Qt::FocusReason reason = event->reason();
    keyboardFocus_ =
        ((reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason) && Tabbing()) ||
        reason == Qt::ShortcutFocusReason;
    QAbstractButton::focusInEvent(event);
    update();
}

void CPictureButton::SetFocusFrame(bool shown) {
    keyboardFocus_ = shown && hasFocus();
    update();
}

void CPictureButton::focusOutEvent(QFocusEvent* event) {
    keyboardFocus_ = false;
    QAbstractButton::focusOutEvent(event);
    update();
}

// Inside the face, clear of the shaped buttons' cut corners; light on the dark skin.
void CPictureButton::DrawFocusFrame(QPainter& painter) const {
    QPen pen(QColor(255, 255, 255, 220));
    pen.setStyle(Qt::DotLine);
    pen.setWidth(1);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    const int inset = std::min(width(), height()) >= 24 ? 3 : 1;
    painter.drawRoundedRect(
        QRectF(rect()).adjusted(inset + 0.5, inset + 0.5, -inset - 0.5, -inset - 0.5), 3, 3);
}

void CPictureButton::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange) {
        update();
    }
    QAbstractButton::changeEvent(event);
}

// Draw-time resets first, then the first matching face of: pressed, focus (clicked and left
// alone), hover, disabled, normal.
CPictureButton::Face CPictureButton::ChooseFace() {
    if (!hasFocus()) {
        active_ = false;
        pressed_ = false;
    }
    if (!isEnabled()) {
        active_ = false;
        pressed_ = false;
        hover_ = false;
        tracking_ = false;
    }
    if ((active_ && pressed_) || isDown()) {  // isDown: also held by Space
        return kPressed;
    }
    if (active_ && !hover_) {
        return kFocus;
    }
    if (hover_ && !pressed_) {
        return kHover;
    }
    return isEnabled() ? kNormal : kDisabled;
}

void CPictureButton::paintEvent(QPaintEvent* /*event*/) {
    const Face face = ChooseFace();
    const QPixmap& pixmap = faces_[face];
    if (pixmap.isNull()) {
        return;  // no pictures yet: the window behind shows through
    }
    QPainter painter(this);
    if (strip_) {
        const QSize size = FaceSize();
        // Frames left to right: normal, hover, pressed, disabled; focus shows the normal one.
        static constexpr int kFrameOf[kFaceCount] = {0, 2, 1, 0, 3};
        const QRect source(QPoint(kFrameOf[face] * size.width(), 0), size);
        painter.drawPixmap(QPoint(0, 0), pixmap, source);
    } else {
        painter.drawPixmap(0, 0, pixmap);
    }
    if (keyboardFocus_ && hasFocus()) {
        DrawFocusFrame(painter);
    }
}

}  // namespace koruvan::ui
