// A push button drawn from pictures: normal, pressed, hover, focus and disabled faces, each
// with one colour see-through, or one picture holding four frames side by side (strip mode:
// normal, hover, pressed, disabled). It carries no logic of its own beyond choosing the face;
// clicks reach the owner through QAbstractButton::clicked.
#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QImage>
#include <QPixmap>

class QPainter;

#include "ui/SkinImages.h"

namespace koruvan::ui {

class CPictureButton : public QAbstractButton {
    Q_OBJECT

  public:
    explicit CPictureButton(QWidget* parent = nullptr, bool strip = false);

    // Faces by bitmap id: normal, pressed, hover, focus, disabled. A face given as 0 (or
    // an id without a bitmap) shows the normal face. Giving any face besides the normal one
    // ends strip mode. `resizeToImage` sizes the button to the normal face.
    void SetImages(int normal, int pressed, int hover = 0, int focus = 0, int disabled = 0,
                   bool resizeToImage = false);
    void SetImages(const ButtonImageSet& images, bool resizeToImage = false);

    // The see-through colour; an invalid colour means the top-left pixel of each picture.
    // The second colour is kept for the owner and not used for drawing.
    void SetColors(const QColor& transparent, const QColor& second = QColor());
    QColor TransparentColor() const { return transparent_; }
    QColor SecondColor() const { return second_; }

    bool IsStrip() const noexcept { return strip_; }
    // The size of one face (a quarter of the picture's width in strip mode).
    QSize FaceSize() const;
    // The button's rectangle minus the see-through pixels of its normal face: what the
    // large buttons are shaped to (setMask(OpaqueShape())).
    QRegion OpaqueShape() const;

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

  public:
    // Focus reached by the keyboard: a dotted frame shows where Space will act.
    [[nodiscard]] bool ShowsFocusFrame() const noexcept { return keyboardFocus_; }
    // For a button taking the place (and the focus) of another: keeps its frame or not.
    void SetFocusFrame(bool shown);

  private:
    void DrawFocusFrame(QPainter& painter) const;

  private:
    enum Face { kNormal, kPressed, kHover, kFocus, kDisabled, kFaceCount };

    void StartHover();
    Face ChooseFace();
    void RebuildFaces();
    QRgb KeyOf(const QImage& image) const;

    bool strip_;
    QImage images_[kFaceCount];  // as given; null faces fall back to the normal one
    QPixmap faces_[kFaceCount];  // see-through copies, ready to draw
    QColor transparent_;
    QColor second_;
    bool hover_ = false;
    bool tracking_ = false;
    bool pressed_ = false;
    bool active_ = false;
    bool keyboardFocus_ = false;
};

}  // namespace koruvan::ui
