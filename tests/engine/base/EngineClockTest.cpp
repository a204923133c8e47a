#include "engine/core/base/EngineClock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/base/KoruvanLog.h"
#include "support/EngineTestClock.h"

namespace koruvan::engine {
namespace {

TEST(EngineClockState, AddsWholeSecondsSinceTheBaseWithoutDrift) {
    EngineClockState clock(1'000'000, 1, 5000);
    for (std::uint32_t tick = 5000; tick < 5000 + 10'000; tick += 333) {
        clock.Advance(tick);  // many uneven steps: no rounding may accumulate
    }
    clock.Advance(5000 + 10'999);
    EXPECT_EQ(clock.Time(), 1'000'010);
    EXPECT_EQ(clock.Seconds(), 11u);
}

TEST(EngineClockState, TickWrapAdvancesExactlyOneSecondThenRebases) {
    const std::uint32_t base = 0xFFFFFFFFu - 2500;  // 2.5 s before the wrap
    EngineClockState clock(100, 7, base);
    clock.Advance(base + 2400);
    EXPECT_EQ(clock.Time(), 102);
    EXPECT_EQ(clock.Seconds(), 9u);
    clock.Advance(40);  // wrapped
    EXPECT_EQ(clock.Time(), 103);
    EXPECT_EQ(clock.Seconds(), 10u);
    clock.Advance(999);  // less than a second after the new base
    EXPECT_EQ(clock.Time(), 103);
    clock.Advance(40 + 3000);
    EXPECT_EQ(clock.Time(), 106);
    EXPECT_EQ(clock.Seconds(), 13u);
}

TEST(EngineClockDeathTest, FirstReadStartsTheClockAtOne) {
    // A fresh process, so that no clock exists yet.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const std::uint32_t first = EngineSeconds();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const bool ok = first == 1 && EngineTime() > 1'600'000'000;
            StopEngineClock();
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(EngineClock, FollowsTheInjectedTimeSource) {
    test::EngineTestClock fast(100.0);  // slow enough for a loaded machine to keep up
    const std::uint32_t s0 = EngineSeconds();
    const std::int64_t t0 = EngineTime();
    fast.Clock().SleepMs(30'000);  // 30 virtual seconds
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const std::uint32_t s1 = EngineSeconds();
    EXPECT_GE(s1 - s0, 29u);
    EXPECT_LE(s1 - s0, 60u);
    EXPECT_GE(EngineTime() - t0, 29);
    EXPECT_NEAR(static_cast<double>(EngineTime()), static_cast<double>(fast.Clock().WallSeconds()),
                5.0);
}

TEST(EngineClock, StopLogsItsShutdownLine) {
    CreateEngineLog();
    std::vector<std::string> lines;
    EngineLog()->SetDebugEcho([&](std::string_view line) { lines.emplace_back(line); });
    TimeEnsure();
    EngineSeconds();
    StopEngineClock();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("] [Time Ensure Thread Stopped.. ]"), std::string::npos);
    StopEngineClock();  // no clock: nothing happens
    CloseEngineLog();
}

}  // namespace
}  // namespace koruvan::engine
