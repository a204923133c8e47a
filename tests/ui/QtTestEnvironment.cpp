#include "QtTestEnvironment.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>

#include <memory>

namespace koruvan::ui::test {
namespace {

class QtApplicationEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        // Never a real window, whatever display the test runner has.
        qputenv("QT_QPA_PLATFORM", "offscreen");
        app_ = std::make_unique<QApplication>(argc_, argv_);
    }
    void TearDown() override { app_.reset(); }

  private:
    int argc_ = 1;
    char name_[9] = "ui_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

}  // namespace

bool ShowActive(QWidget& window) {
    window.show();
    window.activateWindow();
    return QTest::qWaitForWindowActive(&window);
}

QImage Rendered(QWidget& widget) {
    QPixmap pixmap = widget.grab();
    pixmap.setDevicePixelRatio(1);
    return pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
}

QImage RenderedAlone(QWidget& widget) {
    QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image.convertToFormat(QImage::Format_ARGB32);
}

QRgb PixelAt(QWidget& widget, const QPoint& point) {
    return Rendered(widget).pixel(point) | 0xff000000u;
}

QImage Solid(const QSize& size, QColor colour) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

}  // namespace koruvan::ui::test
