#include "ui/CMemDCEx.h"

#include <QPaintDevice>

namespace koruvan::ui {
namespace {

bool DrawsDirectly(const QPaintDevice* device) {
    return device == nullptr || device->devType() == QInternal::Printer ||
           device->devType() == QInternal::Picture;
}

QRect DefaultRect(const QPainter& target) {
    if (target.hasClipping()) {
        return target.clipBoundingRect().toAlignedRect();
    }
    const QPaintDevice* device = target.device();
    return device != nullptr ? QRect(0, 0, device->width(), device->height()) : QRect();
}

}  // namespace

CMemDCEx::CMemDCEx(QPainter& target, const QRect& rect, const QColor& fill)
    : target_(target), rect_(rect.isEmpty() ? DefaultRect(target) : rect) {
    if (DrawsDirectly(target.device()) || rect_.isEmpty()) {
        return;
    }
    offScreen_ = true;
    const qreal ratio = target.device()->devicePixelRatioF();
    pixmap_ = QPixmap(rect_.size() * ratio);
    pixmap_.setDevicePixelRatio(ratio);
    pixmap_.fill(fill.isValid() ? fill : target.background().color());
    painter_.emplace(&pixmap_);
    painter_->setFont(target.font());
    painter_->setPen(target.pen());
    painter_->setBrush(target.brush());
    painter_->setRenderHints(target.renderHints());
    painter_->translate(-rect_.topLeft());
}

CMemDCEx::~CMemDCEx() {
    if (!offScreen_) {
        return;
    }
    painter_.reset();
    target_.drawPixmap(rect_.topLeft(), pixmap_);
}

}  // namespace koruvan::ui
