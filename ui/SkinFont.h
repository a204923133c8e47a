// The window's typeface: "微软雅黑" where it is installed, else Noto Sans CJK SC.
#pragma once

#include <QFont>

namespace koruvan::ui {

// Sizes follow the old height convention, in pixels: a positive `height` is the cell height
// (ascent + descent), a negative one the character height (the em size); 0 keeps the
// default size. Sans-serif style hint, no hinting (the same glyphs on every machine).
QFont SkinFont(int height, QFont::Weight weight = QFont::Normal);

}  // namespace koruvan::ui
