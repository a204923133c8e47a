// Button faces. Every face is an opaque picture on the colour key: the window draws it with
// the key see-through, and the large buttons are shaped to it.
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>

#include <cmath>

#include "tools/artgen/Art.h"

namespace koruvan::artgen {
namespace {

enum class Look { kNormal, kHover, kPressed, kDisabled };

struct FaceColours {
    QColor top;
    QColor bottom;
    QColor border;
    QColor glyph;
};

// Glyphs draw themselves in a 12 x 12 box at the painter's origin (large buttons) or in the
// button's own coordinates (small buttons).
using Glyph = std::function<void(QPainter&, const QColor&)>;

// ---- large buttons: 85 x 32, a caption with a glyph on an orange plate ----

constexpr int kLargeWidth = 85;
constexpr int kLargeHeight = 32;

FaceColours LargeColours(Look look) {
    switch (look) {
        case Look::kHover:
            return {QColor(250, 124, 62), QColor(212, 72, 22), QColor(150, 44, 8), Qt::white};
        case Look::kPressed:
            return {QColor(160, 40, 6), QColor(198, 62, 18), QColor(96, 24, 0),
                    QColor(255, 226, 210)};
        case Look::kDisabled:
            return {QColor(66, 58, 57), QColor(49, 43, 42), QColor(78, 68, 67),
                    QColor(134, 122, 120)};
        case Look::kNormal:
            break;
    }
    return {QColor(234, 94, 38), QColor(184, 50, 8), QColor(118, 30, 2), Qt::white};
}

void DrawPlate(QPainter& p, Look look, const FaceColours& colours) {
    QPainterPath plate;
    plate.addRoundedRect(QRectF(0.5, 0.5, kLargeWidth - 1, kLargeHeight - 1), 8, 8);
    QLinearGradient fill(0, 0, 0, kLargeHeight);
    fill.setColorAt(0, colours.top);
    fill.setColorAt(1, colours.bottom);
    p.fillPath(plate, fill);
    p.save();
    p.setClipPath(plate);
    if (look == Look::kNormal || look == Look::kHover) {
        QLinearGradient sheen(0, 1, 0, kLargeHeight / 2.0);
        sheen.setColorAt(0, QColor(255, 255, 255, look == Look::kHover ? 90 : 64));
        sheen.setColorAt(1, QColor(255, 255, 255, 0));
        p.fillRect(QRectF(0, 0, kLargeWidth, kLargeHeight / 2.0), sheen);
    } else if (look == Look::kPressed) {
        QLinearGradient shade(0, 0, 0, 7);
        shade.setColorAt(0, QColor(0, 0, 0, 110));
        shade.setColorAt(1, QColor(0, 0, 0, 0));
        p.fillRect(QRectF(0, 0, kLargeWidth, 7), shade);
    }
    p.restore();
    p.setPen(QPen(colours.border, 1));
    p.setBrush(Qt::NoBrush);
    p.drawPath(plate);
}

QImage LargeFace(const QString& caption, const Glyph& glyph, Look look) {
    QImage canvas = NewCanvas(kLargeWidth, kLargeHeight);
    QPainter p(&canvas);
    p.setRenderHint(QPainter::Antialiasing);
    const FaceColours colours = LargeColours(look);
    DrawPlate(p, look, colours);

    const QFont font = ArtFont(15, true);
    const QFontMetricsF metrics(font);
    constexpr double kGlyph = 12;
    constexpr double kGap = 6;
    const double groupWidth = kGlyph + kGap + metrics.horizontalAdvance(caption);
    const double left = std::round((kLargeWidth - groupWidth) / 2);
    const double shift = look == Look::kPressed ? 1 : 0;
    // Ideographs sit about 0.38 em above the baseline at their middle.
    const double baseline = kLargeHeight / 2.0 + 0.38 * font.pixelSize() + shift;
    p.setFont(font);
    if (look != Look::kDisabled) {
        p.setPen(QColor(60, 12, 0, 120));
        p.drawText(QPointF(left + kGlyph + kGap, baseline + 1), caption);
    }
    p.setPen(colours.glyph);
    p.drawText(QPointF(left + kGlyph + kGap, baseline), caption);
    p.save();
    p.translate(left, (kLargeHeight - kGlyph) / 2 + shift);
    glyph(p, colours.glyph);
    p.restore();
    p.end();
    return OnColourKey(canvas, palette::kPanel);
}

void DownloadGlyph(QPainter& p, const QColor& colour) {
    QPainterPath arrow;
    arrow.addPolygon(
        QPolygonF({{4.6, 0}, {7.4, 0}, {7.4, 4.8}, {10.2, 4.8}, {6, 9.2}, {1.8, 4.8}, {4.6, 4.8}}));
    arrow.closeSubpath();
    arrow.addRoundedRect(QRectF(0.5, 10, 11, 1.8), 0.9, 0.9);
    p.fillPath(arrow, colour);
}

void PauseGlyph(QPainter& p, const QColor& colour) {
    QPainterPath bars;
    bars.addRoundedRect(QRectF(2.2, 0.8, 2.9, 10.4), 0.8, 0.8);
    bars.addRoundedRect(QRectF(6.9, 0.8, 2.9, 10.4), 0.8, 0.8);
    p.fillPath(bars, colour);
}

void PlayGlyph(QPainter& p, const QColor& colour) {
    QPainterPath play;
    play.addPolygon(QPolygonF({{2.5, 0.5}, {11, 6}, {2.5, 11.5}}));
    play.closeSubpath();
    p.fillPath(play, colour);
}

void CheckGlyph(QPainter& p, const QColor& colour) {
    p.setPen(QPen(colour, 2.1, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(QPolygonF({{1.2, 6.2}, {4.6, 9.6}, {10.8, 2.2}}));
}

struct LargeButton {
    int firstId;  // normal; hover, pressed and disabled follow
    const char* role;
    const char* caption;
    Glyph glyph;
};

// ---- the folder button (26 x 26) and the title-bar buttons (25 x 25) ----

FaceColours SmallColours(Look look, bool danger) {
    switch (look) {
        case Look::kHover:
            return danger ? FaceColours{palette::kAccent, palette::kAccent, QColor(236, 96, 44),
                                        Qt::white}
                          : FaceColours{QColor(70, 57, 55), QColor(60, 49, 47), QColor(98, 80, 77),
                                        QColor(244, 232, 224)};
        case Look::kPressed:
            return danger ? FaceColours{QColor(150, 36, 0), QColor(150, 36, 0), QColor(118, 28, 0),
                                        QColor(255, 220, 200)}
                          : FaceColours{QColor(26, 22, 22), QColor(32, 27, 27), QColor(54, 44, 43),
                                        palette::kAccentLight};
        case Look::kDisabled:
            return {QColor(30, 26, 26), QColor(30, 26, 26), QColor(44, 38, 38), QColor(76, 68, 67)};
        case Look::kNormal:
            break;
    }
    return {QColor(44, 37, 36), QColor(36, 30, 30), QColor(62, 51, 50), QColor(178, 158, 154)};
}

QImage SmallFace(int size, bool round, bool danger, const Glyph& glyph, Look look,
                 const QColor& matte) {
    QImage canvas = NewCanvas(size, size);
    QPainter p(&canvas);
    p.setRenderHint(QPainter::Antialiasing);
    const FaceColours colours = SmallColours(look, danger);
    QPainterPath plate;
    const QRectF box(0.5, 0.5, size - 1, size - 1);
    if (round) {
        plate.addEllipse(box.adjusted(0.5, 0.5, -0.5, -0.5));
    } else {
        plate.addRoundedRect(box, 5, 5);
    }
    QLinearGradient fill(0, 0, 0, size);
    fill.setColorAt(0, colours.top);
    fill.setColorAt(1, colours.bottom);
    p.fillPath(plate, fill);
    p.setPen(QPen(colours.border, 1));
    p.drawPath(plate);
    if (look == Look::kPressed) {
        p.translate(0.6, 0.8);
    }
    glyph(p, colours.glyph);
    p.end();
    return OnColourKey(canvas, matte);
}

void FolderGlyph(QPainter& p, const QColor& colour) {
    QPainterPath back;
    back.addRoundedRect(QRectF(6, 7.5, 6.5, 3.5), 1, 1);
    back.addRoundedRect(QRectF(6, 9.5, 14, 9.5), 1.5, 1.5);
    p.fillPath(back, colour.darker(135));
    QPainterPath front;
    front.addPolygon(QPolygonF({{7.6, 12}, {21.4, 12}, {20, 19}, {6, 19}}));
    front.closeSubpath();
    p.fillPath(front, colour);
}

void GearGlyph(QPainter& p, const QColor& colour) {
    constexpr double kCx = 12.5;
    constexpr double kCy = 12.5;
    constexpr double kPi = 3.14159265358979323846;
    QPolygonF outline;
    for (int tooth = 0; tooth < 8; ++tooth) {
        const double centre = tooth * kPi / 4;
        const double spans[4][2] = {{-0.26, 5.0}, {-0.15, 7.0}, {0.15, 7.0}, {0.26, 5.0}};
        for (const auto& [angle, radius] : spans) {
            outline << QPointF(kCx + radius * std::cos(centre + angle),
                               kCy + radius * std::sin(centre + angle));
        }
    }
    QPainterPath gear;
    gear.setFillRule(Qt::OddEvenFill);
    gear.addPolygon(outline);
    gear.closeSubpath();
    gear.addEllipse(QPointF(kCx, kCy), 2.3, 2.3);
    p.fillPath(gear, colour);
}

void MinimiseGlyph(QPainter& p, const QColor& colour) {
    QPainterPath bar;
    bar.addRoundedRect(QRectF(7.5, 13.5, 10, 2), 1, 1);
    p.fillPath(bar, colour);
}

void CloseGlyph(QPainter& p, const QColor& colour) {
    p.setPen(QPen(colour, 1.9, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(8.6, 8.6), QPointF(16.4, 16.4));
    p.drawLine(QPointF(16.4, 8.6), QPointF(8.6, 16.4));
}

Art Bitmap(int id, const QImage& image, const QString& role) {
    return {QStringLiteral("bitmap"), id, QStringLiteral("bitmap_%1.png").arg(id), image, role};
}

const char* LookName(Look look) {
    switch (look) {
        case Look::kHover:
            return "hover";
        case Look::kPressed:
            return "pressed";
        case Look::kDisabled:
            return "disabled";
        case Look::kNormal:
            break;
    }
    return "normal (also focus)";
}

}  // namespace

std::vector<Art> MakeButtons() {
    std::vector<Art> out;
    const LargeButton large[] = {{198, "Start", "开始", DownloadGlyph},
                                 {202, "Pause", "暂停", PauseGlyph},
                                 {210, "Continue", "继续", PlayGlyph},
                                 {231, "Install", "安装", CheckGlyph}};
    const Look order[] = {Look::kNormal, Look::kHover, Look::kPressed, Look::kDisabled};
    for (const LargeButton& button : large) {
        for (int i = 0; i < 4; ++i) {
            const QString caption = QString::fromUtf8(button.caption);
            out.push_back(
                Bitmap(button.firstId + i, LargeFace(caption, button.glyph, order[i]),
                       QStringLiteral("%1 button %2").arg(button.role, LookName(order[i]))));
        }
    }
    // The folder button serves both "change" and "open"; its disabled face is 235.
    const int folderIds[] = {214, 215, 216, 235};
    for (int i = 0; i < 4; ++i) {
        out.push_back(Bitmap(folderIds[i],
                             SmallFace(26, false, false, FolderGlyph, order[i], palette::kPanel),
                             QStringLiteral("Folder button %1").arg(LookName(order[i]))));
    }
    struct TitleButton {
        int firstId;
        const char* role;
        bool danger;
        Glyph glyph;
    };
    const TitleButton title[] = {{228, "Settings", false, GearGlyph},
                                 {218, "Minimise", false, MinimiseGlyph},
                                 {222, "Close", true, CloseGlyph}};
    for (const TitleButton& button : title) {
        for (int i = 0; i < 3; ++i) {
            out.push_back(Bitmap(
                button.firstId + i,
                SmallFace(25, true, button.danger, button.glyph, order[i], palette::kTitleMatte),
                QStringLiteral("%1 button %2").arg(button.role, LookName(order[i]))));
        }
    }
    return out;
}

}  // namespace koruvan::artgen
