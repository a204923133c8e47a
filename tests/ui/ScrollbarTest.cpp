#include "ui/CSkinVerticleScrollbar.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QScrollBar>
#include <QTest>

#include "QtTestEnvironment.h"
#include "ui/CSkinListCtrl.h"

namespace koruvan::ui {
namespace {

using test::Rendered;
using test::ShowActive;

constexpr int kThumb = CSkinVerticleScrollbar::kThumbHeight;

class ScrollbarTest : public ::testing::Test {
  protected:
    void SetUp() override {
        window_.resize(420, 200);
        list_ = new CSkinListCtrl(&window_);
        list_->setGeometry(0, 0, 408, 150);
        list_->setHeaderLabels({QStringLiteral("Name")});
        ASSERT_TRUE(ShowActive(window_));
        bar_ = list_->Scrollbar();
    }

    void AddRows(int count) {
        for (int i = 0; i < count; ++i) {
            list_->addTopLevelItem(new QTreeWidgetItem({QString::number(i)}));
        }
        QCoreApplication::processEvents();
    }

    QScrollBar& Position() { return *list_->verticalScrollBar(); }
    int Travel() const { return bar_->height() - kThumb; }

    // Rows of the rendered scrollbar that show the thumb colour.
    std::pair<int, int> ThumbRows() {
        const QImage image = Rendered(*bar_);
        int first = -1;
        int last = -1;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QRgb pixel = image.pixel(x, y) | 0xff000000u;
                EXPECT_TRUE(pixel == CSkinVerticleScrollbar::kThumbColour ||
                            pixel == CSkinVerticleScrollbar::kTrackColour);
            }
            if ((image.pixel(1, y) | 0xff000000u) == CSkinVerticleScrollbar::kThumbColour) {
                first = first < 0 ? y : first;
                last = y;
            }
        }
        return {first, last};
    }

    void Press(int y) { QTest::mousePress(bar_, Qt::LeftButton, {}, {1, y}); }
    void MoveTo(int y) { QTest::mouseMove(bar_, {1, y}); }
    void Release(int y) { QTest::mouseRelease(bar_, Qt::LeftButton, {}, {1, y}); }

    QWidget window_;
    CSkinListCtrl* list_ = nullptr;
    CSkinVerticleScrollbar* bar_ = nullptr;
};

TEST_F(ScrollbarTest, ThreePixelTrackWithA49PixelThumbThatFollowsTheList) {
    AddRows(40);
    ASSERT_EQ(bar_->width(), 3);
    const int positions = Position().maximum();
    ASSERT_GT(positions, 10);
    EXPECT_DOUBLE_EQ(bar_->Ratio(), static_cast<double>(Travel()) / positions);
    EXPECT_EQ(ThumbRows(), std::make_pair(0, kThumb - 1));
    Position().setValue(positions);
    EXPECT_EQ(ThumbRows(), std::make_pair(Travel(), bar_->height() - 1));
    Position().setValue(5);
    EXPECT_EQ(bar_->ThumbTop(), qRound(5 * bar_->Ratio()));
    EXPECT_EQ(ThumbRows().first, bar_->ThumbTop());
}

TEST_F(ScrollbarTest, DraggingHoldsTheThumbByItsMiddleAndScrollsWholeRows) {
    AddRows(40);
    const double ratio = bar_->Ratio();
    Press(24);
    MoveTo(24 + 30);
    EXPECT_EQ(bar_->ThumbTop(), 30) << "follows the pointer, not the row grid";
    EXPECT_EQ(Position().value(), static_cast<int>(31 / ratio));
    MoveTo(5000);
    EXPECT_EQ(bar_->ThumbTop(), Travel());
    EXPECT_EQ(Position().value(), Position().maximum());
    MoveTo(-300);
    EXPECT_EQ(bar_->ThumbTop(), 0);
    EXPECT_EQ(Position().value(), 0);
    MoveTo(24 + 40);
    Release(24 + 40);
    EXPECT_EQ(bar_->ThumbTop(), qRound(Position().value() * ratio)) << "snaps to its row";
}

TEST_F(ScrollbarTest, ClicksOnTheTrackPage) {
    AddRows(40);
    const int page = Position().pageStep();
    ASSERT_GT(page, 1);
    Press(kThumb + 10);
    Release(kThumb + 10);
    EXPECT_EQ(Position().value(), page);
    Press(bar_->height() - 1);
    Release(bar_->height() - 1);
    EXPECT_EQ(Position().value(), 2 * page);
    ASSERT_GT(bar_->ThumbTop(), 0);
    Press(0);
    Release(0);
    EXPECT_EQ(Position().value(), page);
}

TEST_F(ScrollbarTest, ListThatCannotScrollKeepsTheThumbAtTheTop) {
    AddRows(2);
    ASSERT_EQ(Position().maximum(), 0);
    EXPECT_EQ(bar_->Ratio(), 0.0);
    EXPECT_EQ(ThumbRows(), std::make_pair(0, kThumb - 1));
    Press(24);
    MoveTo(120);
    Release(120);
    EXPECT_EQ(Position().value(), 0);
    EXPECT_EQ(bar_->ThumbTop(), 0);

    // A track shorter than the thumb: the thumb fills it.
    list_->setGeometry(0, 0, 408, 30);
    EXPECT_EQ(ThumbRows(), std::make_pair(0, 29));
}

TEST_F(ScrollbarTest, HeldArrowScrollsAfterTheDelayThenRepeatsUntilReleased) {
    AddRows(40);
    bar_->SetArrowHeight(10);
    QElapsedTimer clock;
    clock.start();
    Press(bar_->height() - 2);
    EXPECT_EQ(Position().value(), 0) << "nothing before the delay";
    EXPECT_TRUE(QTest::qWaitFor([&] { return Position().value() >= 1; }, 3000));
    EXPECT_GE(clock.elapsed(), CSkinVerticleScrollbar::kRepeatDelayMs * 9 / 10);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Position().value() >= 4; }, 3000));
    Release(bar_->height() - 2);
    const int stopped = Position().value();
    QTest::qWait(200);
    EXPECT_EQ(Position().value(), stopped);

    Press(2);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Position().value() < stopped; }, 3000));
    Release(2);
}

}  // namespace
}  // namespace koruvan::ui
