// Memory modules from the firmware's SMBIOS tables (structure type 17, "memory device"), as
// the kernel exports them one by one under /sys/firmware/dmi/entries/17-N/raw.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace koruvan::telemetry {

struct MemoryModule {
    // The memory type in the numbering of the inventory's value table (2 DRAM … 21 DDR-2,
    // 24 DDR3; 0 unknown), translated from the SMBIOS numbering.
    int type = 0;
    std::optional<std::uint64_t> capacityBytes;  // absent when the table says "unknown"
    std::uint32_t speed = 0;                     // MT/s; 0 unknown
};

// One raw structure; nullopt when it is not a memory device, is cut short, or describes an
// empty slot (size 0).
[[nodiscard]] std::optional<MemoryModule> ParseMemoryDevice(std::string_view raw);

// The installed modules listed under `root`/sys/firmware/dmi/entries, in entry order; empty
// when the entries are missing or unreadable (they are readable by root only).
[[nodiscard]] std::vector<MemoryModule> ReadMemoryModules(const std::string& root);

// SMBIOS memory type byte → the inventory's numbering (0 for the types it has no name for,
// DDR4 and later among them).
[[nodiscard]] int InventoryMemoryType(std::uint8_t smbiosType) noexcept;

}  // namespace koruvan::telemetry
