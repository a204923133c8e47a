#include <QPainter>

#include "tools/artgen/Art.h"

namespace koruvan::artgen {

QImage NewCanvas(int width, int height) {
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

QImage OnColourKey(const QImage& drawn, const QColor& matte) {
    QImage backdrop(drawn.size(), QImage::Format_ARGB32_Premultiplied);
    backdrop.fill(matte);
    const QImage composed = ComposeOver(backdrop, drawn);
    const QImage source = drawn.convertToFormat(QImage::Format_ARGB32);
    QImage out = composed.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < out.height(); ++y) {
        const auto* alpha = reinterpret_cast<const QRgb*>(source.constScanLine(y));
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x) {
            if (qAlpha(alpha[x]) < 128) {
                line[x] = palette::kColourKey.rgb();
            }
        }
    }
    return out;
}

QImage ComposeOver(const QImage& below, const QImage& drawn) {
    QImage out = below.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&out);
    painter.drawImage(0, 0, drawn);
    painter.end();
    return out.convertToFormat(QImage::Format_RGB32);
}

QFont ArtFont(int pixelSize, bool bold) {
    QFont font(QStringLiteral("Noto Sans CJK SC"));
    font.setPixelSize(pixelSize);
    font.setWeight(bold ? QFont::Bold : QFont::Normal);
    font.setHintingPreference(QFont::PreferNoHinting);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

}  // namespace koruvan::artgen
