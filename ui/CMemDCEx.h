// Off-screen drawing surface for flicker-free partial redraws: everything painted through
// Painter() lands in a pixmap of the target rectangle, which is copied to the target in one
// step when the object goes out of scope. Painting on a printer or a picture goes straight to
// the target (there is nothing to flicker there).
//
//   QPainter screen(this);
//   {
//       CMemDCEx mem(screen, textRect);
//       mem.Painter().drawPixmap(...);   // background piece
//       mem.Painter().drawText(...);     // text over it
//   }                                    // one copy to the screen
#pragma once

#include <QColor>
#include <QPainter>
#include <QPixmap>
#include <QRect>

#include <optional>

namespace koruvan::ui {

class CMemDCEx {
  public:
    // `rect` is in the target's logical coordinates; an empty rectangle means the target's
    // clip box (or the whole device when it does not clip). The off-screen pixmap starts
    // filled with `fill`, by default the target painter's background colour.
    explicit CMemDCEx(QPainter& target, const QRect& rect = QRect(), const QColor& fill = QColor());
    ~CMemDCEx();

    CMemDCEx(const CMemDCEx&) = delete;
    CMemDCEx& operator=(const CMemDCEx&) = delete;

    // Draw here, in the target's coordinates.
    QPainter& Painter() noexcept { return offScreen_ ? *painter_ : target_; }
    bool IsOffScreen() const noexcept { return offScreen_; }
    const QRect& Rect() const noexcept { return rect_; }

  private:
    QPainter& target_;
    QRect rect_;
    bool offScreen_ = false;
    QPixmap pixmap_;
    std::optional<QPainter> painter_;
};

}  // namespace koruvan::ui
