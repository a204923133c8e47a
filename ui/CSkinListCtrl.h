// A report-view list with dark, striped rows drawn by hand and the thin skin scrollbar
// instead of the native ones. Rows are 17 pixels tall; below the last row the stripes go on
// to the bottom of the control, so a short or empty list still looks filled.
//
// The owner fills it like any QTreeWidget (header labels, one top-level item per row). The
// horizontal alignment of a column's header decides whether its cells are right-aligned.
#pragma once

#include <QColor>
#include <QPointer>
#include <QTreeWidget>

#include "ui/CSkinVerticleScrollbar.h"

namespace koruvan::ui {

class CSkinListCtrl : public QTreeWidget {
    Q_OBJECT

  public:
    static constexpr int kRowHeight = 17;
    static constexpr int kTextIndent = 10;
    static constexpr QRgb kEvenRowColour = 0xff0d0c0c;      // RGB(13, 12, 12)
    static constexpr QRgb kOddRowColour = 0xff1d1a1a;       // RGB(29, 26, 26)
    static constexpr QRgb kSelectedRowColour = 0xff909090;  // RGB(144, 144, 144)
    static constexpr QRgb kTextColour = 0xff8e7878;         // RGB(142, 120, 120)

    explicit CSkinListCtrl(QWidget* parent = nullptr);
    ~CSkinListCtrl() override;

    // Font, and the skin scrollbar as a sibling just right of the list. The constructor
    // does this when it is given a parent; call it after giving a parent-less list one.
    void Init();

    CSkinVerticleScrollbar* Scrollbar() const { return scrollbar_; }

    // Fill colour of row `row` (counting from 0, stripes included).
    static QColor RowColour(int row, bool selected);

  protected:
    void drawRow(QPainter* painter, const QStyleOptionViewItem& option,
                 const QModelIndex& index) const override;
    void paintEvent(QPaintEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    void PlaceScrollbar();
    void UpdateScrollbar();
    void DrawCell(QPainter& painter, const QRect& cell, const QString& text, bool rightAligned,
                  bool selected, int row) const;

    QPointer<CSkinVerticleScrollbar> scrollbar_;
    QFont textFont_;
    int wheelRemainder_ = 0;  // wheel delta short of a whole notch
};

}  // namespace koruvan::ui
