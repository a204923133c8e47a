#include "ui/CSkinListCtrl.h"

#include <gtest/gtest.h>

#include <QHeaderView>
#include <QScrollBar>
#include <QTest>
#include <QWheelEvent>

#include "QtTestEnvironment.h"

namespace koruvan::ui {
namespace {

using test::PixelAt;
using test::Rendered;
using test::ShowActive;

QRgb Row(int row, bool selected = false) {
    return CSkinListCtrl::RowColour(row, selected).rgb();
}

bool IsRowColour(QRgb pixel) {
    return pixel == CSkinListCtrl::kEvenRowColour || pixel == CSkinListCtrl::kOddRowColour ||
           pixel == CSkinListCtrl::kSelectedRowColour;
}

// The window's list: two columns of 280 and 128 pixels in a 408-pixel list, with room for
// its scrollbar on the right.
class SkinListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        window_.resize(420, 260);
        list_ = new CSkinListCtrl(&window_);
        list_->setGeometry(0, 10, 408, 160);
        list_->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Percent")});
        list_->setColumnWidth(0, 280);
        list_->setColumnWidth(1, 128);
        ASSERT_TRUE(ShowActive(window_));
    }

    void AddRows(int count) {
        for (int i = 0; i < count; ++i) {
            list_->addTopLevelItem(new QTreeWidgetItem({QStringLiteral("file%1").arg(i), ""}));
        }
        QCoreApplication::processEvents();
    }

    QWidget& View() { return *list_->viewport(); }

    QWidget window_;
    CSkinListCtrl* list_ = nullptr;
};

TEST_F(SkinListTest, EmptyListIsStripedToTheBottom) {
    const QImage view = Rendered(View());
    ASSERT_GT(view.height(), 3 * CSkinListCtrl::kRowHeight);
    for (int y = 0; y < view.height(); ++y) {
        for (int x : {0, 200, view.width() - 1}) {
            ASSERT_EQ(view.pixel(x, y) | 0xff000000u, Row(y / CSkinListCtrl::kRowHeight))
                << "x " << x << " y " << y;
        }
    }
}

TEST_F(SkinListTest, RowsAlternateAndStripesContinueTheNumbering) {
    AddRows(3);
    const QImage view = Rendered(View());
    for (int y = 0; y < view.height(); y += 4) {
        EXPECT_EQ(view.pixel(3, y) | 0xff000000u, Row(y / CSkinListCtrl::kRowHeight)) << y;
    }
    // The last pixel line belongs to a stripe as well.
    const int last = view.height() - 1;
    EXPECT_EQ(view.pixel(view.width() - 1, last) | 0xff000000u,
              Row(last / CSkinListCtrl::kRowHeight));
}

TEST_F(SkinListTest, SelectedRowIsGreyWithABlackBottomLine) {
    AddRows(3);
    list_->setCurrentItem(list_->topLevelItem(1));
    QCoreApplication::processEvents();
    const int top = CSkinListCtrl::kRowHeight;
    EXPECT_EQ(PixelAt(View(), {2, top + 2}), Row(1, true));
    EXPECT_EQ(PixelAt(View(), {300, top + 2}), Row(1, true)) << "the whole row";
    EXPECT_EQ(PixelAt(View(), {2, top + CSkinListCtrl::kRowHeight - 1}), qRgb(0, 0, 0));
    EXPECT_EQ(PixelAt(View(), {2, top - 1}), Row(0));
}

// Text in the text colour, 10 pixels in from the left edge, or flush right in a
// right-aligned column; over-long text is cut with an ellipsis inside its cell.
TEST_F(SkinListTest, TextIsIndentedOrRightAlignedAndStaysInItsCell) {
    list_->headerItem()->setTextAlignment(1, Qt::AlignRight);
    list_->addTopLevelItem(new QTreeWidgetItem(
        {QStringLiteral("安装包 vemo_setup_2.2.1.047.exe 以及一个很长很长很长很长的名字"),
         QStringLiteral("100%")}));
    QCoreApplication::processEvents();
    const QImage view = Rendered(View());
    auto inked = [&](int from, int to) {
        int count = 0;
        for (int y = 0; y < CSkinListCtrl::kRowHeight; ++y) {
            for (int x = from; x < to; ++x) {
                count += !IsRowColour(view.pixel(x, y) | 0xff000000u);
            }
        }
        return count;
    };
    EXPECT_EQ(inked(0, CSkinListCtrl::kTextIndent), 0);
    EXPECT_GT(inked(CSkinListCtrl::kTextIndent, 60), 0);
    EXPECT_EQ(inked(277, 340), 0) << "column 0 text stays in its cell; column 1 is right-aligned";
    EXPECT_GT(inked(370, 408), 0);
    bool textColourSeen = false;
    for (int x = 10; x < 60 && !textColourSeen; ++x) {
        for (int y = 0; y < CSkinListCtrl::kRowHeight; ++y) {
            textColourSeen |= (view.pixel(x, y) | 0xff000000u) == CSkinListCtrl::kTextColour;
        }
    }
    EXPECT_TRUE(textColourSeen);
}

TEST_F(SkinListTest, WheelScrollsOneLinePerNotchWithoutNativeScrollbars) {
    AddRows(30);
    EXPECT_FALSE(list_->verticalScrollBar()->isVisible());
    EXPECT_FALSE(list_->horizontalScrollBar()->isVisible());
    auto wheel = [&](int delta) {
        const QPointF at(50, 20);
        QWheelEvent event(at, list_->viewport()->mapToGlobal(at), {}, {0, delta}, Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(list_->viewport(), &event);
    };
    wheel(-120);
    EXPECT_EQ(list_->verticalScrollBar()->value(), 1);
    wheel(-240);
    EXPECT_EQ(list_->verticalScrollBar()->value(), 3);
    wheel(60);
    EXPECT_EQ(list_->verticalScrollBar()->value(), 3) << "half a notch";
    wheel(60);
    EXPECT_EQ(list_->verticalScrollBar()->value(), 2);
    // The scrolled view still numbers rows by their place in the list.
    EXPECT_EQ(PixelAt(View(), {3, 2}), Row(2));
    EXPECT_EQ(list_->Scrollbar()->ThumbTop(), qRound(2 * list_->Scrollbar()->Ratio()));
}

TEST_F(SkinListTest, ScrollbarSitsJustRightOfTheListAndGoesWithIt) {
    CSkinVerticleScrollbar* bar = list_->Scrollbar();
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->parentWidget(), &window_);
    EXPECT_EQ(bar->geometry(), QRect(408, 10, 3, 160));
    EXPECT_TRUE(bar->isVisible());
    list_->setGeometry(0, 40, 408, 100);
    EXPECT_EQ(bar->geometry(), QRect(408, 40, 3, 100));
    list_->hide();
    EXPECT_FALSE(bar->isVisible());
    list_->show();
    EXPECT_TRUE(bar->isVisible());
    const QPointer<CSkinVerticleScrollbar> watch(bar);
    delete list_;
    EXPECT_TRUE(watch.isNull()) << "no scrollbar left serving a deleted list";
}

}  // namespace
}  // namespace koruvan::ui
