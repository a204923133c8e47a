#include "telemetry/SmbiosMemory.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "platform/File.h"

namespace koruvan::telemetry {
namespace {

constexpr std::uint8_t kMemoryDeviceType = 17;
// Offsets in the memory device structure.
constexpr std::size_t kSizeOffset = 0x0C;           // word: MB (bit 15 set: KB); 0x7FFF: extended
constexpr std::size_t kTypeOffset = 0x12;           // byte
constexpr std::size_t kSpeedOffset = 0x15;          // word: MT/s; 0xFFFF: extended
constexpr std::size_t kExtendedSizeOffset = 0x1C;   // dword: MB (bits 0..30)
constexpr std::size_t kExtendedSpeedOffset = 0x54;  // dword: MT/s

std::uint32_t Little(std::string_view raw, std::size_t at, std::size_t bytes) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i) {
        value |= static_cast<std::uint32_t>(static_cast<unsigned char>(raw[at + i])) << (8 * i);
    }
    return value;
}

// Entry folders "17-<n>" sorted by n.
std::vector<std::pair<int, std::filesystem::path>> MemoryEntries(const std::filesystem::path& dir) {
    std::vector<std::pair<int, std::filesystem::path>> entries;
    std::error_code error;
    for (std::filesystem::directory_iterator it(dir, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.rfind("17-", 0) != 0 || name.size() == 3 ||
            name.find_first_not_of("0123456789", 3) != std::string::npos || name.size() > 9) {
            continue;
        }
        entries.emplace_back(std::stoi(name.substr(3)), it->path());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

}  // namespace

int InventoryMemoryType(std::uint8_t smbiosType) noexcept {
    switch (smbiosType) {
        case 0x01:
            return 1;  // other
        case 0x03:
            return 2;  // DRAM
        case 0x04:
            return 6;  // EDRAM
        case 0x05:
            return 7;  // VRAM
        case 0x06:
            return 8;  // SRAM
        case 0x07:
            return 9;  // RAM
        case 0x08:
            return 10;  // ROM
        case 0x09:
            return 11;  // flash
        case 0x0A:
            return 12;  // EEPROM
        case 0x0B:
            return 13;  // FEPROM
        case 0x0C:
            return 14;  // EPROM
        case 0x0D:
            return 15;  // CDRAM
        case 0x0E:
            return 16;  // 3DRAM
        case 0x0F:
            return 17;  // SDRAM
        case 0x10:
            return 18;  // SGRAM
        case 0x11:
            return 19;  // RDRAM
        case 0x12:
            return 20;  // DDR
        case 0x13:
            return 21;  // DDR2
        case 0x14:
            return 22;  // DDR2 FB-DIMM
        case 0x18:
            return 24;  // DDR3
        case 0x19:
            return 25;  // FBD2
        default:
            return 0;  // unknown, DDR4 and later
    }
}

std::optional<MemoryModule> ParseMemoryDevice(std::string_view raw) {
    if (raw.size() < 2 || static_cast<std::uint8_t>(raw[0]) != kMemoryDeviceType) {
        return std::nullopt;
    }
    // The formatted part is as long as its own length byte says (and the bytes that exist).
    const std::size_t length = std::min<std::size_t>(static_cast<std::uint8_t>(raw[1]), raw.size());
    if (length < kSizeOffset + 2) {
        return std::nullopt;
    }
    const std::uint32_t size = Little(raw, kSizeOffset, 2);
    if (size == 0) {
        return std::nullopt;  // an empty slot
    }
    MemoryModule module;
    if (size == 0x7FFF) {
        if (length >= kExtendedSizeOffset + 4) {
            module.capacityBytes = std::uint64_t{Little(raw, kExtendedSizeOffset, 4) & 0x7FFFFFFF}
                                   << 20;
        }
    } else if (size != 0xFFFF) {
        const std::uint64_t units = size & 0x7FFF;
        module.capacityBytes = (size & 0x8000) != 0 ? units << 10 : units << 20;
    }
    if (length > kTypeOffset) {
        module.type = InventoryMemoryType(static_cast<std::uint8_t>(raw[kTypeOffset]));
    }
    if (length >= kSpeedOffset + 2) {
        module.speed = Little(raw, kSpeedOffset, 2);
        if (module.speed == 0xFFFF) {
            module.speed =
                length >= kExtendedSpeedOffset + 4 ? Little(raw, kExtendedSpeedOffset, 4) : 0;
        }
    }
    return module;
}

std::vector<MemoryModule> ReadMemoryModules(const std::string& root) {
    std::vector<MemoryModule> modules;
    try {
        const std::filesystem::path dir = std::filesystem::path(root) / "sys/firmware/dmi/entries";
        for (const auto& [index, path] : MemoryEntries(dir)) {
            std::string raw;
            if (!platform::ReadWholeFile((path / "raw").string(), raw)) {
                continue;
            }
            if (const auto module = ParseMemoryDevice(raw)) {
                modules.push_back(*module);
            }
        }
    } catch (...) {
        modules.clear();
    }
    return modules;
}

}  // namespace koruvan::telemetry
