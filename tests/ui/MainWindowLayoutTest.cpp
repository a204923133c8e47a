// The main window's buttons and shape: the layout of every (state, disk-short) pair from one
// baseline, the Start button with and without disk space, the first layout after a restart
// into a finished download, the list toggle, and the keys that must not close the window.
#include <gtest/gtest.h>

#include <QTest>

#include "QtTestEnvironment.h"
#include "WindowHarness.h"
#include "ui/CPictureButton.h"
#include "ui/CSkinListCtrl.h"
#include "ui/SkinImages.h"

namespace koruvan::ui {
namespace {

using S = app::ControllerState;
using test::WindowHarness;

const ControlId kLaidOut[] = {kIdStart,   kIdPause,        kIdContinue,
                              kIdInstall, kIdChangeFolder, kIdOpenFolder};

// Each button as "VE" (shown, enabled), "VD", "HE" (hidden, enabled) or "HD", in the order
// Start, Pause, Continue, Install, 修改, 查看.
std::string Look(CwbeKoruvanUIDlg& w) {
    std::string look;
    for (ControlId id : kLaidOut) {
        CPictureButton* b = w.Button(id);
        look += b->isVisibleTo(&w) ? 'V' : 'H';
        look += b->isEnabled() ? 'E' : 'D';
        look += ' ';
    }
    look.pop_back();
    return look;
}

struct Case {
    S state;
    bool diskShort;
    const char* expected;  // from the baseline where all six are shown and enabled
};

const Case kCases[] = {
    {S::Back, false, "VE VE VE VE VE VE"},          {S::Back, true, "VD VE VE VE VE VE"},
    {S::Ready, false, "VE VE VE VE VE VE"},         {S::Ready, true, "VD VE VE VE VE VE"},
    {S::Preparing, false, "HE VE VE VE VD VE"},     {S::Preparing, true, "HE VE VE VE VD VE"},
    {S::Downloading, false, "VE VE HE VE HE VE"},   {S::Downloading, true, "VE VD HE VE HE VE"},
    {S::Resume, false, "VE VE HE VE HE VE"},        {S::Resume, true, "VE VD HE VE HE VE"},
    {S::Pause, false, "VE HE VE VE HE VE"},         {S::Pause, true, "VE HE VD VE HE VE"},
    {S::Failed, false, "VD VD VD VD HE VE"},        {S::Failed, true, "VD VD VD VD HE VE"},
    {S::Finished, false, "HE HE HE VE HE VE"},      {S::Finished, true, "HE HE HE VE HE VE"},
    {S::CheckFinished, false, "HE HE HE VE HE VE"}, {S::CheckFinished, true, "HE HE HE VE HE VE"},
    {S::Md5Checking, false, "HE HE HE VD HE VE"},   {S::Md5Checking, true, "HE HE HE VD HE VE"},
    {S::CheckRecover, false, "HE HE HE VD HE VE"},  {S::CheckRecover, true, "HE HE HE VD HE VE"},
    {S::Recover, false, "VE VD VE VE VD VE"},       {S::Recover, true, "VE VD VE VE VD VE"},
    {S::Reload, false, "VE VD VE VE VD VE"},        {S::Reload, true, "VE VD VE VE VD VE"},
    {S::Installing, false, "VE VE VE VE VE VE"},    {S::Retry, true, "VE VE VE VE VE VE"},
    {S::Crashed, false, "VE VE VE VE VE VE"},
};

TEST(MainWindowLayoutTest, EveryStateAndDiskShortPairLaysOutTheButtonsOfTheTable) {
    WindowHarness h;
    CwbeKoruvanUIDlg& w = h.Open();
    for (const Case& c : kCases) {
        for (ControlId id : kLaidOut) {
            w.Button(id)->show();
            w.Button(id)->setEnabled(true);
        }
        w.LayOutButtons(c.state, c.diskShort);
        EXPECT_EQ(Look(w), c.expected)
            << "state " << static_cast<int>(c.state) << ", diskShort " << c.diskShort;
    }
}

TEST(MainWindowLayoutTest, StartWithoutSpaceKeepsStartVisibleAndPauseHidden) {
    WindowHarness h;
    CwbeKoruvanUIDlg& w = h.Open();
    w.show();
    // A fresh start: only Start and 修改 of the six.
    EXPECT_EQ(Look(w), "VE HE HE HE VE HE");
    h.engine.freeBytes = 1024 * 1024;  // far below the plan's 50 MiB
    w.OnCommand(kIdStart);
    EXPECT_EQ(w.Controller().State(), S::Ready);
    EXPECT_EQ(Look(w), "VE HE HE HE VE HE");  // Start stays, Pause stays hidden
    QApplication::processEvents();            // the notice is queued to the window's thread
    ASSERT_EQ(h.notices.size(), 1u);
    EXPECT_EQ(h.notices[0].first.toStdString(), "当前磁盘空间不足，请选择其他位置存放");
    w.FastStep();
    EXPECT_EQ(Look(w), "VD HE HE HE VE HE");  // disabled while the disk is short
}

TEST(MainWindowLayoutTest, ButtonsFollowTheDownloadFromStartToPauseAndContinue) {
    WindowHarness h;
    CwbeKoruvanUIDlg& w = h.Open();
    w.show();
    h.folderChoice = QString::fromStdString(h.dir.File("big"));
    w.OnCommand(kIdChangeFolder);
    EXPECT_EQ(w.FolderText().toStdString(), h.dir.File("big") + "/vemo221047");
    EXPECT_EQ(w.Controller().SaveFolder(), h.dir.File("big") + "/vemo221047");
    EXPECT_EQ(h.browserTitles.at(0).toStdString(), "请选择安装包存放目录:");
    h.folderChoice.reset();  // cancelled: nothing changes
    w.OnCommand(kIdChangeFolder);
    EXPECT_EQ(w.FolderText().toStdString(), h.dir.File("big") + "/vemo221047");

    w.OnCommand(kIdStart);
    EXPECT_EQ(Look(w), "HE VE HE HE VE HE");  // Pause in Start's place at once
    w.FastStep();
    EXPECT_EQ(w.ShownState(), S::Preparing);
    EXPECT_EQ(Look(w), "HE VE HE HE VD HE");
    h.SetAll(100, 200000);
    w.FastStep();
    EXPECT_EQ(w.ShownState(), S::Reload);  // preparing with progress above 0
    EXPECT_EQ(Look(w), "HE VD HE HE VD HE");
    w.SlowStep();  // data flows: downloading
    w.FastStep();
    EXPECT_EQ(w.ShownState(), S::Downloading);
    EXPECT_EQ(Look(w), "HE VE HE HE HD VE");  // 修改 went away disabled (preparing)
    w.OnCommand(kIdPause);
    w.FastStep();
    EXPECT_EQ(Look(w), "HE HE VE HE HD VE");
    w.OnCommand(kIdContinue);
    w.FastStep();
    EXPECT_EQ(w.ShownState(), S::Resume);
    EXPECT_EQ(Look(w), "HE VE HE HE HD VE");
    // 查看 now opens the save folder.
    w.OnCommand(kIdOpenFolder);
    ASSERT_EQ(h.fileManager.size(), 1u);
    EXPECT_EQ(h.fileManager[0].first.toStdString(), h.dir.File("big") + "/vemo221047");
    EXPECT_FALSE(h.fileManager[0].second);
}

TEST(MainWindowLayoutTest, RestartIntoAFinishedDownloadShowsInstallAtTheFirstFastStep) {
    WindowHarness h;
    h.Open();
    h.Finished();
    ASSERT_EQ(h.Controller().State(), S::Finished);
    h.window.reset();  // the program ends …

    CwbeKoruvanUIDlg& w = h.Open();  // … and starts again
    EXPECT_EQ(w.InitResult(), 1);
    EXPECT_EQ(Look(w), "HE VE HE HE VE HE");  // Pause, as for reloaded tasks
    w.FastStep();
    EXPECT_EQ(Look(w), "HE HE HE VE HE VE");
}

TEST(MainWindowLayoutTest, TogglingTheListTwiceRestoresSizeAndShape) {
    WindowHarness h;
    CwbeKoruvanUIDlg& w = h.Open();
    ASSERT_TRUE(test::ShowActive(w));
    const QSize size = w.size();
    const QRegion shape = w.mask();
    EXPECT_EQ(size, QSize(411, 307));
    // The collapsed shape rounds the bottom corners: they are cut out, the middle is not.
    EXPECT_FALSE(shape.contains(QPoint(0, 306)));
    EXPECT_TRUE(shape.contains(QPoint(205, 306)));
    EXPECT_TRUE(shape.contains(QPoint(0, 100)));
    EXPECT_FALSE(w.FileList()->geometry().intersects(w.rect()));

    QTest::mouseRelease(&w, Qt::LeftButton, {}, QPoint(200, 290));
    EXPECT_FALSE(w.Collapsed());
    EXPECT_EQ(w.size(), QSize(411, 385));
    EXPECT_TRUE(w.mask().isEmpty());  // the plain rectangle
    EXPECT_TRUE(w.rect().contains(w.FileList()->geometry()));
    // A release outside the toggle area changes nothing.
    QTest::mouseRelease(&w, Qt::LeftButton, {}, QPoint(230, 290));
    EXPECT_FALSE(w.Collapsed());

    QTest::mouseRelease(&w, Qt::LeftButton, {}, QPoint(186, 278));
    EXPECT_TRUE(w.Collapsed());
    EXPECT_EQ(w.size(), size);
    EXPECT_EQ(w.mask(), shape);
    EXPECT_FALSE(w.FileList()->geometry().intersects(w.rect()));
}

TEST(MainWindowLayoutTest, EscapeAndEnterNeverCloseTheWindowButAltF4AsksLikeClose) {
    WindowHarness h;
    CwbeKoruvanUIDlg& w = h.Open();
    ASSERT_TRUE(test::ShowActive(w));
    int dialogs = 0;
    auto* watch = new QTimer(&w);
    QObject::connect(watch, &QTimer::timeout, [&dialogs] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            ++dialogs;
            QMetaObject::invokeMethod(modal, "reject", Qt::QueuedConnection);
        }
    });
    watch->start(5);
    for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
        QTest::keyClick(&w, key);
        QTest::qWait(30);
    }
    EXPECT_EQ(dialogs, 0);
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(w.Destroyed());

    // Alt+F4: the close dialog, closed without a choice: nothing happens.
    QTest::keyClick(&w, Qt::Key_F4, Qt::AltModifier);
    EXPECT_EQ(dialogs, 1);
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(w.Destroyed());
}

