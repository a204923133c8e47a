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

// The part of a second's moved bytes beyond its budget that later seconds pay back (at most
// one more second's budget, none without a limit).
std::int32_t CarriedDebt(std::int32_t debt, std::int32_t moved, std::int32_t budget) noexcept;

// The socket receive buffer of a web connection for a second's budget: an eighth of the
// budget within [16 KiB, 1 MiB]; 1 MiB without a limit.
std::int32_t ReceiveBufferForBudget(std::int32_t budget) noexcept;

// Web connections worth keeping for a second's budget: one per MiB/s, at least one; no cap
// without a limit.
std::int32_t ConnectionsForBudget(std::int32_t budget) noexcept;

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
