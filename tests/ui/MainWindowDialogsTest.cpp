// The settings dialog (range warning, limits sent through the window to every task,
// "无限制"), the close dialog with and without "记住我的选择", the tray (or the taskbar
// without one), and the end of the program when the downloader has expired.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "QtTestEnvironment.h"
#include "WindowHarness.h"
#include "ui/CExitWndSetDlg.h"
#include "ui/CSettingsDlg.h"

namespace koruvan::ui {
namespace {

using S = app::ControllerState;
using test::WhenModalOpens;
using test::WindowHarness;

const char* kRangeWarning = "您设置的速度不在允许范围内[10KB/s - 30000KB/s]，请重新设置限速！";

std::int32_t LimitOfTask(WindowHarness& h, int i) {
    return h.engine.Copy(h.Name(i)).speedLimit;
}

// Types `value` into the limit box of an open settings dialog and presses "设置".
void SetLimit(CSettingsDlg& d, const QString& value) {
    if (!d.LimitCheck()->isChecked()) {
        QTest::mouseClick(d.LimitCheck(), Qt::LeftButton);
    }
    d.LimitEdit()->selectAll();
    QTest::keyClicks(d.LimitEdit(), value);
    QTest::mouseClick(d.ApplyButton(), Qt::LeftButton);
}

TEST(MainWindowDialogsTest, SettingsWarnOutOfRangeAndSendLimitsInRange) {
    WindowHarness h;
    CwbeKoruvanUIDlg& w = h.Open();
    h.Downloading();
    CSettingsDlg& d = *w.SettingsDialog();
    d.show();
    // Opening with no limit: unchecked, "无限制" greyed; the hidden controls stay hidden.
    EXPECT_FALSE(d.LimitCheck()->isChecked());
    EXPECT_EQ(d.LimitEdit()->text().toStdString(), "无限制");
    EXPECT_FALSE(d.LimitEdit()->isEnabled());
    EXPECT_FALSE(d.P2PCheck()->isVisible());
    EXPECT_TRUE(d.P2PCheck()->isChecked());
    EXPECT_EQ(d.findChild<QLineEdit*>(QStringLiteral("ctl1024"))->isVisible(), false);
    EXPECT_EQ(d.LimitUpDown()->Lowest(), 10);
    EXPECT_EQ(d.LimitUpDown()->Highest(), 30000);
    QTest::mouseClick(d.LimitCheck(), Qt::LeftButton);
    EXPECT_TRUE(d.LimitEdit()->isEnabled());
    EXPECT_EQ(d.LimitEdit()->text().toStdString(), "200");

    const std::int32_t before = LimitOfTask(h, 0);
    for (const char* bad : {"9", "30001"}) {
        SetLimit(d, QString::fromLatin1(bad));
        QApplication::processEvents();
        EXPECT_TRUE(d.isVisible()) << bad;  // stays open
        ASSERT_FALSE(h.notices.empty());
        EXPECT_EQ(h.notices.back().first.toStdString(), kRangeWarning);
        EXPECT_EQ(h.notices.back().second.toStdString(), "警告");
        EXPECT_EQ(h.settings.speedLimitKBps.load(), 0u);
        EXPECT_EQ(LimitOfTask(h, 0), before);  // nothing was sent
    }
    h.notices.clear();

    SetLimit(d, QStringLiteral("10"));
    EXPECT_FALSE(d.isVisible());
    QApplication::processEvents();  // the posted messages reach the window
    EXPECT_TRUE(h.notices.empty());
    EXPECT_EQ(h.settings.speedLimitKBps.load(), 10u);
    EXPECT_EQ(LimitOfTask(h, 0), 10);  // 10 over five tasks is raised to 10 each

    d.show();
    EXPECT_TRUE(d.LimitCheck()->isChecked());  // opens with the last value
    EXPECT_EQ(d.LimitEdit()->text().toStdString(), "10");
    SetLimit(d, QStringLiteral("30000"));
    QApplication::processEvents();
    EXPECT_EQ(h.settings.speedLimitKBps.load(), 30000u);
    EXPECT_EQ(LimitOfTask(h, 4), 6000);

    // Unchecked: "无限制" greyed, 0 sent: no task is limited any more.
    d.show();
    QTest::mouseClick(d.LimitCheck(), Qt::LeftButton);
    EXPECT_FALSE(d.LimitCheck()->isChecked());
    EXPECT_EQ(d.LimitEdit()->text().toStdString(), "无限制");
    EXPECT_FALSE(d.LimitEdit()->isEnabled());
    d.ShutdownCheck()->click();
    EXPECT_TRUE(d.ShutdownCheck()->isChecked());
    QTest::mouseClick(d.ApplyButton(), Qt::LeftButton);
    EXPECT_FALSE(d.isVisible());
    QApplication::processEvents();
    EXPECT_EQ(h.settings.speedLimitKBps.load(), 0u);
    EXPECT_EQ(LimitOfTask(h, 2), 0);  // the engine's "no limit"
    EXPECT_TRUE(h.settings.shutdownAfterDownload.load());

    // "取消" changes nothing.
    d.show();
    QTest::mouseClick(d.LimitCheck(), Qt::LeftButton);
    QTest::mouseClick(d.CancelButton(), Qt::LeftButton);
    QApplication::processEvents();
    EXPECT_EQ(h.settings.speedLimitKBps.load(), 0u);
}

TEST(MainWindowDialogsTest, SettingsButtonOpensTheDialogModally) {
    WindowHarness h;
    CwbeKoruvanUIDlg& w = h.Open();
    bool opened = false;
    WhenModalOpens([&opened](QWidget* modal) {
        opened = modal->windowTitle() == QStringLiteral("下载设置");
        QMetaObject::invokeMethod(modal, "reject", Qt::QueuedConnection);
    });
    w.OnCommand(kIdSettings);
    EXPECT_TRUE(opened);
}

// Answers the close dialog: `exit` picks "退出程序", `remember` checks "记住我的选择".
void AnswerCloseDialog(bool exit, bool remember, int* shown = nullptr) {
    WhenModalOpens([exit, remember, shown](QWidget* modal) {
        auto* d = qobject_cast<CExitWndSetDlg*>(modal);
        ASSERT_NE(d, nullptr);
        if (shown != nullptr) {
            ++*shown;
        }
        EXPECT_TRUE(d->TrayRadio()->isChecked());  // the default
        if (exit) {
            d->ExitRadio()->setChecked(true);
        }
        d->RememberCheck()->setChecked(remember);
        QMetaObject::invokeMethod(d->OkButton(), "click", Qt::QueuedConnection);
    });
}

TEST(MainWindowDialogsTest, CloseDialogExitRememberedQuitsAndTheNextCloseQuitsWithoutAsking) {
    WindowHarness h;
    {
        CwbeKoruvanUIDlg& w = h.Open();
        w.show();
        AnswerCloseDialog(true, true);
        w.OnCommand(kIdClose);
        EXPECT_TRUE(w.Destroyed());
        EXPECT_FALSE(w.isVisible());
    }
    CwbeKoruvanUIDlg& again = h.Open();
    again.show();
    EXPECT_EQ(again.Controller().CloseChoice(), 2);
    int dialogs = 0;
    auto* watch = new QTimer(&again);
    QObject::connect(watch, &QTimer::timeout, [&dialogs] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            ++dialogs;
            QMetaObject::invokeMethod(modal, "reject", Qt::QueuedConnection);
        }
    });
    watch->start(5);
    again.OnCommand(kIdClose);
    EXPECT_EQ(dialogs, 0);
    EXPECT_TRUE(again.Destroyed());
}