// The download fill grows with the overall progress and is cut to its share of the bar.
TEST(MainWindowLayoutTest, ProgressFillCoversItsShareOfTheBar) {
    WindowHarness h;
    CwbeKoruvanUIDlg& w = h.Open();
    w.show();
    const QImage fill = SkinImages::BitmapImage(kProgressFillId);
    ASSERT_FALSE(fill.isNull());
    const QRect bar = window_layout::kProgressBar;
    const auto filledColumns = [&] {
        const QImage shot = test::Rendered(w);
        int columns = 0;
        for (int x = 0; x < bar.width(); ++x) {
            const QPoint at(bar.x() + x, bar.y() + bar.height() / 2);
            columns +=
                (shot.pixel(at) | 0xff000000u) == (fill.pixel(x, bar.height() / 2) | 0xff000000u)
                    ? 1
                    : 0;
        }
        return columns;
    };
    w.FastStep();
    const int none = filledColumns();
    h.Downloading(5000);
    w.FastStep();
    EXPECT_EQ(w.ShownProgress().overallPercent, 50u);
    const int half = filledColumns();
    EXPECT_NEAR(half - none, bar.width() / 2, 3);
    h.SetAll(10000, 0);
    w.FastStep();
    EXPECT_EQ(w.ShownProgress().overallPercent, 100u);
    EXPECT_NEAR(filledColumns() - none, bar.width(), 3);
}

}  // namespace
}  // namespace koruvan::ui
