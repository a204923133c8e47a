#include "ui/CPictureButton.h"

#include <gtest/gtest.h>

#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "QtTestEnvironment.h"
#include "ui/SkinImages.h"

namespace koruvan::ui {
namespace {

using test::PixelAt;
using test::RenderedAlone;
using test::ShowActive;
using test::Solid;

const QSize kFace(40, 20);
const QPoint kInside(20, 10);  // in button coordinates
const QRgb kBackdrop = qRgb(0, 160, 0);
const QRgb kNormal = qRgb(200, 0, 0);
const QRgb kPressed = qRgb(0, 0, 200);
const QRgb kHover = qRgb(220, 220, 0);
const QRgb kFocus = qRgb(0, 200, 200);
const QRgb kDisabled = qRgb(90, 90, 90);

// A face of one colour with a one-pixel frame of the colour key around it.
QImage KeyFramed(QRgb colour) {
    QImage image = Solid(kFace, QColor::fromRgb(kColourKey));
    for (int y = 1; y < kFace.height() - 1; ++y) {
        for (int x = 1; x < kFace.width() - 1; ++x) {
            image.setPixel(x, y, colour);
        }
    }
    return image;
}

// A window with a green backdrop, the button under test and a second control that can take
// the focus away.
class PictureButtonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        window_.resize(200, 100);
        window_.setAutoFillBackground(true);
        QPalette palette;
        palette.setColor(QPalette::Window, QColor::fromRgb(kBackdrop));
        window_.setPalette(palette);
        button_ = new CPictureButton(&window_);
        button_->move(10, 10);
        other_ = new QPushButton(QStringLiteral("x"), &window_);
        other_->move(120, 60);
        ASSERT_TRUE(ShowActive(window_));
    }

    void GiveFiveFaces() {
        button_->SetImages({KeyFramed(kNormal), KeyFramed(kPressed), KeyFramed(kHover),
                            KeyFramed(kFocus), KeyFramed(kDisabled)},
                           true);
    }

    QRgb Face() { return PixelAt(window_, button_->pos() + kInside); }
    void Enter() { QTest::mouseMove(button_, kInside); }
    void Leave() { QTest::mouseMove(&window_, QPoint(190, 5)); }
    void Press() { QTest::mousePress(button_, Qt::LeftButton, {}, kInside); }
    void Release() { QTest::mouseRelease(button_, Qt::LeftButton, {}, kInside); }

    QWidget window_;
    CPictureButton* button_ = nullptr;
    QPushButton* other_ = nullptr;
};

TEST_F(PictureButtonTest, FacesFollowHoverPressFocusAndDisabledInOrder) {
    GiveFiveFaces();
    EXPECT_EQ(button_->size(), kFace);
    EXPECT_EQ(Face(), kNormal);
    Enter();
    EXPECT_EQ(Face(), kHover);
    Press();
    EXPECT_EQ(Face(), kPressed);
    EXPECT_TRUE(button_->hasFocus());
    Release();
    EXPECT_EQ(Face(), kHover) << "released under the pointer";
    Leave();
    EXPECT_EQ(Face(), kFocus) << "clicked, then left alone";
    other_->setFocus();
    QCoreApplication::processEvents();
    EXPECT_EQ(Face(), kNormal) << "focus went elsewhere";

    // Held down and dragged off: still pressed until the button comes up.
    Enter();
    Press();
    QTest::mouseMove(button_, QPoint(100, 50));
    EXPECT_EQ(Face(), kPressed);
    QTest::mouseRelease(button_, Qt::LeftButton, {}, QPoint(100, 50));
    Leave();
    EXPECT_EQ(Face(), kFocus);
}

TEST_F(PictureButtonTest, DisabledButtonShowsDisabledFaceAndIgnoresHover) {
    GiveFiveFaces();
    Enter();
    ASSERT_EQ(Face(), kHover);
    button_->setEnabled(false);
    EXPECT_EQ(Face(), kDisabled) << "hover is dropped when disabled";
    Leave();
    Enter();
    EXPECT_EQ(Face(), kDisabled);
    QSignalSpy clicks(button_, &QAbstractButton::clicked);
    Press();
    Release();
    EXPECT_EQ(Face(), kDisabled);
    EXPECT_EQ(clicks.count(), 0);

    // Enabled again under a resting pointer: normal until the pointer moves.
    button_->setEnabled(true);
    EXPECT_EQ(Face(), kNormal);
    QTest::mouseMove(button_, kInside + QPoint(1, 0));
    EXPECT_EQ(Face(), kHover);
}

