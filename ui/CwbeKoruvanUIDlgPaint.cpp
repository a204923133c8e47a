// Drawing of the main window. Everything is drawn from the texts and values the periodic
// steps handed over; painting never calls the controller. Each paint goes through an
// off-screen surface (CMemDCEx) and reaches the screen in one copy per rectangle, so the
// once-per-second text updates do not flicker.
#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>

#include "ui/CMemDCEx.h"
#include "ui/CSkinListCtrl.h"
#include "ui/CwbeKoruvanUIDlg.h"
#include "ui/SkinFont.h"
#include "ui/SkinImages.h"

namespace koruvan::ui {
namespace {

using app::ControllerState;
namespace L = window_layout;

const QString kFolderLabel = QStringLiteral("保存位置:");
constexpr int kTextHeight = 18;

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

bool ShowsEndStatus(ControllerState s) {
    return s == ControllerState::Finished || s == ControllerState::CheckFinished ||
           s == ControllerState::Installing;
}

bool ShowsVerification(ControllerState s) {
    const auto code = static_cast<int>(s);
    return code >= static_cast<int>(ControllerState::Md5Checking) &&
           code <= static_cast<int>(ControllerState::Installing);
}

// `fill` cut to `percent` of the bar's width.
void DrawFill(QPainter& painter, int id, std::uint32_t percent) {
    const QPixmap fill = SkinImages::Bitmap(id);
    const int width = L::kProgressBar.width() * static_cast<int>(std::min(percent, 100u)) / 100;
    if (fill.isNull() || width <= 0) {
        return;
    }
    painter.drawPixmap(QRect(L::kProgressBar.topLeft(), QSize(width, L::kProgressBar.height())),
                       fill, QRect(0, 0, width, fill.height()));
}

}  // namespace

void CwbeKoruvanUIDlg::paintEvent(QPaintEvent* event) {
    QPainter screen(this);
    const QRect area = event->rect().intersected(rect());
    CMemDCEx memory(screen, area, Qt::black);
    PaintAll(memory.Painter(), area);
}

// The whole window (clipped to `area`): background, status row, version, size, folder,
// progress, the folder label.
void CwbeKoruvanUIDlg::PaintAll(QPainter& painter, const QRect& area) {
    painter.setClipRect(area);
    painter.drawPixmap(0, 0, SkinImages::Background(!collapsed_));
    DrawStatusRow(painter);
    DrawText(painter, L::kVersionText, FromUtf8(app::DownloadController::GameVersionText()),
             kWhiteText, false);
    DrawText(painter, L::kSizeText, FromUtf8(shownTexts_.sizeText), kValueText, false);
    DrawText(painter, L::kFolderText, ShownFolderText(), kFolderText, false);
    DrawProgress(painter);
    DrawText(painter, L::kFolderLabel, kFolderLabel, kLabelText, false);
    DrawText(painter, L::kReasonText, ShownReasonText(), kLabelText, false);
}

QString CwbeKoruvanUIDlg::Fitted(const QString& text, int width, Qt::TextElideMode mode) {
    static const QFontMetrics metrics(SkinFont(kTextHeight));
    return metrics.elidedText(text, mode, width);
}

// The end of the path names the folder the user chose and the download folder in it.
QString CwbeKoruvanUIDlg::ShownFolderText() const {
    return Fitted(folderText_, L::kFolderText.width(), Qt::ElideLeft);
}

QString CwbeKoruvanUIDlg::ShownReasonText() const {
    return Fitted(FromUtf8(shownTexts_.reason), L::kReasonText.width(), Qt::ElideMiddle);
}

void CwbeKoruvanUIDlg::DrawStatusRow(QPainter& painter) {
    if (ShowsEndStatus(shownTexts_.state)) {
        DrawText(painter, L::kEndStatus, FromUtf8(shownTexts_.endStatus), kValueText, true);
        return;
    }
    DrawText(painter, L::kSpeedText, FromUtf8(shownTexts_.activity),
             shownTexts_.activityIsLabel ? kLabelText : kValueText, false);
    DrawText(painter, L::kProgressLabel, FromUtf8(shownTexts_.progressLabel), kLabelText, false);
    DrawText(painter, L::kPercentText, FromUtf8(shownTexts_.percentText), kValueText, true);
}

void CwbeKoruvanUIDlg::DrawProgress(QPainter& painter) {
    const QPixmap track = SkinImages::Bitmap(kProgressTrackId);
    if (!track.isNull()) {
        painter.drawPixmap(L::kProgressBar.topLeft(), track);
    }
    DrawFill(painter, kProgressFillId, shownFast_.overallPercent);
    if (ShowsVerification(shownFast_.state)) {
        DrawFill(painter, kVerifyFillId, shownFast_.verifyPercent);
    }
}

void CwbeKoruvanUIDlg::DrawText(QPainter& painter, const QRect& rect, const QString& text,
                                std::uint32_t colour, bool centred) {
    if (text.isEmpty()) {
        return;
    }
    static const QFont font = SkinFont(kTextHeight);
    painter.save();
    painter.setClipRect(rect, Qt::IntersectClip);
    painter.setFont(font);
    painter.setPen(QColor::fromRgba(colour));
    const int flags =
        (centred ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignVCenter | Qt::TextSingleLine;
    painter.drawText(rect, flags, text);
    painter.restore();
}

// One area: background piece and what lies on it, copied to the screen in one step.
void CwbeKoruvanUIDlg::RedrawArea(const QRect& rect) {
    update(rect);
}

void CwbeKoruvanUIDlg::UpdateListTexts() {
    for (int i = 0; i < list_->topLevelItemCount() && i < app::kFileCount; ++i) {
        const QString text = FromUtf8(shownTexts_.fileStatus[static_cast<std::size_t>(i)]);
        QTreeWidgetItem* item = list_->topLevelItem(i);
        if (item->text(1) != text) {
            item->setText(1, text);
        }
    }
}

}  // namespace koruvan::ui
