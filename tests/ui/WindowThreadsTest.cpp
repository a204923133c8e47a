// The window's threads: the periodic step timers (their own thread, no drift, a clean
// stop), the front end that carries the controller's calls over to the window's thread
// without blocking timer threads, and a window whose timers really drive it.
#include <gtest/gtest.h>

#include <QThread>

#include <atomic>
#include <chrono>
#include <thread>

#include "QtTestEnvironment.h"
#include "WindowHarness.h"
#include "ui/CPictureButton.h"
#include "ui/QtFrontEnd.h"
#include "ui/StepTimer.h"

namespace koruvan::ui {
namespace {

using namespace std::chrono_literals;

TEST(WindowThreadsTest, StepTimerRunsOnItsOwnThreadWithoutDriftAndStopsCleanly) {
    std::atomic<int> steps{0};
    std::atomic<bool> otherThread{true};
    const auto caller = std::this_thread::get_id();
    StepTimer timer("TestStep", 20ms, [&] {
        otherThread = otherThread && std::this_thread::get_id() != caller;
        std::this_thread::sleep_for(8ms);  // a step that takes time does not stretch the period
        ++steps;
    });
    const auto begin = std::chrono::steady_clock::now();
    timer.Start();
    EXPECT_TRUE(timer.Running());
    std::this_thread::sleep_until(begin + 410ms);
    timer.Stop();
    const int counted = steps.load();
    EXPECT_GE(counted, 18);
    EXPECT_LE(counted, 21);
    EXPECT_TRUE(otherThread.load());
    EXPECT_FALSE(timer.Running());
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(steps.load(), counted);  // nothing after the stop
    timer.Stop();                      // twice is harmless
}

TEST(WindowThreadsTest, FrontEndQueuesNoticesAndAnswersQuestionsOnTheWindowThread) {
    QObject context;
    std::vector<QString> notices;
    std::atomic<bool> askedOnWindowThread{false};
    QtFrontEnd::Handlers handlers;
    handlers.notice = [&](const QString& text, const QString&) { notices.push_back(text); };
    handlers.askYesNo = [&](const QString&, const QString&) {
        askedOnWindowThread = QThread::currentThread() == context.thread();
        return true;
    };
    handlers.message = [&](std::uint32_t m) { notices.push_back(QString::number(m)); };
    QtFrontEnd front(&context, handlers);

    // From a timer thread: the notice returns at once and appears later on the window thread.
    std::thread([&] {
        front.ShowNotice("网络错误", "Irvane下载器");
        front.PostMessage(0x468);
    }).join();
    EXPECT_TRUE(notices.empty());
    QApplication::processEvents();
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[0].toStdString(), "网络错误");
    EXPECT_EQ(notices[1].toStdString(), std::to_string(0x468));

    // A question from another thread waits for the window thread's answer.
    std::atomic<int> answer{-1};
    std::thread asker([&] { answer = front.AskYesNo("?", "t") ? 1 : 0; });
    while (answer.load() < 0) {
        QApplication::processEvents();
    }
    asker.join();
    EXPECT_EQ(answer.load(), 1);
    EXPECT_TRUE(askedOnWindowThread.load());

    // Once the window closes, a waiting question gives up with No instead of hanging.
    std::atomic<int> late{-1};
    std::thread lateAsker([&] { late = front.AskYesNo("?", "t") ? 1 : 0; });
    std::this_thread::sleep_for(50ms);
    front.SetClosing();
    lateAsker.join();
    EXPECT_EQ(late.load(), 0);
}

TEST(WindowThreadsTest, TimersDriveTheWindowFromTheirThreadsAndStopAtExit) {
    test::WindowHarness h;
    h.options.runTimers = true;
    h.options.asyncStart = true;
    CwbeKoruvanUIDlg& w = h.Open();
    EXPECT_FALSE(w.Started());  // the start runs on its own thread
    ASSERT_TRUE(h.Until([&] { return w.Started(); }));
    EXPECT_TRUE(w.Button(kIdStart)->isVisibleTo(&w));
    ASSERT_TRUE(h.Until([&] { return w.ShownTexts().progressLabel == "当前进度:"; }, 3000));
    w.OnCommand(kIdStart);
    h.SetAll(3000, 500000);
    ASSERT_TRUE(h.Until([&] {
        return w.ShownState() == app::ControllerState::Downloading &&
               w.ShownProgress().overallPercent == 30 && w.ShownTexts().percentText == "30.00%";
    }));
    EXPECT_TRUE(w.Button(kIdPause)->isVisibleTo(&w));
    const int queries = [&] {
        std::lock_guard<std::mutex> guard(h.engine.lock);
        return h.engine.queries;
    }();
    EXPECT_GT(queries, 0);
    w.Exit();
    EXPECT_TRUE(w.Destroyed());
    const int after = [&] {
        std::lock_guard<std::mutex> guard(h.engine.lock);
        return h.engine.queries;
    }();
    std::this_thread::sleep_for(250ms);
    std::lock_guard<std::mutex> guard(h.engine.lock);
    EXPECT_EQ(h.engine.queries, after);  // the timers stopped with the window
}

}  // namespace
}  // namespace koruvan::ui
