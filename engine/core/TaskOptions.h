// Per-task options: fixed defaults, validated whenever a limit changes.
#pragma once

#include <cstdint>

namespace koruvan::engine {

struct TaskOptions {
    std::int32_t maxPeers = 52;             // 1..20480
    std::int32_t connectionsPerSource = 1;  // 1..20
    std::int32_t memoryBudgetUnits = 64;    // 1..8000, units of 256 KiB
    std::int32_t seedHours = 12;            // 0..20480
    std::int32_t downloadLimitKiB = 0;      // 0..32766, 0 = unlimited
    std::int32_t uploadLimitKiB = 0;        // 0..32766, 0 = unlimited
    bool randomStart = true;
    bool dhtEnabled = true;
    bool metainfoOnly = false;
    bool trustExistingFiles = false;
    std::int32_t metadataTimeoutSeconds = 45;

    // Values outside their range go back to the default (the limits to 0).
    void Validate() noexcept;
};

}  // namespace koruvan::engine
