// The window under a real window manager (openbox on Xvfb), where positions, stacking and
// the frame's buttons come from the manager: folding the list keeps the window in place,
// every dialog and notice opens centred on the window (a warning above the dialog that
// raised it), the two small dialogs cannot be maximised or resized, and a download from
// servers that refuse shows why. Screenshots go to the gui artefacts folder.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>

#include "XSession.h"
#include "integration/CliTestGame.h"
#include "support/TempDir.h"
#include "ui/CwbeKoruvanUIDlg.h"
#include "ui/SkinImages.h"

namespace koruvan::test {
namespace {

using namespace std::chrono_literals;
namespace L = ui::window_layout;
constexpr std::uint64_t kMiB = 1024 * 1024;
const std::string kTitle = "Irvane下载器";

std::string Artefact(const std::string& name) {
    std::filesystem::create_directories(KORUVAN_GUI_ARTEFACTS);
    return std::string(KORUVAN_GUI_ARTEFACTS) + "/" + name;
}

double Distance(const QPoint& a, const QPoint& b) {
    return std::hypot(a.x() - b.x(), a.y() - b.y());
}

// Pixels of `area` in `shot` clearly away from the collapsed background.
int InkIn(const QImage& window, const QRect& area) {
    const QImage ground =
        ui::SkinImages::Background(false).toImage().convertToFormat(QImage::Format_RGB32);
    int ink = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb a = window.pixel(x, y);
            const QRgb b = ground.pixel(x, y);
            ink += std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                             std::abs(qBlue(a) - qBlue(b))}) > 60
                       ? 1
                       : 0;
        }
    }
    return ink;
}

class WindowManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (!x_.Ready(why) || !x_.StartWindowManager(why)) {
            GTEST_SKIP() << why;
        }
        ASSERT_TRUE(game_.Started());
        std::filesystem::create_directories(work_.File("run"));
    }
    void TearDown() override {
        if (window_.Running()) {
            window_.Signal(SIGTERM);
            (void)window_.Wait(15s);
        }
    }

    // Starts the window; its client window id (0 when it did not appear).
    unsigned long Open() {
        if (!window_.Start(KORUVAN_WINDOW_PATH,
                           {"--plan", game_.PlanFile(), "--data-dir", game_.DataDir(), "--save-dir",
                            game_.SaveDir(), "--no-telemetry"},
                           x_.DisplayName(), work_.File("run"), work_.File("window.log"))) {
            return 0;
        }
        return x_.FindClient(window_.Pid(), kTitle, 15s);
    }
    std::string Log() const { return ReadFile(work_.File("window.log")); }
    // Clicks a point of the main window's client area.
    void ClickAt(unsigned long window, const QPoint& at) {
        const QRect where = x_.Geometry(window);
        ASSERT_TRUE(x_.Click(where.x() + at.x(), where.y() + at.y()));
    }
    // A dialog of the program titled `title`, checked to open centred on the main window
    // (its frame's title bar allowed for) and on top.
    unsigned long ExpectCentredDialog(unsigned long main, const std::string& title) {
        const unsigned long dialog = x_.FindClient(window_.Pid(), title, 10s);
        EXPECT_NE(dialog, 0u) << title << "\n" << Log();
        if (dialog == 0) {
            return 0;
        }
        std::this_thread::sleep_for(400ms);  // placed and drawn
        const QRect d = x_.Geometry(dialog);
        const QRect m = x_.Geometry(main);
        EXPECT_LT(Distance(d.center(), m.center()), 30.0)
            << title << " at " << d.x() << "," << d.y() << " over the window at " << m.x() << ","
            << m.y() << "\n"
            << Log();
        EXPECT_TRUE(x_.OnTop(dialog)) << title;
        return dialog;
    }

    XSession x_;
    TempDir work_;
    TestGame game_{{kMiB, kMiB, kMiB, kMiB}};
    WindowProcess window_;
};

// The platform window's record of its position lags behind the manager's placement for a
// moment after the window appears: folding out at once is when a stale record moved it.
TEST_F(WindowManagerTest, FoldingTheListKeepsTheWindowWhereItIs) {
    const QPoint arrow = L::kListToggleArea.center();
    for (int start = 0; start < 3; ++start) {
        const unsigned long id = Open();
        ASSERT_NE(id, 0u) << Log();
        const QRect before = x_.Geometry(id);
        ASSERT_NE(before.topLeft(), QPoint(0, 0)) << "the manager placed the window in the corner";
        for (const int height : {L::kCollapsedHeight + L::kListToggleGrowth, L::kCollapsedHeight}) {
            ClickAt(id, arrow);
            for (int tries = 0; tries < 60 && x_.Geometry(id).height() != height; ++tries) {
                std::this_thread::sleep_for(50ms);
            }
            std::this_thread::sleep_for(200ms);
            const QRect now = x_.Geometry(id);
            EXPECT_EQ(now.height(), height) << "start " << start;
            EXPECT_EQ(now.topLeft(), before.topLeft())
                << "start " << start << ", height " << height;
        }
        window_.Signal(SIGTERM);
        ASSERT_EQ(window_.Wait(15s), 0) << Log();
    }
}

