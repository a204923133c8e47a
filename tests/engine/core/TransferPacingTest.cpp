#include "engine/core/TransferPacing.h"

#include <gtest/gtest.h>

#include "engine/core/TWorkWithPeers.h"
#include "engine/core/TaskOptions.h"

namespace koruvan::engine {
namespace {

TEST(TransferPacing, BudgetsFollowTheLimitWithAFloor) {
    EXPECT_EQ(SecondBudget(100), 102'400);
    EXPECT_EQ(SecondBudget(0), 1'048'576'000);
    EXPECT_EQ(SecondBudget(1), 3072);        // 1024 is raised to the minimum
    EXPECT_EQ(SecondBudget(0, 5000), 5000);  // a share allowance caps it
    EXPECT_EQ(SecondBudget(100, 1), 3072);
}

TEST(TransferPacing, LimitsCarryOvershootAndShrinkBuffersAndConnections) {
    const std::int32_t unlimited = SecondBudget(0);
    const struct {
        std::int32_t debt, moved, budget, carried;
    } debts[] = {{0, 90, 100, 0},    {0, 130, 100, 30}, {30, 90, 100, 20},
                 {0, 500, 100, 100}, {50, 10, 100, 0},  {0, unlimited, unlimited, 0}};
    for (const auto& d : debts) {
        EXPECT_EQ(CarriedDebt(d.debt, d.moved, d.budget), d.carried) << d.debt << " " << d.moved;
    }
    EXPECT_EQ(ReceiveBufferForBudget(unlimited), 1 << 20);
    EXPECT_EQ(ReceiveBufferForBudget(102'400), 16384);  // at least 16 KiB
    EXPECT_EQ(ReceiveBufferForBudget(2 << 20), 262'144);
    EXPECT_EQ(ConnectionsForBudget(unlimited), INT32_MAX);
    EXPECT_EQ(ConnectionsForBudget(3072), 1);
    EXPECT_EQ(ConnectionsForBudget((1 << 20) + 1), 2);
}

TEST(TransferPacing, RoundDelayAndPeriodsByThroughput) {
    const struct {
        std::int64_t rate;
        std::int32_t delay, period;
    } table[] = {{0, 5, 5},         {307'200, 5, 5},   {307'201, 4, 6},   {819'200, 4, 6},
                 {819'201, 3, 7},   {1'536'000, 3, 7}, {1'536'001, 2, 9}, {2'000'000, 2, 9},
                 {3'145'728, 2, 9}, {3'145'729, 1, 14}};
    for (const auto& row : table) {
        const Pacing p = PacingFor(row.rate);
        EXPECT_EQ(p.roundDelay, row.delay) << row.rate;
        EXPECT_EQ(p.downloadPeriod, row.period) << row.rate;
        EXPECT_EQ(p.uploadPeriod, 3 * row.period) << row.rate;
    }
}

TEST(TransferPacing, UploadSlotsRemainingTimeAndSmoothing) {
    EXPECT_EQ(UploadSlotsFor(800'000, true), 20);
    EXPECT_EQ(UploadSlotsFor(0, false), 8);
    EXPECT_EQ(UploadSlotsFor(1'000'000, true), 20);  // b = 53 > a... a = 114: min(114, 20)
    EXPECT_EQ(RemainingSeconds(1 << 20, 10, 1023), 0);
    EXPECT_EQ(RemainingSeconds(1 << 20, 10, 1 << 20), 10);
    EXPECT_EQ(RemainingSeconds(1 << 20, 0, 1 << 20), 0);
    // From 200 KiB/s to a steady 100 KiB/s: each second closes three quarters of the gap.
    std::int32_t rate = 204'800;
    const std::int32_t expected[] = {128'000, 108'800, 104'000, 102'800};
    for (const std::int32_t e : expected) {
        rate = SmoothedRate(rate, 102'400);
        EXPECT_EQ(rate, e);
    }
}

TEST(TaskOptions, OutOfRangeValuesFallBackToTheirDefaults) {
    TaskOptions o;
    o.maxPeers = 0;
    o.connectionsPerSource = 21;
    o.memoryBudgetUnits = 8001;
    o.seedHours = -1;
    o.downloadLimitKiB = 32767;
    o.uploadLimitKiB = -5;
    o.Validate();
    EXPECT_EQ(o.maxPeers, 52);
    EXPECT_EQ(o.connectionsPerSource, 1);
    EXPECT_EQ(o.memoryBudgetUnits, 64);
    EXPECT_EQ(o.seedHours, 12);
    EXPECT_EQ(o.downloadLimitKiB, 0);
    EXPECT_EQ(o.uploadLimitKiB, 0);
    o.maxPeers = 20480;
    o.downloadLimitKiB = 32766;
    o.Validate();
    EXPECT_EQ(o.maxPeers, 20480);
    EXPECT_EQ(o.downloadLimitKiB, 32766);
}

TEST(SourceLines, SplitOnAnyLineEndAndTrimControlBytes) {
    EXPECT_EQ(SplitSourceLines("a\r\nb\rc\nd\n"), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(SplitSourceLines(" \t x \x01\r\n\r\ny"), (std::vector<std::string>{"x", "", "y"}));
    EXPECT_TRUE(SplitSourceLines("").empty());
    EXPECT_TRUE(SplitSourceLines(nullptr).empty());
    EXPECT_EQ(SplitSourceLines("\n").size(), 1u);  // one empty line; only a trailing one drops
}

}  // namespace
}  // namespace koruvan::engine
