// The thin vertical scrollbar that replaces a list's native one: a 3-pixel track with a
// 49-pixel thumb that follows the list's scroll position. Dragging the thumb scrolls the list
// by whole rows, a click on the track pages. Arrow areas at both ends (zero height unless
// set) scroll a line after 250 ms and then every 50 ms while held.
#pragma once

#include <QColor>
#include <QPointer>
#include <QTimer>
#include <QWidget>

class QAbstractScrollArea;

namespace koruvan::ui {

class CSkinVerticleScrollbar : public QWidget {
    Q_OBJECT

  public:
    static constexpr int kWidth = 3;
    static constexpr int kThumbHeight = 49;
    static constexpr int kRepeatDelayMs = 250;
    static constexpr int kRepeatIntervalMs = 50;
    static constexpr QRgb kTrackColour = 0xff1d1a1a;  // RGB(29, 26, 26)
    static constexpr QRgb kThumbColour = 0xff8e7878;  // RGB(142, 120, 120)

    // Serves `list` (its vertical scroll position, in rows); lives in `parent`.
    CSkinVerticleScrollbar(QAbstractScrollArea* list, QWidget* parent);

    // Moves the thumb to the list's position and repaints (kept while the thumb is dragged).
    void Update();
    void PageUp();
    void PageDown();
    void LineUp();
    void LineDown();

    // Top of the thumb within the track, in pixels.
    int ThumbTop() const noexcept { return thumbTop_; }
    // Track pixels per list position; 0 when the list cannot scroll.
    double Ratio() const noexcept { return ratio_; }
    void SetArrowHeight(int pixels);
    int ArrowHeight() const noexcept { return arrowHeight_; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    int TrackHeight() const;
    int Positions() const;
    void DragTo(int y);
    void StartRepeat(bool up);
    void StopRepeat();

    QPointer<QAbstractScrollArea> list_;
    int thumbTop_ = 0;
    double ratio_ = 0;
    int arrowHeight_ = 0;
    bool upHeld_ = false;  // which arrow area is held while the repeat timers run
    bool dragging_ = false;
    QTimer repeatDelay_;  // first line after the delay
    QTimer repeat_;       // then one line per interval
};

}  // namespace koruvan::ui
