// The arithmetic of transfer statistics: budgets, round pacing, upload slots and the
// remaining-time estimate. Pure functions, shared by the statistics layer and its tests.
#pragma once

#include <cstdint>

namespace koruvan::engine {

constexpr std::int64_t kUnlimitedBytesPerSecond = 1'048'576'000;
constexpr std::int32_t kMinimumBudget = 3072;

// Bytes a task may move in one second under a limit in KiB/s (0 = unlimited) and an
// engine-wide share allowance (0 or less = unlimited).
std::int32_t SecondBudget(std::int32_t limitKiB, std::int64_t allowance = 0) noexcept;

struct Pacing {
    std::int32_t roundDelay;      // the step sleeps roundDelay + 1 ms
    std::int32_t downloadPeriod;  // rounds between full download steps
    std::int32_t uploadPeriod;    // 3 × downloadPeriod
};
// Pacing for a throughput of `bytesPerSecond`.
Pacing PacingFor(std::int64_t bytesPerSecond) noexcept;

// Upload slots for an upload rate; one more while the listener has not been reached from
// outside and the result is below 6.
std::int32_t UploadSlotsFor(std::int64_t uploadRate, bool reachedFromOutside) noexcept;

// Seconds until completion at `downloadRate`; 0 below 1024 bytes per second.
std::int32_t RemainingSeconds(std::int32_t pieceLength, std::int32_t piecesLeft,
                              std::int64_t downloadRate) noexcept;

// Smoothed payload rate: (3 × this second + previous) / 4.
inline std::int32_t SmoothedRate(std::int32_t previous, std::int32_t thisSecond) noexcept {
    return static_cast<std::int32_t>((3LL * thisSecond + previous) / 4);
}

}  // namespace koruvan::engine
