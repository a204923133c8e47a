// The window program on a real (virtual) X display: a download of a small game from nginx
// driven by a click on Start, with screenshots at the start, in mid-download and at the end
// (kept in the build folder); then the single instance: a second start brings the running
// window to the front and ends, and a frozen first instance is replaced after a second.
#include <gtest/gtest.h>

#include <signal.h>

#include <QFont>
#include <QPainter>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <set>
#include <thread>

#include "XSession.h"
#include "integration/CliTestGame.h"
#include "support/TempDir.h"
#include "ui/CwbeKoruvanUIDlg.h"
#include "ui/SkinFont.h"
#include "ui/SkinImages.h"

namespace koruvan::test {
namespace {

using namespace std::chrono_literals;
namespace L = ui::window_layout;
constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr int kWidth = 411;
constexpr int kHeight = 307;

std::string Artefact(const std::string& name) {
    std::filesystem::create_directories(KORUVAN_GUI_ARTEFACTS);
    return std::string(KORUVAN_GUI_ARTEFACTS) + "/" + name;
}

int Distance(QRgb a, QRgb b) {
    return std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                     std::abs(qBlue(a) - qBlue(b))});
}

// Mean channel difference between `shot` at `at` and a button face, over its opaque pixels.
double FaceDifference(const QImage& shot, const QPoint& at, int bitmapId) {
    const QImage face = ui::SkinImages::BitmapImage(bitmapId).convertToFormat(QImage::Format_RGB32);
    double sum = 0;
    int counted = 0;
    for (int y = 0; y < face.height(); ++y) {
        for (int x = 0; x < face.width(); ++x) {
            const QRgb f = face.pixel(x, y);
            if ((f | 0xff000000u) == ui::kColourKey) {
                continue;
            }
            sum += Distance(f, shot.pixel(at + QPoint(x, y)));
            ++counted;
        }
    }
    return counted == 0 ? 255 : sum / counted;
}

// Columns of the progress bar covered by the download fill.
int FilledColumns(const QImage& window) {
    const QImage fill = ui::SkinImages::BitmapImage(ui::kProgressFillId);
    const int row = L::kProgressBar.height() / 2;
    int columns = 0;
    for (int x = 0; x < L::kProgressBar.width(); ++x) {
        const QRgb shown = window.pixel(L::kProgressBar.x() + x, L::kProgressBar.y() + row);
        columns += Distance(shown, fill.pixel(x, row)) <= 6 ? 1 : 0;
    }
    return columns;
}

int DistinctColours(const QImage& image) {
    std::set<QRgb> colours;
    for (int y = 0; y < image.height(); y += 2) {
        for (int x = 0; x < image.width(); x += 2) {
            colours.insert(image.pixel(x, y));
        }
    }
    return static_cast<int>(colours.size());
}

// The label "保存位置:" drawn on the background the way the window draws it, with the given
// font (the window's, or one without CJK glyphs, which draws empty boxes instead).
QImage LabelReference(const QFont& font) {
    QImage image =
        ui::SkinImages::Background(false).toImage().convertToFormat(QImage::Format_RGB32);
    QPainter painter(&image);
    painter.setFont(font);
    painter.setPen(QColor(182, 205, 218));
    painter.drawText(L::kFolderLabel, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                     QStringLiteral("保存位置:"));
    return image.copy(L::kFolderLabel);
}

// Pixels of `label` clearly lighter than the background behind them.
std::vector<bool> Ink(const QImage& label) {
    const QImage background = ui::SkinImages::Background(false)
                                  .toImage()
                                  .convertToFormat(QImage::Format_RGB32)
                                  .copy(L::kFolderLabel);
    std::vector<bool> ink;
    for (int y = 0; y < label.height(); ++y) {
        for (int x = 0; x < label.width(); ++x) {
            ink.push_back(Distance(label.pixel(x, y), background.pixel(x, y)) > 60);
        }
    }
    return ink;
}

