// The window's artwork: bitmaps and the application icon compiled into the library, and the
// two window backgrounds, which a file in "res/" of the working folder may replace.
//
// Button images are opaque pictures on the colour key; the key colour marks the pixels that
// let the window behind show through, and it shapes the large buttons and the bottom edge of
// the collapsed window (OpaqueRegion).
//
// Pixmaps belong to the GUI thread: call these functions there only.
#pragma once

#include <QIcon>
#include <QImage>
#include <QList>
#include <QPixmap>
#include <QRegion>
#include <QString>

namespace koruvan::ui {

// RGB(232, 5, 246): see-through in button images and in the collapsed background's edge.
inline constexpr QRgb kColourKey = 0xffe805f6;

// Ids of the bitmaps that are not button faces.
inline constexpr int kExpandedBackgroundId = 140;
inline constexpr int kCollapsedBackgroundId = 186;
inline constexpr int kProgressTrackId = 170;
inline constexpr int kProgressFillId = 171;
inline constexpr int kVerifyFillId = 172;
inline constexpr int kAppIconId = 128;

// The five faces of a picture button; a null face stands for "use the normal face".
struct ButtonImageSet {
    QImage normal;
    QImage pressed;
    QImage hover;
    QImage focus;
    QImage disabled;
};

class SkinImages {
  public:
    // The built-in bitmap `id`; null when there is none.
    static QImage BitmapImage(int id);
    static QPixmap Bitmap(int id);

    // The faces with the given bitmap ids (normal, pressed, hover, focus, disabled);
    // an id of 0 (or an unknown id) gives a null face.
    static ButtonImageSet ButtonImages(int normal, int pressed, int hover = 0, int focus = 0,
                                       int disabled = 0);

    // The window background: "res/bg.bmp" (expanded) or "res/bg2.bmp" (collapsed) inside
    // `folder` (empty: the current folder) when that file is a readable image, else bitmap
    // 140 or 186. Files are read once per path and then served from a cache.
    static QPixmap Background(bool expanded, const QString& folder = QString());
    // The path Background() tries first.
    static QString BackgroundFile(bool expanded, const QString& folder = QString());

    // Application icon 128 at one of IconSizes(); null for other sizes.
    static QPixmap IconPixmap(int size);
    // Application icon 128 with every size.
    static QIcon AppIcon();
    static QList<int> IconSizes();

    // Drops the cached pixmaps (the window calls it when it is destroyed).
    static void ClearCache();
};

// The rectangle of `image` minus every pixel of colour `key` in rows firstRow..lastRow
// (inclusive; rows outside the image are ignored). Rows outside that range stay whole.
QRegion OpaqueRegion(const QImage& image, QRgb key, int firstRow, int lastRow);
// The same over every row.
QRegion OpaqueRegion(const QImage& image, QRgb key);

// A copy of `image` in which the pixels of colour `key` are fully transparent and all
// others fully opaque (alpha of the source ignored).
QImage KeyedOut(const QImage& image, QRgb key);

}  // namespace koruvan::ui
