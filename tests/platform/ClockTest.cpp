#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <chrono>

namespace koruvan::platform {
namespace {

TEST(ScaledTimeSource, SleepsAreShortenedAndTimeAdvancesByTheFactor) {
    ScaledTimeSource clock(1000.0, 0xFFFFFF00u, 100);
    const auto before = std::chrono::steady_clock::now();
    clock.SleepMs(5000);  // five virtual seconds
    const auto realMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - before)
                            .count();
    EXPECT_LT(realMs, 1000);
    EXPECT_GE(clock.WallSeconds(), 105);
    // The tick count wraps like the old 32-bit one.
    EXPECT_LT(clock.TickCount(), 0xFFFFFF00u);
}

}  // namespace
}  // namespace koruvan::platform
