#include "engine/core/TaskOptions.h"

namespace koruvan::engine {
namespace {

void Clamp(std::int32_t& value, std::int32_t low, std::int32_t high, std::int32_t fallback) {
    if (value < low || value > high) {
        value = fallback;
    }
}

}  // namespace

void TaskOptions::Validate() noexcept {
    Clamp(maxPeers, 1, 20480, 52);
    Clamp(connectionsPerSource, 1, 20, 1);
    Clamp(memoryBudgetUnits, 1, 8000, 64);
    Clamp(seedHours, 0, 20480, 12);
    Clamp(downloadLimitKiB, 0, 32766, 0);
    Clamp(uploadLimitKiB, 0, 32766, 0);
}

}  // namespace koruvan::engine
