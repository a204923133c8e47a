// Application icon 128: a warm dark tile with an orange arrow dropping into a tray. Drawn
// on a 256-unit grid and scaled, so every size comes from the same geometry; the thin rim is
// left out below 32 pixels where it would only blur the edge.
#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>

#include "tools/artgen/Art.h"

namespace koruvan::artgen {

QImage DrawAppIcon(int size) {
    QImage canvas = NewCanvas(size, size);
    QPainter p(&canvas);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 256.0, size / 256.0);

    QPainterPath tile;
    tile.addRoundedRect(QRectF(8, 8, 240, 240), 54, 54);
    QLinearGradient body(0, 8, 0, 248);
    body.setColorAt(0, QColor(70, 38, 30));
    body.setColorAt(1, QColor(22, 17, 17));
    p.fillPath(tile, body);
    p.save();
    p.setClipPath(tile);
    QRadialGradient glow(QPointF(128, 104), 120);
    glow.setColorAt(0, QColor(255, 110, 40, 96));
    glow.setColorAt(1, QColor(204, 51, 0, 0));
    p.fillRect(QRectF(8, 8, 240, 240), glow);
    p.restore();
    if (size >= 32) {
        p.setPen(QPen(QColor(255, 150, 96, 80), 6));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(13, 13, 230, 230), 50, 50);
    }

    QPainterPath arrow;
    arrow.addRoundedRect(QRectF(106, 40, 44, 90), 8, 8);
    QPainterPath head;
    head.addPolygon(QPolygonF({{62, 116}, {194, 116}, {128, 184}}));
    head.closeSubpath();
    arrow = arrow.united(head);
    QLinearGradient fire(0, 40, 0, 184);
    fire.setColorAt(0, QColor(255, 168, 96));
    fire.setColorAt(1, QColor(204, 51, 0));
    p.fillPath(arrow, fire);

    p.setPen(QPen(palette::kWarmText, 18, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(QPolygonF({{58, 168}, {58, 206}, {198, 206}, {198, 168}}));
    p.end();
    return canvas;
}

std::vector<Art> MakeIcons() {
    std::vector<Art> out;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        out.push_back({QStringLiteral("icon"), 128, QStringLiteral("icon_128_%1.png").arg(size),
                       DrawAppIcon(size), QStringLiteral("application icon, %1 px").arg(size)});
    }
    return out;
}

}  // namespace koruvan::artgen