// Intersection over union of two ink masks.
double Overlap(const std::vector<bool>& a, const std::vector<bool>& b) {
    int both = 0;
    int either = 0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        both += a[i] && b[i] ? 1 : 0;
        either += a[i] || b[i] ? 1 : 0;
    }
    return either == 0 ? 0 : static_cast<double>(both) / either;
}

class WindowOnScreenTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (!x_.Ready(why)) {
            GTEST_SKIP() << why;
        }
        std::filesystem::create_directories(work_.File("run"));
    }

    // Starts the window on the game's plan.
    bool StartWindow(WindowProcess& p, TestGame& game, const std::string& tag) {
        return p.Start(
            KORUVAN_WINDOW_PATH,
            {"--plan", game.PlanFile(), "--data-dir", game.DataDir(), "--save-dir", game.SaveDir()},
            x_.DisplayName(), work_.File("run"), work_.File(tag + ".log"));
    }
    std::string Log(const std::string& tag) const { return ReadFile(work_.File(tag + ".log")); }
    // The window's pixels.
    QImage Shot(unsigned long window, const std::string& file = "") {
        return x_.Screenshot(file).copy(x_.Geometry(window));
    }

    XSession x_;
    TempDir work_;
};

TEST_F(WindowOnScreenTest, DownloadsTheGameWithScreenshotsAtStartMiddleAndEnd) {
    std::string why;
    if (!EngineCanDownload(why)) {
        GTEST_SKIP() << why;
    }
    // Pieces of 256 KiB: progress counts whole pieces, and with the plan's 2 MiB pieces a
    // 4 MiB file would move the bar in two steps only.
    TestGame game({4 * kMiB, 4 * kMiB, 4 * kMiB, 4 * kMiB}, "256k", 256 * 1024);
    ASSERT_TRUE(game.Started());
    WriteFile(work_.File("run/KoruvanTaskLink.ini"), "[KoruvanTask]\nKoruvanTaskLink=10\n");
    WindowProcess window;
    ASSERT_TRUE(StartWindow(window, game, "download"));
    const unsigned long id = x_.FindWindow(window.Pid(), kWidth, kHeight, 15s);
    ASSERT_NE(id, 0u) << Log("download");
    const QRect where = x_.Geometry(id);
    const QPoint button = L::kLargeButton.topLeft();

    // Start: the window is drawn, Start is in place, the bar is empty.
    QImage start;
    for (int tries = 0; tries < 100; ++tries) {
        start = Shot(id);
        if (FaceDifference(start, button, 198) < 8) {
            break;
        }
        std::this_thread::sleep_for(100ms);
    }
    std::this_thread::sleep_for(1200ms);  // one slow step: the texts are in
    start = Shot(id);
    start.save(QString::fromStdString(Artefact("window-start.png")));
    ASSERT_LT(FaceDifference(start, button, 198), 8) << "Start is not shown";
    EXPECT_GT(DistinctColours(start), 200) << "the window looks blank";
    EXPECT_EQ(FilledColumns(start), 0);

    // The Chinese label is drawn with real glyphs: it matches the window's font and not a
    // font without CJK glyphs (which draws boxes).
    const std::vector<bool> shown = Ink(start.copy(L::kFolderLabel));
    QFont tofu(QStringLiteral("DejaVu Sans"));
    tofu.setStyleStrategy(QFont::NoFontMerging);
    tofu.setPixelSize(ui::SkinFont(18).pixelSize());
    const double withGlyphs = Overlap(shown, Ink(LabelReference(ui::SkinFont(18))));
    const double withBoxes = Overlap(shown, Ink(LabelReference(tofu)));
    EXPECT_GT(withGlyphs, 0.6);
    EXPECT_LT(withBoxes, withGlyphs - 0.2);

    ASSERT_TRUE(x_.Click(where.x() + button.x() + 42, where.y() + button.y() + 16));

    // Mid-download and the end: Install takes Start's place once all five files are there.
    bool midSaved = false;
    int midColumns = 0;
    QImage end;
    QImage last;
    const auto deadline = std::chrono::steady_clock::now() + 50s;
    while (std::chrono::steady_clock::now() < deadline) {
        const QImage now = Shot(id);
        last = now;
        const int columns = FilledColumns(now);
        if (!midSaved && columns > 0 && columns < L::kProgressBar.width() * 19 / 20) {
            now.save(QString::fromStdString(Artefact("window-mid.png")));
            midSaved = true;
            midColumns = columns;
        }
        // Install, plain or lit by the pointer that pressed Start in the same place.
        if (std::min(FaceDifference(now, button, 231), FaceDifference(now, button, 232)) < 8) {
            std::this_thread::sleep_for(1200ms);
            end = Shot(id);
            break;
        }
        std::this_thread::sleep_for(250ms);
    }
    if (end.isNull()) {
        last.save(QString::fromStdString(Artefact("window-last.png")));
    }
    ASSERT_FALSE(end.isNull()) << "Install did not appear (see window-last.png)\n"
                               << Log("download");
    end.save(QString::fromStdString(Artefact("window-end.png")));
    EXPECT_TRUE(midSaved) << "no screenshot caught the download under way";
    EXPECT_GT(midColumns, FilledColumns(start));
    EXPECT_GE(FilledColumns(end), L::kProgressBar.width() - 1);
    EXPECT_GT(DistinctColours(end), 200);
    EXPECT_EQ(game.MatchingFiles(), 5);

    window.Signal(SIGTERM);  // ends as the tray menu's exit does
    EXPECT_EQ(window.Wait(15s), 0) << Log("download");
}

