// The QApplication every widget test needs, on Qt's offscreen platform, plus small helpers
// for reading rendered pixels.
#pragma once

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QWidget>

namespace koruvan::ui::test {

// Shows `window` and waits until it is the active window (focus needs that); false when it
// did not become active.
bool ShowActive(QWidget& window);

// The widget as drawn (QWidget::grab), one image pixel per widget pixel.
QImage Rendered(QWidget& widget);

// The widget's own drawing on a transparent canvas, without its background.
QImage RenderedAlone(QWidget& widget);

// The colour at `point` of the rendered widget, opaque RGB.
QRgb PixelAt(QWidget& widget, const QPoint& point);

// A solid picture of `size` in `colour`.
QImage Solid(const QSize& size, QColor colour);

}  // namespace koruvan::ui::test
