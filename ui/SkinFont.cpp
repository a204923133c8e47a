#include "ui/SkinFont.h"

#include <QFontMetricsF>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace koruvan::ui {

QFont SkinFont(int height, QFont::Weight weight) {
    QFont font;
    font.setFamilies({QStringLiteral("微软雅黑"), QStringLiteral("Noto Sans CJK SC")});
    font.setStyleHint(QFont::SansSerif);
    font.setWeight(weight);
    font.setHintingPreference(QFont::PreferNoHinting);
    if (height < 0) {
        font.setPixelSize(-height);
    } else if (height > 0) {
        // Measure the cell of a large em and scale it down to the requested cell height.
        constexpr int kProbe = 100;
        font.setPixelSize(kProbe);
        const QFontMetricsF metrics(font);
        const double cell = metrics.ascent() + metrics.descent();
        const double pixels = cell > 0 ? height * kProbe / cell : height;
        font.setPixelSize(std::max(1, static_cast<int>(std::lround(pixels))));
    }
    return font;
}

}  // namespace koruvan::ui
