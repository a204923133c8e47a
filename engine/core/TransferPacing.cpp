#include "engine/core/TransferPacing.h"

#include <algorithm>
#include <climits>

namespace koruvan::engine {

std::int32_t SecondBudget(std::int32_t limitKiB, std::int64_t allowance) noexcept {
    const std::int64_t limit =
        limitKiB > 0 ? static_cast<std::int64_t>(limitKiB) * 1024 : kUnlimitedBytesPerSecond;
    const std::int64_t share = allowance > 0 ? allowance : kUnlimitedBytesPerSecond;
    return static_cast<std::int32_t>(
        std::max<std::int64_t>(std::min(limit, share), kMinimumBudget));
}

std::int32_t CarriedDebt(std::int32_t debt, std::int32_t moved, std::int32_t budget) noexcept {
    if (budget >= kUnlimitedBytesPerSecond) {
        return 0;
    }
    const std::int64_t over = std::int64_t{debt} + moved - budget;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(over, 0, budget));
}

std::int32_t ReceiveBufferForBudget(std::int32_t budget) noexcept {
    constexpr std::int32_t kSmallest = 16 * 1024;
    constexpr std::int32_t kLargest = 1024 * 1024;
    if (budget >= kUnlimitedBytesPerSecond) {
        return kLargest;
    }
    return std::clamp(budget / 8, kSmallest, kLargest);
}

std::int32_t ConnectionsForBudget(std::int32_t budget) noexcept {
    constexpr std::int32_t kPerConnection = 1024 * 1024;
    if (budget >= kUnlimitedBytesPerSecond) {
        return INT32_MAX;
    }
    return std::max(1, (budget + kPerConnection - 1) / kPerConnection);
}

Pacing PacingFor(std::int64_t p) noexcept {
    Pacing pacing{};
    if (p >= 3'145'729) {
        pacing = {1, 14, 0};
    } else if (p >= 1'536'001) {
        pacing = {2, 9, 0};
    } else if (p >= 819'201) {
        pacing = {3, 7, 0};
    } else if (p >= 307'201) {
        pacing = {4, 6, 0};
    } else {
        pacing = {5, 5, 0};
    }
    pacing.uploadPeriod = 3 * pacing.downloadPeriod;
    return pacing;
}

std::int32_t UploadSlotsFor(std::int64_t u, bool reachedFromOutside) noexcept {
    const std::int64_t b = u / 16384 - 8;
    const std::int64_t a = std::max<std::int64_t>(u / 8192 - 8, 8);
    std::int64_t slots = b < a ? std::min<std::int64_t>(a, 20) : std::min<std::int64_t>(b, 48);
    if (!reachedFromOutside && slots < 6) {
        ++slots;
    }
    return static_cast<std::int32_t>(slots);
}

std::int32_t RemainingSeconds(std::int32_t pieceLength, std::int32_t piecesLeft,
                              std::int64_t downloadRate) noexcept {
    if (downloadRate < 1024 || piecesLeft <= 0 || pieceLength <= 0) {
        return 0;
    }
    const std::int64_t seconds = static_cast<std::int64_t>(pieceLength) * piecesLeft / downloadRate;
    return static_cast<std::int32_t>(std::min<std::int64_t>(seconds, INT32_MAX));
}

}  // namespace koruvan::engine
