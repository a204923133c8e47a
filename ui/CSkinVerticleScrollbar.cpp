#include "ui/CSkinVerticleScrollbar.h"

#include <QAbstractScrollArea>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>
#include <cmath>

namespace koruvan::ui {

CSkinVerticleScrollbar::CSkinVerticleScrollbar(QAbstractScrollArea* list, QWidget* parent)
    : QWidget(parent), list_(list) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(kWidth, height());
    repeatDelay_.setSingleShot(true);
    repeatDelay_.setInterval(kRepeatDelayMs);
    repeat_.setInterval(kRepeatIntervalMs);
    connect(&repeatDelay_, &QTimer::timeout, this, [this] {
        upHeld_ ? LineUp() : LineDown();
        repeat_.start();
    });
    connect(&repeat_, &QTimer::timeout, this, [this] { upHeld_ ? LineUp() : LineDown(); });
    if (list != nullptr) {
        QScrollBar* bar = list->verticalScrollBar();
        connect(bar, &QScrollBar::valueChanged, this, &CSkinVerticleScrollbar::Update);
        connect(bar, &QScrollBar::rangeChanged, this, &CSkinVerticleScrollbar::Update);
    }
}

int CSkinVerticleScrollbar::TrackHeight() const {
    return std::max(0, height() - 2 * arrowHeight_);
}

int CSkinVerticleScrollbar::Positions() const {
    if (list_ == nullptr) {
        return 0;
    }
    const QScrollBar* bar = list_->verticalScrollBar();
    return std::max(0, bar->maximum() - bar->minimum());
}

void CSkinVerticleScrollbar::Update() {
    // A list that cannot scroll (or a track shorter than the thumb) keeps the thumb at the
    // top instead of dividing by zero.
    const int positions = Positions();
    const int travel = std::max(0, TrackHeight() - kThumbHeight);
    ratio_ = positions > 0 ? static_cast<double>(travel) / positions : 0.0;
    if (!dragging_) {
        const int position = list_ != nullptr ? list_->verticalScrollBar()->value() -
                                                    list_->verticalScrollBar()->minimum()
                                              : 0;
        thumbTop_ = std::clamp(static_cast<int>(std::lround(position * ratio_)), 0, travel);
    }
    update();
}

void CSkinVerticleScrollbar::PageUp() {
    if (list_ != nullptr) {
        list_->verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepSub);
    }
    Update();
}

void CSkinVerticleScrollbar::PageDown() {
    if (list_ != nullptr) {
        list_->verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepAdd);
    }
    Update();
}

void CSkinVerticleScrollbar::LineUp() {
    if (list_ != nullptr) {
        list_->verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    }
    Update();
}

void CSkinVerticleScrollbar::LineDown() {
    if (list_ != nullptr) {
        list_->verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    }
    Update();
}

void CSkinVerticleScrollbar::SetArrowHeight(int pixels) {
    arrowHeight_ = std::max(0, pixels);
    Update();
}

void CSkinVerticleScrollbar::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Update();
}

void CSkinVerticleScrollbar::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor::fromRgb(kTrackColour));
    const int thumbHeight = std::min(kThumbHeight, TrackHeight());
    painter.fillRect(QRect(0, arrowHeight_ + thumbTop_, width(), thumbHeight),
                     QColor::fromRgb(kThumbColour));
}

// The thumb is held by its middle: its top goes to the pointer minus half its height, and the
// list follows in whole rows.
void CSkinVerticleScrollbar::DragTo(int y) {
    const int travel = std::max(0, TrackHeight() - kThumbHeight);
    thumbTop_ = std::clamp(y - arrowHeight_ - kThumbHeight / 2, 0, travel);
    if (list_ != nullptr && ratio_ > 0) {
        QScrollBar* bar = list_->verticalScrollBar();
        const int row = static_cast<int>((thumbTop_ + 1) / ratio_);
        bar->setValue(bar->minimum() + std::clamp(row, 0, Positions()));
    }
    update();
}

void CSkinVerticleScrollbar::StartRepeat(bool up) {
    upHeld_ = up;
    repeatDelay_.start();
}

void CSkinVerticleScrollbar::StopRepeat() {
    upHeld_ = false;
    repeatDelay_.stop();
    repeat_.stop();
}

void CSkinVerticleScrollbar::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        return;
    }
    const int y = static_cast<int>(event->position().y());
    const int trackY = y - arrowHeight_;
    if (y < arrowHeight_) {
        StartRepeat(true);
    } else if (y >= height() - arrowHeight_) {
        StartRepeat(false);
    } else if (trackY < thumbTop_) {
        PageUp();
    } else if (trackY >= thumbTop_ + kThumbHeight) {
        PageDown();
    } else {
        dragging_ = true;
    }
}

void CSkinVerticleScrollbar::mouseMoveEvent(QMouseEvent* event) {
    if (dragging_) {
        DragTo(static_cast<int>(event->position().y()));
    }
}

void CSkinVerticleScrollbar::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        return;
    }
    StopRepeat();
    if (dragging_) {
        dragging_ = false;
        Update();
    }
}

}  // namespace koruvan::ui