TEST(MainWindowDialogsTest, CloseDialogTrayWithoutRememberAsksAgainNextTime) {
    WindowHarness h;
    h.trayAvailable = true;
    CwbeKoruvanUIDlg& w = h.Open();
    w.show();
    int shown = 0;
    AnswerCloseDialog(false, false, &shown);
    w.OnCommand(kIdClose);
    EXPECT_EQ(shown, 1);
    EXPECT_TRUE(w.InTray());
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(w.Destroyed());
    EXPECT_EQ(h.settings.lastCloseChoice.load(), 1);
    EXPECT_NE(w.Controller().CloseChoice(), 1);  // not remembered

    w.TrayDoubleClicked();
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(w.InTray());
    AnswerCloseDialog(false, false, &shown);
    w.OnCommand(kIdClose);
    EXPECT_EQ(shown, 2);  // asked again
    EXPECT_TRUE(w.InTray());

    // Right click on the tray icon: the menu's only item quits.
    w.TrayRightClicked(QPoint(10, 10));
    auto* menu = w.findChild<QMenu*>();
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(menu->actions().size(), 1);
    EXPECT_EQ(menu->actions()[0]->text().toStdString(), "退出(&X)");
    menu->actions()[0]->trigger();
    EXPECT_TRUE(w.Destroyed());
}

TEST(MainWindowDialogsTest, WithoutASystemTrayTheWindowGoesToTheTaskbarAndSaysSo) {
    WindowHarness h;
    h.trayAvailable = false;
    CwbeKoruvanUIDlg& w = h.Open();
    w.show();
    w.MinimiseToTray();
    EXPECT_TRUE(w.isMinimized());
    EXPECT_FALSE(w.InTray());
    EXPECT_TRUE(
        h.log.Has("Koruvan Utility: no system tray on this desktop; the window is "
                  "minimised to the taskbar instead"));
    // A later start brings it back.
    w.BringToFront();
    EXPECT_FALSE(w.isMinimized());
    EXPECT_TRUE(w.isVisible());
}

// The port mapping's notification arrives as a posted message, with both its values, and
// is handled on the window's thread only once the event loop runs.
TEST(MainWindowDialogsTest, PortForwardNotificationReachesTheControllerQueued) {
    WindowHarness h;
    CwbeKoruvanUIDlg& w = h.Open();
    w.PostWindowMessage(app::kPortForwardMessage, 34, 0);
    w.PostWindowMessage(app::kPortForwardMessage, 34, -1);
    EXPECT_EQ(h.events.Count("11390000"), 0);  // queued, not handled yet
    QCoreApplication::processEvents();
    EXPECT_EQ(h.events.Count("11390000"), 1);
    EXPECT_EQ(h.events.Last("11500105").errorMessage, "uPnP失败，因为没有IGD设备信息");
}

TEST(MainWindowDialogsTest, ExpiredDownloaderShowsTheMessageOpensTheUrlAndEnds) {
    WindowHarness h;
    h.expiry = app::ExpiryNotice{"此下载器已过期，请下载新版本", "http://127.0.0.1:9/new"};
    CwbeKoruvanUIDlg& w = h.Open();
    ASSERT_EQ(h.modals.size(), 1u);
    EXPECT_EQ(h.modals[0].first.toStdString(), "此下载器已过期，请下载新版本");
    EXPECT_EQ(h.modals[0].second.toStdString(), "Irvane下载器");
    ASSERT_EQ(h.urls.size(), 1u);
    EXPECT_EQ(h.urls[0].toStdString(), "http://127.0.0.1:9/new");
    EXPECT_TRUE(w.Destroyed());
    EXPECT_FALSE(w.Started());
}

}  // namespace
}  // namespace koruvan::ui
