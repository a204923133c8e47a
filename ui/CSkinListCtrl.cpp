#include "ui/CSkinListCtrl.h"

#include <QGuiApplication>
#include <QHeaderView>
#include <QPainter>
#include <QScrollBar>
#include <QStyleHints>
#include <QStyledItemDelegate>
#include <QWheelEvent>

#include "ui/SkinFont.h"

namespace koruvan::ui {
namespace {

// Every row is exactly one stripe tall, whatever the font.
class FixedHeightDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return {QStyledItemDelegate::sizeHint(option, index).width(), CSkinListCtrl::kRowHeight};
    }
};

constexpr int kWheelNotch = 120;

}  // namespace

CSkinListCtrl::CSkinListCtrl(QWidget* parent) : QTreeWidget(parent), textFont_(SkinFont(18)) {
    setItemDelegate(new FixedHeightDelegate(this));
    setRootIsDecorated(false);
    setIndentation(0);
    setUniformRowHeights(true);
    setFrameShape(QFrame::NoFrame);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    // The header stays the toolkit's own control, in the list's dark colours.
    QPalette headerColours = header()->palette();
    headerColours.setColor(QPalette::Button, QColor(36, 31, 31));
    headerColours.setColor(QPalette::Window, QColor(36, 31, 31));
    headerColours.setColor(QPalette::ButtonText, QColor::fromRgb(kTextColour));
    headerColours.setColor(QPalette::WindowText, QColor::fromRgb(kTextColour));
    header()->setPalette(headerColours);
    if (parent != nullptr) {
        Init();
    }
}

CSkinListCtrl::~CSkinListCtrl() {
    // The scrollbar belongs to our parent; it must not outlive the list it serves.
    delete scrollbar_.data();
}

void CSkinListCtrl::Init() {
    setFont(SkinFont(-16));
    if (scrollbar_ == nullptr && parentWidget() != nullptr) {
        scrollbar_ = new CSkinVerticleScrollbar(this, parentWidget());
    }
    PlaceScrollbar();
    UpdateScrollbar();
}

QColor CSkinListCtrl::RowColour(int row, bool selected) {
    if (selected) {
        return QColor::fromRgb(kSelectedRowColour);
    }
    return QColor::fromRgb(row % 2 == 0 ? kEvenRowColour : kOddRowColour);
}

void CSkinListCtrl::PlaceScrollbar() {
    if (scrollbar_ == nullptr) {
        return;
    }
    const QRect list = geometry();
    scrollbar_->setGeometry(list.x() + list.width(), list.y(), CSkinVerticleScrollbar::kWidth,
                            list.height());
    scrollbar_->setVisible(isVisibleTo(parentWidget()));
}

void CSkinListCtrl::UpdateScrollbar() {
    if (scrollbar_ != nullptr) {
        scrollbar_->Update();
    }
}

void CSkinListCtrl::DrawCell(QPainter& painter, const QRect& cell, const QString& text,
                             bool rightAligned, bool selected, int row) const {
    painter.fillRect(cell, RowColour(row, selected));
    if (selected) {
        painter.fillRect(QRect(cell.left(), cell.bottom(), cell.width(), 1), Qt::black);
    }
    const QRect textRect = cell.adjusted(kTextIndent, 0, 0, 0);
    if (textRect.width() <= 0 || text.isEmpty()) {
        return;
    }
    const QFontMetrics metrics(textFont_);
    const QString shown = metrics.elidedText(text, Qt::ElideRight, textRect.width());
    painter.setFont(textFont_);
    painter.setPen(QColor::fromRgb(kTextColour));
    const Qt::Alignment horizontal = rightAligned ? Qt::AlignRight : Qt::AlignLeft;
    painter.drawText(textRect, static_cast<int>(horizontal | Qt::AlignVCenter | Qt::TextSingleLine),
                     shown);
}

// Every cell is painted here; the style's own row drawing is skipped.
void CSkinListCtrl::drawRow(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
    const int row = index.row();
    const bool selected =
        selectionModel() != nullptr && selectionModel()->isRowSelected(row, index.parent());
    const QRect line(0, option.rect.y(), viewport()->width(), option.rect.height());
    painter->save();
    painter->setClipRect(line);
    // Whatever lies right of the last column keeps the row's colour.
    const int columnsEnd = header()->length() - header()->offset();
    if (columnsEnd < line.right() + 1) {
        painter->fillRect(QRect(columnsEnd, line.y(), line.right() + 1 - columnsEnd, line.height()),
                          RowColour(row, selected));
    }
    for (int column = 0; column < header()->count(); ++column) {
        if (header()->isSectionHidden(column)) {
            continue;
        }
        const QRect cell(columnViewportPosition(column), line.y(), columnWidth(column),
                         line.height());
        const Qt::Alignment align = Qt::Alignment(
            model()->headerData(column, Qt::Horizontal, Qt::TextAlignmentRole).toInt());
        const QString text = model()->index(row, column, index.parent()).data().toString();
        DrawCell(*painter, cell, text, align.testFlag(Qt::AlignRight), selected, row);
    }
    painter->restore();
}

// Rows first, then stripes in the row colours from below the last row to the bottom.
void CSkinListCtrl::paintEvent(QPaintEvent* event) {
    QTreeWidget::paintEvent(event);
    const int rows = topLevelItemCount();
    int top = 0;
    if (rows > 0) {
        const QRect last = visualRect(model()->index(rows - 1, 0));
        top = last.isValid() ? last.bottom() + 1 : viewport()->height();
    }
    QPainter painter(viewport());
    for (int row = rows; top < viewport()->height(); ++row, top += kRowHeight) {
        painter.fillRect(QRect(0, top, viewport()->width(), kRowHeight), RowColour(row, false));
    }
}

// One line per wheel notch, in the direction of the wheel, unless the desktop turned wheel
// scrolling off.
void CSkinListCtrl::wheelEvent(QWheelEvent* event) {
    event->accept();
    if (QGuiApplication::styleHints()->wheelScrollLines() == 0) {
        return;
    }
    wheelRemainder_ += event->angleDelta().y();
    const int notches = wheelRemainder_ / kWheelNotch;
    wheelRemainder_ -= notches * kWheelNotch;
    if (notches != 0) {
        QScrollBar* bar = verticalScrollBar();
        bar->setValue(bar->value() - notches);
    }
    UpdateScrollbar();
}

void CSkinListCtrl::keyPressEvent(QKeyEvent* event) {
    QTreeWidget::keyPressEvent(event);
    UpdateScrollbar();
}

void CSkinListCtrl::keyReleaseEvent(QKeyEvent* event) {
    QTreeWidget::keyReleaseEvent(event);
    UpdateScrollbar();
}

void CSkinListCtrl::moveEvent(QMoveEvent* event) {
    QTreeWidget::moveEvent(event);
    PlaceScrollbar();
}

void CSkinListCtrl::resizeEvent(QResizeEvent* event) {
    QTreeWidget::resizeEvent(event);
    PlaceScrollbar();
    UpdateScrollbar();
}

void CSkinListCtrl::showEvent(QShowEvent* event) {
    QTreeWidget::showEvent(event);
    PlaceScrollbar();
}

void CSkinListCtrl::hideEvent(QHideEvent* event) {
    QTreeWidget::hideEvent(event);
    PlaceScrollbar();
}

}  // namespace koruvan::ui