TEST_F(WindowManagerTest, SettingsAndWarningOpenCentredWithTheWarningOnTop) {
    const unsigned long id = Open();
    ASSERT_NE(id, 0u) << Log();
    std::this_thread::sleep_for(1500ms);  // started: the buttons answer
    ClickAt(id, L::kSettingsButton.center());
    const unsigned long settings = ExpectCentredDialog(id, "下载设置");
    ASSERT_NE(settings, 0u);
    EXPECT_TRUE(x_.FixedSize(settings));
    EXPECT_FALSE(x_.AllowsMaximise(settings));
    (void)x_.Screenshot(Artefact("settings-dialog.png"));

    // The limit box (first in the tab order), 9 KB/s typed, "设置" by Enter: the warning.
    ASSERT_TRUE(x_.Key("space"));
    ASSERT_TRUE(x_.Key("Tab"));
    ASSERT_TRUE(x_.Key("9"));
    ASSERT_TRUE(x_.Key("Return"));
    const unsigned long warning = ExpectCentredDialog(id, "警告");
    ASSERT_NE(warning, 0u);
    (void)x_.Screenshot(Artefact("speed-warning.png"));
    ASSERT_TRUE(x_.Key("Return"));  // the warning's OK
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(x_.Viewable(warning));
    EXPECT_TRUE(x_.Viewable(settings));
}

TEST_F(WindowManagerTest, CloseDialogAndFolderChooserOpenCentred) {
    const unsigned long id = Open();
    ASSERT_NE(id, 0u) << Log();
    std::this_thread::sleep_for(1500ms);
    ClickAt(id, L::kCloseButton.center());
    const unsigned long close = ExpectCentredDialog(id, "关闭");
    ASSERT_NE(close, 0u);
    EXPECT_TRUE(x_.FixedSize(close));
    EXPECT_FALSE(x_.AllowsMaximise(close));
    (void)x_.Screenshot(Artefact("close-dialog.png"));
    ASSERT_TRUE(x_.Key("Escape"));
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(x_.Viewable(close));

    ClickAt(id, L::kFolderButton.center());
    const unsigned long chooser = ExpectCentredDialog(id, "请选择安装包存放目录:");
    ASSERT_NE(chooser, 0u);
    (void)x_.Screenshot(Artefact("folder-chooser.png"));
    ASSERT_TRUE(x_.Key("Escape"));
}

// Pixels of `area` that differ between two shots of the window.
int Changed(const QImage& a, const QImage& b, const QRect& area) {
    int changed = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            changed += a.pixel(x, y) != b.pixel(x, y) ? 1 : 0;
        }
    }
    return changed;
}

TEST_F(WindowManagerTest, SpacePressesTheFocusedButtonAndTabShowsWhereTheFocusIs) {
    const unsigned long id = Open();
    ASSERT_NE(id, 0u) << Log();
    std::this_thread::sleep_for(1500ms);
    const auto shot = [&] { return x_.Screenshot().copy(x_.Geometry(id)); };
    const QImage opened = shot();
    // The window opens with the focus on its first button, Start: Space presses it.
    ASSERT_TRUE(x_.Key("space"));
    QImage pressed;
    for (int tries = 0; tries < 40; ++tries) {
        std::this_thread::sleep_for(100ms);
        pressed = shot();
        if (Changed(opened, pressed, L::kLargeButton) > 200) {
            break;
        }
    }
    EXPECT_GT(Changed(opened, pressed, L::kLargeButton), 200) << "Space did not press Start";
    // Tab moves the focus on, and a frame shows where (the small buttons do not change
    // otherwise).
    const QRect smallButtons = L::kFolderButton.united(L::kCloseButton).united(L::kSettingsButton);
    ASSERT_TRUE(x_.Key("Tab"));
    const auto framed = [&](const QImage& now) {
        return Changed(pressed, now, smallButtons) + Changed(pressed, now, L::kLargeButton);
    };
    QImage tabbed;
    for (int tries = 0; tries < 30; ++tries) {  // the window may be busy under load
        std::this_thread::sleep_for(100ms);
        tabbed = shot();
        if (framed(tabbed) > 20) {
            break;
        }
    }
    tabbed.save(QString::fromStdString(Artefact("tab-focus.png")));
    EXPECT_GT(framed(tabbed), 20) << "no focus frame after Tab (see tab-focus.png)";
}

TEST_F(WindowManagerTest, RefusingServersShowWhyUnderThePicture) {
    std::filesystem::remove_all(game_.Path("www/vemo047"));  // every file answers 404
    const unsigned long id = Open();
    ASSERT_NE(id, 0u) << Log();
    std::this_thread::sleep_for(1500ms);
    const QRect where = x_.Geometry(id);
    EXPECT_LT(InkIn(x_.Screenshot().copy(where), L::kReasonText), 20);
    ClickAt(id, L::kLargeButton.center());
    int ink = 0;
    QImage shot;
    for (int tries = 0; tries < 60 && ink < 150; ++tries) {
        std::this_thread::sleep_for(500ms);
        shot = x_.Screenshot().copy(x_.Geometry(id));
        ink = InkIn(shot, L::kReasonText);
    }
    shot.save(QString::fromStdString(Artefact("server-down.png")));
    EXPECT_GE(ink, 150) << "no reason shown (see server-down.png)\n" << Log();
}

}  // namespace
}  // namespace koruvan::test
