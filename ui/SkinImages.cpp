#include "ui/SkinImages.h"

#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QPixmapCache>
#include <QSet>

#include <algorithm>
#include <mutex>

// The resource file is compiled into this static library; the explicit initialisation keeps
// the linker from dropping it.
static void InitSkinResources() {
    static std::once_flag once;
    std::call_once(once, [] { Q_INIT_RESOURCE(skin); });
}

namespace koruvan::ui {
namespace {

const int kIconSizes[] = {16, 24, 32, 48, 64, 128, 256};

QString BitmapPath(int id) {
    return QStringLiteral(":/koruvan/skin/bitmap_%1.png").arg(id);
}

QString IconPath(int size) {
    return QStringLiteral(":/koruvan/skin/icon_%1_%2.png").arg(kAppIconId).arg(size);
}

// Keys this file put into the process-wide pixmap cache, so ClearCache() removes only ours.
QSet<QString>& CacheKeys() {
    static QSet<QString> keys;
    return keys;
}

QPixmap CachedPixmap(const QString& key, const auto& load) {
    QPixmap pixmap;
    if (QPixmapCache::find(key, &pixmap)) {
        return pixmap;
    }
    pixmap = load();
    if (!pixmap.isNull()) {
        QPixmapCache::insert(key, pixmap);
        CacheKeys().insert(key);
    }
    return pixmap;
}

QImage ReadImage(const QString& path) {
    QImageReader reader(path);
    reader.setAutoTransform(false);
    return reader.read();
}

}  // namespace

QImage SkinImages::BitmapImage(int id) {
    InitSkinResources();
    if (id <= 0) {
        return {};
    }
    const QString path = BitmapPath(id);
    return QFileInfo::exists(path) ? ReadImage(path) : QImage();
}

QPixmap SkinImages::Bitmap(int id) {
    return CachedPixmap(QStringLiteral("koruvan-bitmap-%1").arg(id),
                        [id] { return QPixmap::fromImage(BitmapImage(id)); });
}

ButtonImageSet SkinImages::ButtonImages(int normal, int pressed, int hover, int focus,
                                        int disabled) {
    return {BitmapImage(normal), BitmapImage(pressed), BitmapImage(hover), BitmapImage(focus),
            BitmapImage(disabled)};
}

QString SkinImages::BackgroundFile(bool expanded, const QString& folder) {
    const QDir base(folder.isEmpty() ? QDir::currentPath() : folder);
    return base.absoluteFilePath(expanded ? QStringLiteral("res/bg.bmp")
                                          : QStringLiteral("res/bg2.bmp"));
}

QPixmap SkinImages::Background(bool expanded, const QString& folder) {
    const QString file = BackgroundFile(expanded, folder);
    if (QFileInfo(file).isFile()) {
        QPixmap fromFile = CachedPixmap(QStringLiteral("koruvan-file-") + file,
                                        [&file] { return QPixmap::fromImage(ReadImage(file)); });
        if (!fromFile.isNull()) {
            return fromFile;
        }
    }
    return Bitmap(expanded ? kExpandedBackgroundId : kCollapsedBackgroundId);
}

QPixmap SkinImages::IconPixmap(int size) {
    InitSkinResources();
    if (!IconSizes().contains(size)) {
        return {};
    }
    return CachedPixmap(QStringLiteral("koruvan-icon-%1").arg(size),
                        [size] { return QPixmap::fromImage(ReadImage(IconPath(size))); });
}

QIcon SkinImages::AppIcon() {
    QIcon icon;
    for (int size : kIconSizes) {
        icon.addPixmap(IconPixmap(size));
    }
    return icon;
}

QList<int> SkinImages::IconSizes() {
    return QList<int>(std::begin(kIconSizes), std::end(kIconSizes));
}

void SkinImages::ClearCache() {
    for (const QString& key : CacheKeys()) {
        QPixmapCache::remove(key);
    }
    CacheKeys().clear();
}

QRegion OpaqueRegion(const QImage& image, QRgb key, int firstRow, int lastRow) {
    if (image.isNull()) {
        return {};
    }
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    const QRgb opaqueKey = key | 0xff000000u;
    const int width = rgb.width();
    const int from = std::max(firstRow, 0);
    const int to = std::min(lastRow, rgb.height() - 1);
    QRegion region(rgb.rect());
    for (int y = from; y <= to; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        int x = 0;
        while (x < width) {
            while (x < width && (line[x] | 0xff000000u) != opaqueKey) {
                ++x;
            }
            const int runStart = x;
            while (x < width && (line[x] | 0xff000000u) == opaqueKey) {
                ++x;
            }
            if (x > runStart) {
                region -= QRect(runStart, y, x - runStart, 1);
            }
        }
    }
    return region;
}

QRegion OpaqueRegion(const QImage& image, QRgb key) {
    return OpaqueRegion(image, key, 0, image.height() - 1);
}

QImage KeyedOut(const QImage& image, QRgb key) {
    if (image.isNull()) {
        return {};
    }
    QImage out = image.convertToFormat(QImage::Format_ARGB32);
    const QRgb opaqueKey = key | 0xff000000u;
    for (int y = 0; y < out.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x) {
            const QRgb rgb = line[x] | 0xff000000u;
            line[x] = rgb == opaqueKey ? 0u : rgb;
        }
    }
    return out.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

}  // namespace koruvan::ui
