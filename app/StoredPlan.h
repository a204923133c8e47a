// The form the built-in plan takes in the program's data: its texts (file names, URLs)
// Base64-encoded, each in a fixed 4096-byte slot, decoded once when the plan is loaded;
// sizes and digests plain; the embedded resources as bytes. The data is generated at build
// time from plan/ (plan/EmbedPlan.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "app/Plan.h"

namespace koruvan::app {

inline constexpr std::size_t kPlanSlotSize = 4096;

struct StoredResource {
    const unsigned char* bytes;  // null: the resource is absent
    std::size_t size;
};

struct StoredPlan {
    char secConfigUrl[kPlanSlotSize];
    char resourceListUrl[kPlanSlotSize];
    char fileNames[kFileCount][kPlanSlotSize];
    char fileUrls[kFileCount][kPlanSlotSize];
    std::uint64_t fileSizes[kFileCount];
    char fileDigests[kFileCount][33];
    StoredResource torrents[kFileCount];  // TORRENT 301..305
    StoredResource telemetryConfig;       // DUCONF 181: Base64 text of the INI document
};

// The built-in plan's data.
extern const StoredPlan kBuiltinStoredPlan;

// Decodes a stored plan; nullopt when a slot is not terminated or not Base64.
[[nodiscard]] std::optional<DownloadPlan> DecodeStoredPlan(const StoredPlan& stored);

}  // namespace koruvan::app