TEST_F(PictureButtonTest, OnlyANormalFaceShowsInEveryState) {
    button_->SetImages(ButtonImageSet{KeyFramed(kNormal), {}, {}, {}, {}}, true);
    EXPECT_EQ(Face(), kNormal);
    Enter();
    EXPECT_EQ(Face(), kNormal);
    Press();
    EXPECT_EQ(Face(), kNormal);
    Release();
    Leave();
    EXPECT_EQ(Face(), kNormal);
    button_->setEnabled(false);
    EXPECT_EQ(Face(), kNormal);

    // The same through ids: 0 and unknown ids fall back to the normal bitmap.
    button_->SetImages(218, 0, 0, 0, 99999, true);
    const QImage normal = KeyedOut(SkinImages::BitmapImage(218), kColourKey);
    EXPECT_EQ(Face(), normal.pixel(kInside) | 0xff000000u);
}

TEST_F(PictureButtonTest, KeyColouredPixelsLetTheWindowShowThrough) {
    GiveFiveFaces();
    EXPECT_EQ(PixelAt(window_, button_->pos()), kBackdrop);
    EXPECT_EQ(PixelAt(window_, button_->pos() + QPoint(39, 19)), kBackdrop);
    EXPECT_EQ(Face(), kNormal);
    const QImage alone = RenderedAlone(*button_);
    EXPECT_EQ(qAlpha(alone.pixel(0, 0)), 0);
    EXPECT_EQ(qAlpha(alone.pixel(kInside)), 255);

    // Without a colour given, the top-left pixel decides; a given colour replaces it.
    QImage blueCorner = Solid(kFace, QColor::fromRgb(kNormal));
    blueCorner.setPixel(0, 0, qRgb(0, 0, 255));
    blueCorner.setPixel(5, 5, qRgb(0, 0, 255));
    button_->SetImages(ButtonImageSet{blueCorner, {}, {}, {}, {}});
    EXPECT_EQ(PixelAt(window_, button_->pos() + QPoint(5, 5)), kBackdrop);
    button_->SetColors(QColor::fromRgb(kNormal));
    EXPECT_EQ(PixelAt(window_, button_->pos() + QPoint(5, 5)), qRgb(0, 0, 255));
    EXPECT_EQ(Face(), kBackdrop);
}

TEST_F(PictureButtonTest, StripHoldsFourFramesUntilSeparateFacesArrive) {
    delete button_;
    button_ = new CPictureButton(&window_, true);
    button_->move(10, 10);
    button_->show();
    QImage strip(kFace.width() * 4, kFace.height(), QImage::Format_RGB32);
    const QRgb frames[] = {kNormal, kHover, kPressed, kDisabled};
    for (int frame = 0; frame < 4; ++frame) {
        const QImage face = KeyFramed(frames[frame]);
        for (int y = 0; y < kFace.height(); ++y) {
            for (int x = 0; x < kFace.width(); ++x) {
                strip.setPixel(frame * kFace.width() + x, y, face.pixel(x, y));
            }
        }
    }
    button_->SetImages(ButtonImageSet{strip, {}, {}, {}, {}}, true);
    EXPECT_TRUE(button_->IsStrip());
    EXPECT_EQ(button_->size(), kFace);
    EXPECT_EQ(Face(), kNormal);
    EXPECT_EQ(PixelAt(window_, button_->pos()), kBackdrop);
    Enter();
    EXPECT_EQ(Face(), kHover);
    Press();
    EXPECT_EQ(Face(), kPressed);
    Release();
    Leave();
    EXPECT_EQ(Face(), kNormal) << "the focus face of a strip is its normal frame";
    button_->setEnabled(false);
    EXPECT_EQ(Face(), kDisabled);

    button_->SetImages({KeyFramed(kNormal), {}, {}, {}, KeyFramed(kFocus)}, true);
    EXPECT_FALSE(button_->IsStrip());
    EXPECT_EQ(Face(), kFocus);
}

TEST_F(PictureButtonTest, LargeButtonIsShapedToItsBuiltInFaceAndShowsItsDisabledFace) {
    button_->SetImages(198, 200, 199, 198, 201, true);
    ASSERT_EQ(button_->size(), QSize(85, 32));
    const QRegion shape = button_->OpaqueShape();
    EXPECT_FALSE(shape.contains(QPoint(0, 0)));
    EXPECT_FALSE(shape.contains(QPoint(84, 31)));
    EXPECT_TRUE(shape.contains(QPoint(42, 16)));
    EXPECT_TRUE(shape.contains(QPoint(0, 16)));

    QSignalSpy clicks(button_, &QAbstractButton::clicked);
    Press();
    Release();
    EXPECT_EQ(clicks.count(), 1);

    button_->setEnabled(false);
    const QImage disabled = KeyedOut(SkinImages::BitmapImage(201), kColourKey);
    const QImage shown = RenderedAlone(*button_);
    int differing = 0;
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 85; ++x) {
            differing += shown.pixel(x, y) != disabled.pixel(x, y);
        }
    }
    EXPECT_EQ(differing, 0);
    EXPECT_NE(SkinImages::BitmapImage(201), SkinImages::BitmapImage(198));
}

}  // namespace
}  // namespace koruvan::ui