TEST_F(WindowOnScreenTest, SecondStartRaisesTheRunningWindowAndEnds) {
    TestGame game({kMiB, kMiB, kMiB, kMiB});
    ASSERT_TRUE(game.Started());
    WindowProcess first;
    ASSERT_TRUE(StartWindow(first, game, "first"));
    const unsigned long id = x_.FindWindow(first.Pid(), kWidth, kHeight, 15s);
    ASSERT_NE(id, 0u) << Log("first");
    (void)x_.Cover(x_.Geometry(id).adjusted(-20, -20, 20, 20));
    ASSERT_FALSE(x_.OnTop(id));

    WindowProcess second;
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(StartWindow(second, game, "second"));
    EXPECT_EQ(second.Wait(5s), 0) << Log("second");
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2500ms);
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(first.Running());
    EXPECT_TRUE(x_.Viewable(id));
    EXPECT_TRUE(x_.OnTop(id)) << "the running window was not raised";
    (void)x_.Screenshot(Artefact("window-raised.png"));
    first.Signal(SIGTERM);
    EXPECT_EQ(first.Wait(15s), 0) << Log("first");
}

TEST_F(WindowOnScreenTest, FrozenFirstInstanceIsReplacedAfterAboutOneSecond) {
    TestGame game({kMiB, kMiB, kMiB, kMiB});
    ASSERT_TRUE(game.Started());
    WindowProcess first;
    ASSERT_TRUE(StartWindow(first, game, "frozen"));
    ASSERT_NE(x_.FindWindow(first.Pid(), kWidth, kHeight, 15s), 0u) << Log("frozen");
    first.Signal(SIGSTOP);

    WindowProcess second;
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(StartWindow(second, game, "replacement"));
    const int firstEnd = first.Wait(6s);
    const auto replaced = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(firstEnd, 128 + SIGKILL);
    EXPECT_GE(replaced, 900ms);
    EXPECT_LT(replaced, 4s);
    const unsigned long id = x_.FindWindow(second.Pid(), kWidth, kHeight, 15s);
    EXPECT_NE(id, 0u) << Log("replacement");
    EXPECT_TRUE(second.Running());
    EXPECT_NE(Log("replacement").find("did not answer"), std::string::npos);
    second.Signal(SIGTERM);
    EXPECT_EQ(second.Wait(15s), 0) << Log("replacement");
}

}  // namespace
}  // namespace koruvan::test
