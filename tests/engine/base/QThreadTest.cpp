#include "engine/core/base/QThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "engine/core/base/EngineClock.h"
#include "support/EngineTestClock.h"
#include "support/WaitFor.h"

namespace koruvan::engine {
namespace {

using namespace std::chrono_literals;

class ProbeThread : public QThread {
  public:
    ~ProbeThread() override { Stop(true); }
    int Run() override { return body ? body(*this) : 0; }
    void Refresh() override {
        ++refreshes;
        if (onRefresh) {
            onRefresh(*this);
        }
    }
    void BeforeEntry() override {
        if (beforeEntry) {
            beforeEntry();
        }
    }

    std::function<int(ProbeThread&)> body;
    std::function<void(ProbeThread&)> onRefresh;
    std::function<void()> beforeEntry;
    std::atomic<int> refreshes{0};
};

int LoopUntilStopped(ProbeThread& t) {
    while (!t.CheckStop()) {
        SleepMs(5);
    }
    return 0;
}

using test::WaitFor;

class QThreadTest : public ::testing::Test {
  protected:
    test::EngineTestClock clock_{1000.0};
};

TEST_F(QThreadTest, StartTwiceFailsWithoutANewGenerationAndStopIsIdempotent) {
    ProbeThread t;
    EXPECT_TRUE(t.Stop(true));  // idle: nothing to stop
    t.body = LoopUntilStopped;
    ASSERT_TRUE(t.Start("StartDownload"));
    EXPECT_TRUE(t.IsRunning());
    EXPECT_NE(t.RunningThreadId(), 0u);
    EXPECT_EQ(t.StartGeneration(), 1u);
    EXPECT_FALSE(t.Start("StartDownload"));
    EXPECT_EQ(t.StartGeneration(), 1u);
    EXPECT_TRUE(t.Stop(true));
    EXPECT_FALSE(t.IsRunning());
    EXPECT_EQ(t.RunningThreadId(), 0u);
    EXPECT_TRUE(t.Stop(true));

    // The object is reused by the next start.
    ASSERT_TRUE(t.Start("ContinueDownload"));
    EXPECT_EQ(t.StartGeneration(), 2u);
    EXPECT_TRUE(t.Stop(true));
}

TEST_F(QThreadTest, StopFromTheThreadItselfReturnsAtOnce) {
    ProbeThread t;
    std::atomic<int> stopResult{-1};
    std::atomic<bool> sawStop{false};
    t.body = [&](ProbeThread& self) {
        stopResult = self.Stop(true) ? 1 : 0;
        sawStop = self.CheckStop();
        return 0;
    };
    ASSERT_TRUE(t.Start("StartDownload"));
    ASSERT_TRUE(WaitFor([&] { return !t.IsRunning(); }));
    EXPECT_EQ(stopResult, 0);
    EXPECT_TRUE(sawStop);
}

TEST_F(QThreadTest, AnOldThreadNeverClearsTheStateOfANewerStart) {
    ProbeThread t;
    std::atomic<int> entries{0};
    std::atomic<bool> releaseFirst{false};
    t.beforeEntry = [&] {
        if (entries.fetch_add(1) == 0) {
            while (!releaseFirst) {
                std::this_thread::sleep_for(1ms);
            }
        }
    };
    t.body = LoopUntilStopped;

    // The first start hangs before its thread takes over; a parallel stop finds the
    // thread not running under the same id and clears it, so that start gives up.
    std::atomic<int> firstStart{-1};
    std::thread starter([&] { firstStart = t.Start("StartDownload") ? 1 : 0; });
    // The first thread must be the one that hangs: wait until it is inside the hook (a slow
    // thread start could otherwise let the newer start's thread arrive there first).
    ASSERT_TRUE(WaitFor([&] { return entries.load() == 1; }));
    std::uint32_t id = 0;
    ASSERT_TRUE(WaitFor([&] {
        t.RequestStop(&id);
        return id != 0;
    }));
    EXPECT_TRUE(t.HasStopped(id));
    starter.join();
    EXPECT_EQ(firstStart, 0);

    ASSERT_TRUE(t.Start("StartDownload"));
    const std::uint32_t newer = t.RunningThreadId();
    ASSERT_NE(newer, 0u);
    EXPECT_NE(newer, id);

    releaseFirst = true;  // the old thread finally runs and must leave the newer one alone
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(t.IsRunning());
    EXPECT_EQ(t.RunningThreadId(), newer);
    EXPECT_EQ(entries.load(), 2);
    EXPECT_TRUE(t.Stop(true));
}

TEST(QThreadSleep, SleepSecondsCountsStepsAndReactsToStop) {
    test::EngineTestClock clock(100.0);  // one second = 10 ms: room for scheduling jitter
    ProbeThread t;
    std::atomic<int> one{-9}, zero{-9}, negative{-9}, stopped{-9};
    std::atomic<std::uint32_t> stoppedAfterMs{0};
    std::atomic<bool> asked{false};
    t.body = [&](ProbeThread& self) {
        one = self.SleepSeconds(1);
        zero = self.SleepSeconds(0);
        negative = self.SleepSeconds(-3);
        while (!asked) {
            std::this_thread::sleep_for(1ms);
        }
        const std::uint32_t before = TickCount();
        stopped = self.SleepSeconds(5);
        stoppedAfterMs = TickCount() - before;
        return 0;
    };
    ASSERT_TRUE(t.Start("StartDownload"));
    ASSERT_TRUE(WaitFor([&] { return negative != -9; }));
    t.RequestStop(nullptr);
    asked = true;
    ASSERT_TRUE(WaitFor([&] { return !t.IsRunning(); }));
    EXPECT_EQ(one, 0);
    EXPECT_EQ(zero, -1);
    EXPECT_EQ(negative, -4);
    EXPECT_EQ(stopped, 1);
    EXPECT_GE(stoppedAfterMs, 1000u);
    EXPECT_LT(stoppedAfterMs, 4500u);  // left after the first of five seconds
}

TEST_F(QThreadTest, APausedThreadParksInCheckStopUntilResumedOrStopped) {
    ProbeThread t;
    std::atomic<int> rounds{0};
    t.body = [&](ProbeThread& self) {
        while (!self.CheckStop()) {
            ++rounds;
            SleepMs(5);
        }
        return 0;
    };
    EXPECT_FALSE(t.SetPaused(true));  // not running: nothing to pause
    ASSERT_TRUE(t.Start("StartDownload"));
    ASSERT_TRUE(WaitFor([&] { return rounds > 3; }));
    EXPECT_TRUE(t.SetPaused(true));
    EXPECT_TRUE(t.IsPaused());
    std::this_thread::sleep_for(10ms);
    const int parked = rounds;
    std::this_thread::sleep_for(30ms);
    EXPECT_LE(rounds - parked, 1);
    EXPECT_TRUE(t.SetPaused(false));
    ASSERT_TRUE(WaitFor([&] { return rounds > parked + 3; }));

    t.SetPaused(true);
    std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(t.Stop(true));  // a paused thread still stops
    EXPECT_FALSE(t.IsRunning());
}

TEST_F(QThreadTest, CheckStopAndRefreshRefreshesOnceWithoutReentry) {
    ProbeThread t;
    std::atomic<int> nested{-1};
    std::atomic<bool> afterStop{false};
    t.onRefresh = [&](ProbeThread& self) {
        self.CheckStopAndRefresh();  // must not refresh again from inside Refresh
    };
    t.body = [&](ProbeThread& self) {
        self.CheckStopAndRefresh();
        self.CheckStopAndRefresh();
        nested = self.refreshes.load();
        while (!self.CheckStopAndRefresh()) {
            SleepMs(5);
        }
        afterStop = true;
        return 0;
    };
    ASSERT_TRUE(t.Start("StartDownload"));
    ASSERT_TRUE(WaitFor([&] { return nested != -1; }));
    EXPECT_EQ(nested, 2);
    t.RequestStop(nullptr);
    ASSERT_TRUE(WaitFor([&] { return !t.IsRunning(); }));
    EXPECT_TRUE(afterStop);
}

struct CountedArgument : ThreadArgument {
    explicit CountedArgument(std::atomic<int>& deleted) : deleted_(deleted) {}
    ~CountedArgument() override { ++deleted_; }
    std::atomic<int>& deleted_;
};

TEST_F(QThreadTest, ExceptionsStayInsideAndTheArgumentIsDeletedEachRun) {
    ProbeThread t;
    std::atomic<int> deleted{0};
    t.body = [](ProbeThread&) -> int { throw std::runtime_error("body failed"); };
    ASSERT_TRUE(t.Start("StartDownload", std::make_unique<CountedArgument>(deleted)) ||
                deleted == 1);  // the body may have ended before Start looked
    ASSERT_TRUE(WaitFor([&] { return !t.IsRunning() && deleted == 1; }));

    t.body = LoopUntilStopped;
    ASSERT_TRUE(t.Start("StartDownload", std::make_unique<CountedArgument>(deleted)));
    EXPECT_EQ(deleted, 1);
    EXPECT_FALSE(t.Start("StartDownload", std::make_unique<CountedArgument>(deleted)));
    EXPECT_EQ(deleted, 2);  // refused start: its argument is gone at once
    EXPECT_TRUE(t.Stop(true));
    EXPECT_EQ(deleted, 3);
}

TEST_F(QThreadTest, RequestStopAndHasStoppedStopManyThreadsInParallel) {
    ProbeThread threads[3];
    std::uint32_t ids[3] = {};
    for (auto& t : threads) {
        t.body = LoopUntilStopped;
        ASSERT_TRUE(t.Start("StartDownload"));
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(threads[i].RequestStop(&ids[i]));
        EXPECT_NE(ids[i], 0u);
    }
    ASSERT_TRUE(WaitFor([&] {
        bool all = true;
        for (int i = 0; i < 3; ++i) {
            all = threads[i].HasStopped(ids[i]) && all;
        }
        return all;
    }));
    for (auto& t : threads) {
        EXPECT_FALSE(t.IsRunning());
        EXPECT_FALSE(t.RequestStop(nullptr));
    }
}

}  // namespace
}  // namespace koruvan::engine
