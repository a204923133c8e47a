// The two window backgrounds (list collapsed 411 x 307, list expanded 411 x 385) and the
// progress bar pictures. Rectangles follow the window's layout: title band with its buttons
// at the top, the picture band, the save-folder line at y 205..230, the progress line at
// y 244..280, the list toggle at x 186..217 / y 278..307 and, expanded, the list below.
#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>

#include <cmath>

#include "tools/artgen/Art.h"

namespace koruvan::artgen {
namespace {

constexpr int kWidth = 411;
constexpr int kCollapsedHeight = 307;
constexpr int kExpandedHeight = 385;
constexpr int kTitleHeight = 38;
constexpr int kPictureBottom = 198;
constexpr int kBottomBandTop = 283;
constexpr int kCornerRadius = 8;

void PaintTitleBand(QPainter& p) {
    QLinearGradient band(0, 0, 0, kTitleHeight);
    band.setColorAt(0, palette::kTitleTop);
    band.setColorAt(1, palette::kTitleBottom);
    p.fillRect(QRect(0, 0, kWidth, kTitleHeight), band);
    QLinearGradient accent(0, 0, kWidth, 0);
    accent.setColorAt(0, QColor(204, 51, 0, 0));
    accent.setColorAt(0.3, QColor(204, 51, 0, 200));
    accent.setColorAt(0.7, QColor(204, 51, 0, 200));
    accent.setColorAt(1, QColor(204, 51, 0, 0));
    p.fillRect(QRect(0, kTitleHeight - 1, kWidth, 1), accent);
    p.drawImage(QPoint(11, 10), DrawAppIcon(18));
    p.setFont(ArtFont(13, false));
    p.setPen(palette::kWarmText);
    p.drawText(QPointF(36, 24), QStringLiteral("Irvane下载器"));
}

void PaintStars(QPainter& p) {
    Lcg random(0x4b52564eu);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 56; ++i) {
        const double x = random.Next() * kWidth;
        const double depth = random.Next();
        const double y = kTitleHeight + 4 + depth * depth * 92;
        const double radius = 0.45 + random.Next() * 0.8;
        const int alpha = 50 + static_cast<int>(random.Next() * 140);
        p.setBrush(QColor(255, 236, 222, alpha));
        p.drawEllipse(QPointF(x, y), radius, radius);
    }
}

void PaintRidges(QPainter& p) {
    struct Ridge {
        double base;
        double height;
        double wave1;
        double wave2;
        double phase;
        QColor colour;
    };
    const Ridge ridges[] = {{132, 17, 0.021, 0.058, 0.4, QColor(66, 31, 26)},
                            {150, 13, 0.016, 0.047, 2.1, QColor(45, 25, 22)},
                            {170, 9, 0.027, 0.073, 4.0, QColor(30, 21, 20)}};
    for (const Ridge& ridge : ridges) {
        QPainterPath path(QPointF(0, kPictureBottom));
        for (int x = 0; x <= kWidth; x += 3) {
            const double y =
                ridge.base - ridge.height * (0.6 * std::sin(ridge.wave1 * x + ridge.phase) +
                                             0.4 * std::sin(ridge.wave2 * x + 1.7 * ridge.phase));
            path.lineTo(x, y);
        }
        path.lineTo(kWidth, kPictureBottom);
        path.closeSubpath();
        p.fillPath(path, ridge.colour);
    }
}

// An evening sky over layered hills, fading into the panel below.
void PaintPicture(QPainter& p) {
    const QRect area(0, kTitleHeight, kWidth, kPictureBottom - kTitleHeight);
    QLinearGradient sky(0, area.top(), 0, area.bottom());
    sky.setColorAt(0, QColor(24, 17, 20));
    sky.setColorAt(0.6, QColor(60, 29, 22));
    sky.setColorAt(1, QColor(32, 21, 19));
    p.fillRect(area, sky);
    QRadialGradient glow(QPointF(292, 128), 160);
    glow.setColorAt(0, QColor(255, 122, 52, 120));
    glow.setColorAt(0.45, QColor(204, 51, 0, 46));
    glow.setColorAt(1, QColor(204, 51, 0, 0));
    p.fillRect(area, glow);
    PaintStars(p);
    QRadialGradient sun(QPointF(292, 122), 25);
    sun.setColorAt(0, QColor(255, 214, 160, 240));
    sun.setColorAt(0.72, QColor(250, 136, 64, 210));
    sun.setColorAt(1, QColor(236, 92, 30, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(sun);
    p.drawEllipse(QPointF(292, 122), 25, 25);
    PaintRidges(p);
    QColor clear = palette::kPanel;
    clear.setAlpha(0);
    QLinearGradient fade(0, 172, 0, kPictureBottom);
    fade.setColorAt(0, clear);
    fade.setColorAt(1, palette::kPanel);
    p.fillRect(QRect(0, 172, kWidth, kPictureBottom - 172), fade);
}

// Save-folder line and progress line; the window draws the texts, the progress pictures
// and the buttons over it.
void PaintPanel(QPainter& p) {
    p.fillRect(QRect(0, kPictureBottom, kWidth, kBottomBandTop - kPictureBottom), palette::kPanel);
    p.setPen(QPen(QColor(58, 48, 47), 1));
    p.setBrush(palette::kListZone);
    p.drawRoundedRect(QRectF(252.5, 206.5, 115, 22), 3, 3);
    p.fillRect(QRect(9, 238, kWidth - 18, 1), QColor(38, 32, 31));
}

void PaintBottomBand(QPainter& p, bool expanded) {
    p.fillRect(QRect(0, kBottomBandTop, kWidth, kCollapsedHeight - kBottomBandTop),
               palette::kBottomBand);
    p.fillRect(QRect(0, kBottomBandTop, kWidth, 1), palette::kLine);
    p.setPen(QPen(QColor(64, 52, 51), 1));
    p.setBrush(QColor(31, 26, 26));
    p.drawRoundedRect(QRectF(187.5, 287.5, 29, 15), 7.5, 7.5);
    p.setPen(QPen(palette::kWarmText, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    const double tip = expanded ? 292.5 : 297.5;
    const double wing = expanded ? 297.5 : 292.5;
    p.drawPolyline(QPolygonF({{197, wing}, {202, tip}, {207, wing}}));
}

void PaintListZone(QPainter& p) {
    p.fillRect(QRect(0, kCollapsedHeight, kWidth, kExpandedHeight - kCollapsedHeight),
               palette::kListZone);
    p.fillRect(QRect(0, kCollapsedHeight, kWidth, 1), palette::kLine);
    p.fillRect(QRect(0, kCollapsedHeight + 1, kWidth, 14), QColor(19, 16, 16));
}

// The window's outline within `box`: square top corners, bottom corners rounded when the
// list is hidden.
QPainterPath Outline(const QRectF& box, bool rounded) {
    QPainterPath path;
    if (!rounded) {
        path.addRect(box);
        return path;
    }
    const double d = 2.0 * kCornerRadius;
    path.moveTo(box.topLeft());
    path.lineTo(box.topRight());
    path.lineTo(box.right(), box.bottom() - kCornerRadius);
    path.arcTo(QRectF(box.right() - d, box.bottom() - d, d, d), 0, -90);
    path.lineTo(box.left() + kCornerRadius, box.bottom());
    path.arcTo(QRectF(box.left(), box.bottom() - d, d, d), 270, -90);
    path.closeSubpath();
    return path;
}

QImage Background(bool expanded) {
    const int height = expanded ? kExpandedHeight : kCollapsedHeight;
    QImage canvas = NewCanvas(kWidth, height);
    QPainter p(&canvas);
    p.setRenderHint(QPainter::Antialiasing);
    p.setClipPath(Outline(QRectF(0, 0, kWidth, height), !expanded));
    PaintTitleBand(p);
    PaintPicture(p);
    PaintPanel(p);
    PaintBottomBand(p, expanded);
    if (expanded) {
        PaintListZone(p);
    }
    p.setClipping(false);
    p.setPen(QPen(palette::kOutline, 1));
    p.setBrush(Qt::NoBrush);
    p.drawPath(Outline(QRectF(0.5, 0.5, kWidth - 1, height - 1), !expanded));
    p.end();
    // Outside the rounded corners: the colour key, which the window cuts away.
    return OnColourKey(canvas, palette::kBottomBand);
}

// ---- progress bar: track 170, download fill 171, verification fill 172 (286 x 12) ----

constexpr int kBarWidth = 286;
constexpr int kBarHeight = 12;

QImage Track() {
    QImage canvas = NewCanvas(kBarWidth, kBarHeight);
    QPainter p(&canvas);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(52, 43, 42), 1));
    p.setBrush(QColor(9, 8, 8));
    p.drawRoundedRect(QRectF(0.5, 0.5, kBarWidth - 1, kBarHeight - 1), 5.5, 5.5);
    p.fillRect(QRectF(5, 1.5, kBarWidth - 10, 1), QColor(0, 0, 0, 150));
    p.end();
    QImage panel(kBarWidth, kBarHeight, QImage::Format_ARGB32_Premultiplied);
    panel.fill(palette::kPanel);
    return ComposeOver(panel, canvas);
}

QImage Fill(const QImage& track, const QColor& light, const QColor& mid, const QColor& dark) {
    QImage canvas = NewCanvas(kBarWidth, kBarHeight);
    QPainter p(&canvas);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath bar;
    bar.addRoundedRect(QRectF(0, 0, kBarWidth, kBarHeight), 6, 6);
    QLinearGradient body(0, 0, 0, kBarHeight);
    body.setColorAt(0, light);
    body.setColorAt(0.5, mid);
    body.setColorAt(1, dark);
    p.fillPath(bar, body);
    p.setClipPath(bar);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 22));
    for (int x = -kBarHeight; x < kBarWidth; x += 10) {
        p.drawPolygon(QPolygonF({{double(x), kBarHeight},
                                 {x + 4.0, kBarHeight},
                                 {x + 4.0 + kBarHeight, 0},
                                 {double(x + kBarHeight), 0}}));
    }
    p.fillRect(QRectF(3, 1, kBarWidth - 6, 1), QColor(255, 255, 255, 90));
    p.end();
    return ComposeOver(track, canvas);
}

}  // namespace

std::vector<Art> MakeBackgrounds() {
    return {{QStringLiteral("bitmap"), 140, QStringLiteral("bitmap_140.png"), Background(true),
             QStringLiteral("window background, file list shown (no colour key)")},
            {QStringLiteral("bitmap"), 186, QStringLiteral("bitmap_186.png"), Background(false),
             QStringLiteral("window background, file list hidden (bottom corners on the key)")}};
}

std::vector<Art> MakeProgressBars() {
    const QImage track = Track();
    return {{QStringLiteral("bitmap"), 170, QStringLiteral("bitmap_170.png"), track,
             QStringLiteral("progress track")},
            {QStringLiteral("bitmap"), 171, QStringLiteral("bitmap_171.png"),
             Fill(track, QColor(252, 140, 78), QColor(218, 76, 20), QColor(172, 42, 4)),
             QStringLiteral("download progress fill")},
            {QStringLiteral("bitmap"), 172, QStringLiteral("bitmap_172.png"),
             Fill(track, QColor(166, 206, 228), QColor(92, 146, 178), QColor(52, 96, 126)),
             QStringLiteral("verification and repair progress fill")}};
}

}  // namespace koruvan::artgen
