#include "ui/CMemDCEx.h"

#include <gtest/gtest.h>

#include <QPicture>

#include "QtTestEnvironment.h"

namespace koruvan::ui {
namespace {

const QRgb kWhite = qRgb(255, 255, 255);
const QRgb kRed = qRgb(255, 0, 0);

TEST(CMemDCEx, TargetChangesOnlyInsideTheRectAndOnlyAtTheEnd) {
    QImage target = test::Solid({100, 60}, Qt::white);
    QPainter screen(&target);
    {
        CMemDCEx mem(screen, QRect(10, 10, 30, 20), Qt::green);
        ASSERT_TRUE(mem.IsOffScreen());
        mem.Painter().fillRect(QRect(0, 0, 100, 60), Qt::red);  // spills over on purpose
        mem.Painter().fillRect(QRect(10, 10, 2, 2), Qt::blue);  // target coordinates
        EXPECT_EQ(target.pixel(20, 20), kWhite) << "nothing reaches the target before the copy";
    }
    EXPECT_EQ(target.pixel(20, 20), kRed);
    EXPECT_EQ(target.pixel(10, 10), qRgb(0, 0, 255));
    EXPECT_EQ(target.pixel(9, 20), kWhite);
    EXPECT_EQ(target.pixel(40, 20), kWhite);
    EXPECT_EQ(target.pixel(20, 30), kWhite);
}

TEST(CMemDCEx, StartsWithTheTargetBackgroundAndDefaultsToTheClipBox) {
    QImage target = test::Solid({50, 50}, Qt::white);
    QPainter screen(&target);
    screen.setBackground(Qt::yellow);
    screen.setClipRect(QRect(5, 5, 10, 10));
    {
        CMemDCEx mem(screen);
        EXPECT_EQ(mem.Rect(), QRect(5, 5, 10, 10));
    }
    EXPECT_EQ(target.pixel(7, 7), qRgb(255, 255, 0));
    EXPECT_EQ(target.pixel(20, 20), kWhite);
}

TEST(CMemDCEx, PicturesAreDrawnDirectly) {
    QPicture picture;
    QPainter recorder(&picture);
    CMemDCEx mem(recorder, QRect(0, 0, 10, 10));
    EXPECT_FALSE(mem.IsOffScreen());
    EXPECT_EQ(&mem.Painter(), &recorder);
}

}  // namespace
}  // namespace koruvan::ui
