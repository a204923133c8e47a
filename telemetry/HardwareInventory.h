// The hardware sections an event may carry (flag 1 "CPU", 2 "Memory", 4 "Video_Card") and
// their value tables. On this platform the values come from files: /proc/cpuinfo (one
// entry per physical package), /proc/meminfo and the SMBIOS memory devices under
// /sys/firmware/dmi, and the DRM cards under /sys/class/drm (named through the PCI id list
// when one is installed). A source that is missing leaves its section or value empty, as a
// failed query does. Every reader takes the root of the tree it reads, so a test can hand
// it a made-up /proc and /sys.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <json/value.h>

#include "platform/NetworkAdapters.h"

namespace koruvan::telemetry {

// Where the identity and inventory values are read.
struct SystemSources {
    std::string root = "/";  // the tree holding proc/, sys/, etc/ and usr/share/
    std::string machine;     // the machine name ("x86_64"); empty: the running kernel's
    // The adapters; null: the system's own.
    std::function<std::vector<platform::NetworkAdapter>()> adapters;

    [[nodiscard]] std::string Machine() const;
    [[nodiscard]] std::vector<platform::NetworkAdapter> Adapters() const;
    // The kernel release from `root`/proc/sys/kernel/osrelease (empty when missing).
    [[nodiscard]] std::string KernelRelease() const;
};

// Value tables.
[[nodiscard]] const char* CpuTypeName(int processorType) noexcept;
[[nodiscard]] const char* CpuArchitectureName(int architecture) noexcept;
[[nodiscard]] const char* MemoryTypeName(int memoryType) noexcept;
// The architecture number of a machine name: 0 x86, 1 MIPS, 2 Alpha, 3 PowerPC, 6 Itanium,
// 9 x64; -1 for any other (named "Error" by the table).
[[nodiscard]] int ArchitectureOf(std::string_view machine) noexcept;

// "CPU": one object per physical package with "CPU_Name", "CPU_Manufacturer", "CPU_Type",
// "CPU_Architecture"; an empty array when /proc/cpuinfo cannot be read.
[[nodiscard]] Json::Value CpuSection(const SystemSources& sources);
// "Memory": "Memory_Total_Capacity" (bytes, as text) and, for each installed module,
// "Memory_Type", "Memory_Capacity" (bytes, text) and "Memory_Frequency" (MT/s, text);
// several modules write the same three members, so the last module's values remain.
[[nodiscard]] Json::Value MemorySection(const SystemSources& sources);
// "Video_Card": one object per DRM card with "Video_Card_Name",
// "Video_Card_Memory_Capacity" (bytes, text; empty when the driver does not tell) and
// "Video_Card_Driver_Version" (the module's version, else the kernel release).
[[nodiscard]] Json::Value VideoSection(const SystemSources& sources);

}  // namespace koruvan::telemetry
