// koruvan-artgen: draws the window's artwork into ui/res (PNG files named by id, a manifest
// and the resource file that embeds them). The output depends only on this program, Qt and
// the Noto Sans CJK SC font, so a run reproduces the committed files; only the rasteriser's
// rounding may differ by a step between processors (its vector paths differ), which the
// check allows.
//
//   koruvan-artgen --out ui/res      write the files
//   koruvan-artgen --check ui/res    exit 1 when a file there differs from a fresh drawing
#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFontInfo>
#include <QGuiApplication>
#include <QImageWriter>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "tools/artgen/Art.h"

namespace koruvan::artgen {
namespace {

QByteArray EncodePng(QImage image) {
    // Fixed resolution: otherwise the writer stores the screen's, which varies.
    image.setDotsPerMeterX(3780);
    image.setDotsPerMeterY(3780);
    if (image.hasAlphaChannel()) {
        image = image.convertToFormat(QImage::Format_ARGB32);
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(image)) {
        std::fprintf(stderr, "koruvan-artgen: cannot encode PNG: %s\n",
                     qPrintable(writer.errorString()));
        std::exit(1);
    }
    return bytes;
}

QByteArray Manifest(const std::vector<Art>& arts) {
    QByteArray text =
        "# Window artwork drawn by tools/artgen; regenerate with the `artwork` build target.\n"
        "# kind id width height file role\n";
    for (const Art& art : arts) {
        text += QStringLiteral("%1 %2 %3 %4 %5 %6\n")
                    .arg(art.kind)
                    .arg(art.id)
                    .arg(art.image.width())
                    .arg(art.image.height())
                    .arg(art.file, art.role)
                    .toUtf8();
    }
    return text;
}

QByteArray ResourceFile(const std::vector<Art>& arts) {
    QByteArray text =
        "<!DOCTYPE RCC>\n<RCC version=\"1.0\">\n<qresource prefix=\"/koruvan/skin\">\n";
    for (const Art& art : arts) {
        text += "    <file>" + art.file.toUtf8() + "</file>\n";
    }
    text += "    <file>manifest.txt</file>\n</qresource>\n</RCC>\n";
    return text;
}

// Every output file by name, in a fixed order.
std::map<QString, QByteArray> Render() {
    std::vector<Art> arts;
    for (auto make : {MakeBackgrounds, MakeProgressBars, MakeButtons, MakeIcons}) {
        std::vector<Art> part = make();
        arts.insert(arts.end(), part.begin(), part.end());
    }
    std::stable_sort(arts.begin(), arts.end(), [](const Art& a, const Art& b) {
        return a.kind != b.kind ? a.kind < b.kind
               : a.id != b.id   ? a.id < b.id
                                : a.image.width() < b.image.width();
    });
    std::map<QString, QByteArray> files;
    for (const Art& art : arts) {
        files[art.file] = EncodePng(art.image);
    }
    files[QStringLiteral("manifest.txt")] = Manifest(arts);
    files[QStringLiteral("skin.qrc")] = ResourceFile(arts);
    return files;
}

int Write(const QDir& dir, const std::map<QString, QByteArray>& files) {
    if (!dir.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "koruvan-artgen: cannot create %s\n", qPrintable(dir.path()));
        return 1;
    }
    for (const auto& [name, bytes] : files) {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(bytes) != bytes.size()) {
            std::fprintf(stderr, "koruvan-artgen: cannot write %s\n", qPrintable(file.fileName()));
            return 1;
        }
    }
    std::printf("koruvan-artgen: %zu files written to %s\n", files.size(), qPrintable(dir.path()));
    return 0;
}

// The same drawing: equal bytes, or equal sizes with no channel more than two steps apart
// (antialiasing rounding differs between the rasteriser's code paths for each processor).
bool SameDrawing(const QByteArray& stored, const QByteArray& fresh) {
    if (stored == fresh) {
        return true;
    }
    const QImage a = QImage::fromData(stored).convertToFormat(QImage::Format_ARGB32);
    const QImage b = QImage::fromData(fresh).convertToFormat(QImage::Format_ARGB32);
    if (a.isNull() || a.size() != b.size()) {
        return false;
    }
    constexpr int kTolerance = 2;
    for (int y = 0; y < a.height(); ++y) {
        const auto* rowA = reinterpret_cast<const QRgb*>(a.constScanLine(y));
        const auto* rowB = reinterpret_cast<const QRgb*>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            const QRgb pa = rowA[x];
            const QRgb pb = rowB[x];
            if (std::abs(qRed(pa) - qRed(pb)) > kTolerance ||
                std::abs(qGreen(pa) - qGreen(pb)) > kTolerance ||
                std::abs(qBlue(pa) - qBlue(pb)) > kTolerance ||
                std::abs(qAlpha(pa) - qAlpha(pb)) > kTolerance) {
                return false;
            }
        }
    }
    return true;
}

int Check(const QDir& dir, const std::map<QString, QByteArray>& files) {
    int differences = 0;
    for (const auto& [name, bytes] : files) {
        QFile file(dir.filePath(name));
        const bool png = name.endsWith(QLatin1String(".png"));
        if (!file.open(QIODevice::ReadOnly) ||
            !(png ? SameDrawing(file.readAll(), bytes) : file.readAll() == bytes)) {
            std::fprintf(stderr, "koruvan-artgen: %s differs from a fresh drawing\n",
                         qPrintable(name));
            ++differences;
        }
    }
    const QStringList present = dir.entryList({QStringLiteral("*.png")}, QDir::Files);
    for (const QString& name : present) {
        if (files.count(name) == 0) {
            std::fprintf(stderr, "koruvan-artgen: %s is not drawn by the generator\n",
                         qPrintable(name));
            ++differences;
        }
    }
    if (differences == 0) {
        std::printf("koruvan-artgen: %zu files match\n", files.size());
    }
    return differences == 0 ? 0 : 1;
}

int Usage() {
    std::fprintf(stderr, "usage: koruvan-artgen --out DIR | --check DIR\n");
    return 2;
}

}  // namespace
}  // namespace koruvan::artgen

int main(int argc, char** argv) {
    using namespace koruvan::artgen;
    // Never a window: draw off screen whatever the session offers.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3 ||
        (args[1] != QLatin1String("--out") && args[1] != QLatin1String("--check"))) {
        return Usage();
    }
    if (QFontInfo(ArtFont(15, false)).family() != QLatin1String("Noto Sans CJK SC")) {
        std::fprintf(stderr,
                     "koruvan-artgen: the font Noto Sans CJK SC (fonts-noto-cjk) is missing\n");
        return 1;
    }
    const QDir dir(args[2]);
    const auto files = Render();
    return args[1] == QLatin1String("--out") ? Write(dir, files) : Check(dir, files);
}
