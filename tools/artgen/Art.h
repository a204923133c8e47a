// Shared pieces of the artwork generator: the palette, the output record and the drawing
// helpers used by every kind of picture.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainterPath>
#include <QString>

#include <cstdint>
#include <functional>
#include <vector>

namespace koruvan::artgen {

// One generated picture: written as `file`, listed in the manifest with its role.
struct Art {
    QString kind;  // "bitmap" or "icon"
    int id = 0;
    QString file;
    QImage image;
    QString role;
};

// The look: warm near-black surfaces, the window's orange-red accent and a cool blue for
// verification, matching the list rows and text colours the window uses.
namespace palette {
inline const QColor kColourKey(232, 5, 246);
inline const QColor kTitleTop(31, 25, 24);
inline const QColor kTitleBottom(23, 19, 19);
inline const QColor kTitleMatte(27, 22, 21);  // what the title buttons sit on
inline const QColor kPanel(22, 19, 19);
inline const QColor kBottomBand(17, 14, 14);
inline const QColor kListZone(13, 12, 12);
inline const QColor kLine(44, 37, 36);
inline const QColor kOutline(56, 45, 44);
inline const QColor kAccent(204, 51, 0);
inline const QColor kAccentLight(244, 120, 58);
inline const QColor kWarmText(214, 187, 170);
inline const QColor kCoolText(182, 205, 218);
inline const QColor kMutedText(142, 120, 120);
}  // namespace palette

// A transparent ARGB canvas with antialiasing on.
QImage NewCanvas(int width, int height);

// Turns a picture drawn on a transparent canvas into an opaque one on the colour key: pixels
// at least half covered are composed over `matte` (the colour they will sit on in the window),
// the rest become the key colour. The result has no alpha.
QImage OnColourKey(const QImage& drawn, const QColor& matte);

// Composes `drawn` over `below` (same size) and returns an opaque picture.
QImage ComposeOver(const QImage& below, const QImage& drawn);

// Noto Sans CJK SC at a pixel size, without hinting, so that the output does not depend on
// the machine's font settings.
QFont ArtFont(int pixelSize, bool bold);

// A small deterministic pseudo-random sequence (the same pictures on every run).
class Lcg {
  public:
    explicit Lcg(std::uint32_t seed) : state_(seed) {}
    // Uniform in [0, 1).
    double Next() {
        state_ = state_ * 1664525u + 1013904223u;
        return (state_ >> 8) / 16777216.0;
    }

  private:
    std::uint32_t state_;
};

// Application icon 128 at `size` pixels, with alpha.
QImage DrawAppIcon(int size);

std::vector<Art> MakeButtons();
std::vector<Art> MakeBackgrounds();
std::vector<Art> MakeProgressBars();
std::vector<Art> MakeIcons();

}  // namespace koruvan::artgen
