// What a user meets beyond the download itself: standard dialogs in the window's language,
// the folder browser starting clean, why a download stands still, fixed-size dialogs,
// warnings above the dialog that raised them, the save folder legible however long, and
// the buttons reachable by Tab and pressed by Space.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include <algorithm>
#include <filesystem>

#include "QtTestEnvironment.h"
#include "WindowHarness.h"
#include "ui/CExitWndSetDlg.h"
#include "ui/CSettingsDlg.h"
#include "ui/FolderChooser.h"
#include "ui/WindowSteps.h"

namespace koruvan::ui {
namespace {

using S = app::ControllerState;
using test::WhenModalOpens;
using test::WindowHarness;

bool HasChinese(const QString& text) {
    return std::any_of(text.begin(), text.end(),
                       [](QChar c) { return c.unicode() >= 0x4e00 && c.unicode() <= 0x9fff; });
}

std::string Reason(CwbeKoruvanUIDlg& w) {
    return w.ShownReasonText().toStdString();
}

TEST(WindowUsabilityTest, FolderBrowserSpeaksChineseStartsCleanAndTakesATypedPath) {
    WindowHarness h;
    h.options.chooseFolder = nullptr;  // the real browser
    CwbeKoruvanUIDlg& w = h.Open();
    ASSERT_EQ(w.FolderText().toStdString(), h.SaveFolder());
    const QString typed = QString::fromStdString(h.dir.File("typed"));
    std::filesystem::create_directories(typed.toStdString());
    QStringList english;
    QString startedIn;
    QString preTyped = QStringLiteral("(none)");
    WhenModalOpens([&](QWidget* modal) {
        auto* chooser = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(chooser, nullptr);
        startedIn = chooser->directory().absolutePath();
        auto* name = chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(name, nullptr);
        preTyped = name->text();
        // Every label and button of the browser is in Chinese.
        for (auto* label : chooser->findChildren<QLabel*>()) {
            if (label->isVisible() && !label->text().isEmpty() && !HasChinese(label->text())) {
                english << label->text();
            }
        }
        for (auto* button : chooser->findChild<QDialogButtonBox*>()->buttons()) {
            if (!HasChinese(button->text())) {
                english << button->text();
            }
        }
        name->setText(typed);
        QMetaObject::invokeMethod(chooser, "accept", Qt::QueuedConnection);
    });
    w.FolderCommand();
    EXPECT_TRUE(english.isEmpty()) << english.join(QStringLiteral(" | ")).toStdString();
    EXPECT_EQ(startedIn.toStdString(), h.dir.File("save"));  // where vemo221047 was placed
    EXPECT_EQ(preTyped.toStdString(), "");
    EXPECT_EQ(w.FolderText(), typed + QStringLiteral("/vemo221047"));
}

TEST(WindowUsabilityTest, BrowseStartFolderIsTheChosenFolderOrItsNearestExistingAncestor) {
    koruvan::test::TempDir dir;
    std::filesystem::create_directories(dir.File("a/b"));
    const struct {
        std::string saveFolder;
        std::string expected;
    } cases[] = {
        {dir.File("a/b/vemo221047"), dir.File("a/b")},
        {dir.File("a/b"), dir.File("a/b")},
        {dir.File("a/gone/deeper/vemo221047"), dir.File("a")},
        {"", QDir::homePath().toStdString()},
        {"relative/vemo221047", QDir::homePath().toStdString()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BrowseStartFolder(QString::fromStdString(c.saveFolder)).toStdString(), c.expected)
            << c.saveFolder;
    }
}

TEST(WindowUsabilityTest, StallReasonNamesWhatKeepsTheDownloadStill) {
    const std::string problem = "no data from any source: HTTP 403 from 127.0.0.1:8080";
    const struct {
        S state;
        bool diskShort;
        bool diskWatch;
        std::string expected;
    } cases[] = {
        {S::Downloading, false, false, problem},
        {S::Ready, true, false, "当前磁盘空间不足，请选择其他位置存放"},
        {S::Back, true, true, "当前磁盘空间不足，请选择其他位置存放"},
        {S::Pause, true, true, "预留磁盘空间不足，下载暂停。"},
        {S::Pause, true, false, "磁盘空间不足，请检查并重新启动下载器！"},
        {S::Downloading, true, false, "磁盘空间不足，请检查并重新启动下载器！"},
        {S::Finished, false, false, ""},
        {S::CheckFinished, true, false, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StallReason(c.state, c.diskShort, c.diskWatch, problem), c.expected)
            << static_cast<int>(c.state) << " " << c.diskShort << c.diskWatch;
    }
}

TEST(WindowUsabilityTest, RefusingSourcesShowTheirReasonWhileTheFixedTextsStay) {
    WindowHarness h;
    CwbeKoruvanUIDlg& w = h.Open();
    w.OnCommand(kIdStart);
    h.engine.problem = "HTTP 403 from 127.0.0.1:8080";
    for (int second = 0; second < 4; ++second) {
        w.FastStep();
        w.SlowStep();
    }
    EXPECT_EQ(Reason(w), "no data from any source: HTTP 403 from 127.0.0.1:8080");
    EXPECT_EQ(w.ShownTexts().activity, "0 B/s");
    EXPECT_EQ(w.ShownTexts().percentText, "0.00%");
    EXPECT_EQ(w.ToolTipAt(window_layout::kReasonText.center()).toStdString(), Reason(w));
    // Data flows again: the reason goes.
    h.engine.With(h.Name(2), [](auto& task) { task.progress.httpBytes += 65536; });
    w.FastStep();
    w.SlowStep();
    EXPECT_EQ(Reason(w), "");
}

TEST(WindowUsabilityTest, FullDiskSaysRestartWithoutTheDiskWatchAndClearsWithIt) {
    for (const bool diskWatch : {false, true}) {
        WindowHarness h;
        h.env.probeVolume = [diskWatch](const std::string&) {
            return app::VolumeMode{!diskWatch, diskWatch};
        };
        CwbeKoruvanUIDlg& w = h.Open();
        h.Downloading();
        ASSERT_EQ(w.ShownState(), S::Downloading);
        h.engine.freeBytes = 0;
        h.engine.SetCode(h.Name(1), 20210);  // a task found the disk full
        w.FastStep();
        w.SlowStep();
        w.FastStep();
        EXPECT_EQ(w.ShownState(), S::Pause) << diskWatch;
        EXPECT_FALSE(w.Button(kIdContinue)->isHidden());
        EXPECT_FALSE(w.Button(kIdContinue)->isEnabled());
        EXPECT_EQ(Reason(w), diskWatch ? "预留磁盘空间不足，下载暂停。"
                                       : "磁盘空间不足，请检查并重新启动下载器！");
        // Space freed in the same folder: the disk watch re-enables Continue; without it
        // only a restart measures again, and the window keeps saying so.
        h.engine.freeBytes = std::uint64_t{1} << 50;
        w.FastStep();
        w.SlowStep();
        EXPECT_EQ(w.Button(kIdContinue)->isEnabled(), diskWatch);
        EXPECT_EQ(Reason(w), diskWatch ? "" : "磁盘空间不足，请检查并重新启动下载器！");
    }
}

TEST(WindowUsabilityTest, SettingsAndCloseDialogsHaveAFixedSizeAndNoMaximise) {
    WindowHarness h;
    CwbeKoruvanUIDlg& w = h.Open();
    for (QDialog* d :
         {static_cast<QDialog*>(w.SettingsDialog()), static_cast<QDialog*>(w.CloseDialog())}) {
        d->show();
        QApplication::processEvents();
        EXPECT_EQ(d->minimumSize(), d->maximumSize()) << d->windowTitle().toStdString();
        EXPECT_EQ(d->size(), d->minimumSize()) << d->windowTitle().toStdString();
        EXPECT_FALSE(d->windowFlags() & Qt::WindowMaximizeButtonHint);
        EXPECT_FALSE(d->isSizeGripEnabled());
        d->hide();
    }
}

TEST(WindowUsabilityTest, DialogsOpenCentredAndTheRangeWarningAboveTheSettings) {
    WindowHarness h;
    h.options.notice = nullptr;  // real notice boxes
    CwbeKoruvanUIDlg& w = h.Open();
    w.move(300, 200);
    w.show();
    QWidget* warningParent = nullptr;
    QPoint warningCentre;
    QPoint settingsCentre;
    WhenModalOpens([&](QWidget* modal) {
        auto* d = qobject_cast<CSettingsDlg*>(modal);
        ASSERT_NE(d, nullptr);
        settingsCentre = d->frameGeometry().center();
        QTest::mouseClick(d->LimitCheck(), Qt::LeftButton);
        d->LimitEdit()->setText(QStringLiteral("9"));
        QTest::mouseClick(d->ApplyButton(), Qt::LeftButton);
        const auto noticeShown = [] {
            const QWidgetList all = QApplication::topLevelWidgets();
            return std::any_of(all.begin(), all.end(), [](QWidget* t) {
                return t->isVisible() && t->objectName() == QStringLiteral("notice");
            });
        };
        h.Until(noticeShown);
        for (QWidget* t : QApplication::topLevelWidgets()) {
            if (t->isVisible() && t->objectName() == QStringLiteral("notice")) {
                warningParent = t->parentWidget();
                warningCentre = t->frameGeometry().center();
                t->close();
            }
        }
        d->reject();
    });
    w.OnCommand(kIdSettings);
    const QPoint centre = w.frameGeometry().center();
    EXPECT_LE((settingsCentre - centre).manhattanLength(), 4);
    EXPECT_EQ(warningParent, w.SettingsDialog()) << "the warning is not above the settings";
    EXPECT_LE((warningCentre - centre).manhattanLength(), 4);
}

TEST(WindowUsabilityTest, LongSaveFolderShowsItsEndAndTheWholePathAsTooltip) {
    WindowHarness h;
    const QString deep = QString::fromStdString(h.dir.File("games/downloads/irvane/client"));
    h.folderChoice = deep;
    CwbeKoruvanUIDlg& w = h.Open();
    w.FolderCommand();
    ASSERT_EQ(w.FolderText(), deep + QStringLiteral("/vemo221047"));
    const QString shown = w.ShownFolderText();
    EXPECT_TRUE(shown.startsWith(QChar(0x2026))) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith(QStringLiteral("/vemo221047"))) << shown.toStdString();
    EXPECT_EQ(w.ToolTipAt(window_layout::kFolderText.center()), w.FolderText());
    EXPECT_EQ(w.ToolTipAt(QPoint(5, 100)), QString());
}

TEST(WindowUsabilityTest, TabShowsFocusOnTheButtonsAndSpacePressesThem) {
    WindowHarness h;
    CwbeKoruvanUIDlg& w = h.Open();
    ASSERT_TRUE(test::ShowActive(w));
    CPictureButton* start = w.Button(kIdStart);
    // Opening puts the focus on the first button, but shows no frame: no key was pressed.
    EXPECT_FALSE(start->ShowsFocusFrame());
    const QImage plain = test::Rendered(*start);
    // Tab round until Start has the focus again (list and small buttons are in the chain).
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    for (int i = 0; i < 12 && !start->hasFocus(); ++i) {
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &w,
                        Qt::Key_Tab);
    }
    ASSERT_TRUE(start->hasFocus());
    EXPECT_TRUE(start->ShowsFocusFrame());
    EXPECT_NE(test::Rendered(*start), plain) << "no focus is drawn";
    QTest::keyClick(start, Qt::Key_Space);
    EXPECT_NE(w.Controller().State(), S::Ready) << "Space did not press Start";
    CPictureButton* pause = w.Button(kIdPause);
    EXPECT_TRUE(pause->isVisible());
    EXPECT_TRUE(pause->hasFocus());  // the focus stays in the large button's place
    EXPECT_TRUE(pause->ShowsFocusFrame());
    // Data arrives while preparing: Pause is disabled for a moment (reload), then enabled
    // again; the focus Qt moved away comes back.
    h.SetAll(100, 200000);
    w.FastStep();
    ASSERT_EQ(w.ShownState(), S::Reload);
    EXPECT_FALSE(pause->isEnabled());
    w.SlowStep();
    w.FastStep();
    ASSERT_EQ(w.ShownState(), S::Downloading);
    EXPECT_TRUE(pause->hasFocus());
    EXPECT_TRUE(pause->ShowsFocusFrame());
    // The download ends: Install takes the place, and the focus with it.
    for (int i = 0; i < app::kFileCount; ++i) {
        koruvan::test::WriteFile(h.Target(i), h.Content(i));
        h.engine.Complete(h.Name(i));
    }
    h.SetAll(10000, 0);
    w.SlowStep();
    ASSERT_TRUE(koruvan::test::ControllerHarness::WaitUntilChecked(h.Controller()));
    w.FastStep();
    ASSERT_EQ(w.ShownState(), S::Finished);
    EXPECT_TRUE(w.Button(kIdInstall)->hasFocus())
        << QApplication::focusWidget()->objectName().toStdString();
}

TEST(WindowUsabilityTest, ClickingShowsNoFocusFrameOnTheButtonTakingItsPlace) {
    WindowHarness h;
    CwbeKoruvanUIDlg& w = h.Open();
    ASSERT_TRUE(test::ShowActive(w));
    QTest::mouseClick(w.Button(kIdStart), Qt::LeftButton);
    ASSERT_TRUE(w.Button(kIdPause)->isVisible());
    // Qt hands the focus of a hidden button on as if by Tab; a mouse user gets no frame.
    EXPECT_FALSE(w.Button(kIdPause)->ShowsFocusFrame());
    EXPECT_FALSE(w.Button(kIdChangeFolder)->ShowsFocusFrame());
}

}  // namespace
}  // namespace koruvan::ui
