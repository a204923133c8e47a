#include "ui/SkinImages.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QTextStream>

#include "QtTestEnvironment.h"
#include "support/TempDir.h"
#include "ui/SkinFont.h"

namespace koruvan::ui {
namespace {

bool HasKey(const QImage& image, int row) {
    for (int x = 0; x < image.width(); ++x) {
        if ((image.pixel(x, row) | 0xff000000u) == kColourKey) {
            return true;
        }
    }
    return false;
}

// Each button of the window with its faces (normal, pressed, hover, disabled; 0 = none)
// and the size of its rectangle.
struct WindowButton {
    int faces[4];
    QSize size;
};
const WindowButton kButtons[] = {
    {{198, 200, 199, 201}, {85, 32}}, {{202, 204, 203, 205}, {85, 32}},
    {{210, 212, 211, 213}, {85, 32}}, {{231, 233, 232, 234}, {85, 32}},
    {{214, 216, 215, 235}, {26, 26}}, {{228, 230, 229, 0}, {25, 25}},
    {{218, 220, 219, 0}, {25, 25}},   {{222, 224, 223, 0}, {25, 25}},
};

TEST(SkinImages, EveryButtonFaceStandsOnTheColourKeyAndFillsItsRectangle) {
    for (const WindowButton& button : kButtons) {
        QImage previous;
        for (int id : button.faces) {
            if (id == 0) {
                continue;
            }
            const QImage face = SkinImages::BitmapImage(id);
            ASSERT_FALSE(face.isNull()) << id;
            EXPECT_EQ(face.size(), button.size) << id;
            EXPECT_EQ(face.pixel(0, 0) | 0xff000000u, kColourKey) << id;
            const QRegion shape = OpaqueRegion(face, kColourKey);
            EXPECT_TRUE(shape.contains(QRect(QPoint(0, 0), face.size()).center())) << id;
            EXPECT_NE(face, previous) << "faces of one button differ: " << id;
            previous = face;
        }
    }
}

TEST(SkinImages, ProgressAndBackgroundsHaveTheWindowSizes) {
    EXPECT_EQ(SkinImages::BitmapImage(kProgressTrackId).size(), QSize(286, 12));
    EXPECT_EQ(SkinImages::BitmapImage(kProgressFillId).size(), QSize(286, 12));
    EXPECT_EQ(SkinImages::BitmapImage(kVerifyFillId).size(), QSize(286, 12));
    EXPECT_EQ(SkinImages::BitmapImage(kCollapsedBackgroundId).size(), QSize(411, 307));
    EXPECT_EQ(SkinImages::BitmapImage(kExpandedBackgroundId).size(), QSize(411, 385));
    EXPECT_TRUE(SkinImages::BitmapImage(4242).isNull());
    EXPECT_TRUE(SkinImages::Bitmap(0).isNull());
}

// The collapsed window is cut to bitmap 186 over rows 283..308 only; the key may appear
// nowhere else, and the expanded (rectangular) background must not contain it at all.
TEST(SkinImages, OnlyTheCollapsedBottomEdgeCarriesTheKey) {
    const QImage collapsed = SkinImages::BitmapImage(kCollapsedBackgroundId);
    for (int y = 0; y < 283; ++y) {
        ASSERT_FALSE(HasKey(collapsed, y)) << "row " << y;
    }
    EXPECT_TRUE(HasKey(collapsed, 306));
    const QRegion shape = OpaqueRegion(collapsed, kColourKey, 283, 308);
    EXPECT_FALSE(shape.contains(QPoint(0, 306)));
    EXPECT_FALSE(shape.contains(QPoint(410, 306)));
    EXPECT_TRUE(shape.contains(QPoint(0, 0)));
    EXPECT_TRUE(shape.contains(QPoint(205, 306)));
    EXPECT_TRUE(shape.contains(QPoint(0, 290)));

    const QImage expanded = SkinImages::BitmapImage(kExpandedBackgroundId);
    for (int y = 0; y < expanded.height(); ++y) {
        ASSERT_FALSE(HasKey(expanded, y)) << "row " << y;
    }
}

TEST(SkinImages, ManifestListsEveryEmbeddedPictureWithItsSize) {
    QFile file(QStringLiteral(":/koruvan/skin/manifest.txt"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QTextStream in(&file);
    int entries = 0;
    while (!in.atEnd()) {
        const QString line = in.readLine();
        if (line.startsWith('#') || line.isEmpty()) {
            continue;
        }
        const QStringList fields = line.split(' ');
        ASSERT_GE(fields.size(), 5) << line.toStdString();
        const QImage image(QStringLiteral(":/koruvan/skin/") + fields[4]);
        EXPECT_EQ(image.size(), QSize(fields[2].toInt(), fields[3].toInt())) << line.toStdString();
        ++entries;
    }
    EXPECT_EQ(entries, 34 + 7);
}

TEST(SkinImages, AppIconComesInTheUsualSizes) {
    const QList<int> sizes = SkinImages::IconSizes();
    EXPECT_EQ(sizes, QList<int>({16, 24, 32, 48, 64, 128, 256}));
    for (int size : sizes) {
        const QPixmap icon = SkinImages::IconPixmap(size);
        EXPECT_EQ(icon.size(), QSize(size, size));
        EXPECT_TRUE(icon.hasAlphaChannel());
    }
    EXPECT_TRUE(SkinImages::IconPixmap(20).isNull());
    EXPECT_EQ(SkinImages::AppIcon().availableSizes().size(), sizes.size());
}

// "res/bg.bmp" / "res/bg2.bmp" in the working folder replace the built-in backgrounds; a
// file that is not a readable image does not blank the window.
TEST(SkinImages, BackgroundFileInTheFolderComesFirst) {
    koruvan::test::TempDir dir;
    const QString folder = QString::fromStdString(dir.Path());
    ASSERT_TRUE(QDir(folder).mkdir(QStringLiteral("res")));
    ASSERT_TRUE(test::Solid({411, 385}, Qt::blue).save(folder + "/res/bg.bmp", "BMP"));
    koruvan::test::WriteFile(dir.File("res/bg2.bmp"), "BM not really a bitmap");

    const QImage expanded = SkinImages::Background(true, folder).toImage();
    EXPECT_EQ(expanded.pixel(200, 200) | 0xff000000u, qRgb(0, 0, 255));
    EXPECT_EQ(SkinImages::Background(false, folder).toImage(),
              SkinImages::Bitmap(kCollapsedBackgroundId).toImage());
    EXPECT_EQ(SkinImages::BackgroundFile(false, folder), folder + "/res/bg2.bmp");

    koruvan::test::TempDir empty;
    EXPECT_EQ(SkinImages::Background(true, QString::fromStdString(empty.Path())).toImage(),
              SkinImages::BitmapImage(kExpandedBackgroundId)
                  .convertToFormat(SkinImages::Bitmap(kExpandedBackgroundId).toImage().format()));
    SkinImages::ClearCache();
}

TEST(SkinImages, OpaqueRegionCutsOnlyTheKeyInTheGivenRows) {
    QImage image = test::Solid({6, 4}, Qt::white);
    image.setPixel(0, 0, kColourKey);
    image.setPixel(5, 3, kColourKey);
    image.setPixel(2, 1, kColourKey & 0x00ffffffu);  // alpha bits do not matter
    const QRegion all = OpaqueRegion(image, kColourKey);
    EXPECT_FALSE(all.contains(QPoint(0, 0)));
    EXPECT_FALSE(all.contains(QPoint(5, 3)));
    EXPECT_FALSE(all.contains(QPoint(2, 1)));
    EXPECT_EQ(all.boundingRect(), QRect(0, 0, 6, 4));
    const QRegion bottom = OpaqueRegion(image, kColourKey, 3, 10);
    EXPECT_TRUE(bottom.contains(QPoint(0, 0)));
    EXPECT_FALSE(bottom.contains(QPoint(5, 3)));
    EXPECT_EQ(OpaqueRegion(image, kColourKey, 50, 60), QRegion(0, 0, 6, 4));
    EXPECT_TRUE(OpaqueRegion(QImage(), kColourKey).isEmpty());
}

TEST(SkinFont, CellHeightsAndFallback) {
    const QFont text = SkinFont(18);
    const QString family = QFontInfo(text).family();
    EXPECT_TRUE(family == QStringLiteral("微软雅黑") || family.startsWith("Noto Sans CJK"))
        << family.toStdString();
    const QFontMetricsF metrics(text);
    EXPECT_NEAR(metrics.ascent() + metrics.descent(), 18.0, 1.0);
    EXPECT_EQ(SkinFont(-16).pixelSize(), 16);
    EXPECT_TRUE(QFontMetricsF(text).inFont(QChar(0x4E0B))) << "下 must have a glyph";
}

}  // namespace
}  // namespace koruvan::ui
