// The hardware sections from a made-up /proc and /sys tree, the SMBIOS memory devices and
// the value tables.
#include <gtest/gtest.h>

#include "FakeSystem.h"
#include "telemetry/BatchText.h"
#include "telemetry/HardwareInventory.h"
#include "telemetry/SmbiosMemory.h"

namespace koruvan::telemetry {
namespace {

constexpr const char* kCpuInfo =
    "processor\t: 0\nvendor_id\t: GenuineIntel\nphysical id\t: 0\n"
    "model name\t: Intel(R) Xeon(R) CPU E5-2680 v4 @ 2.40GHz\n\n"
    "processor\t: 1\nvendor_id\t: GenuineIntel\nphysical id\t: 0\n"
    "model name\t: Intel(R) Xeon(R) CPU E5-2680 v4 @ 2.40GHz\n\n"
    "processor\t: 2\nvendor_id\t: AuthenticAMD\nphysical id\t: 1\n"
    "model name\t: AMD EPYC 7302 16-Core Processor\n\n";

constexpr const char* kPciIds =
    "# PCI ids\n"
    "1002  Advanced Micro Devices, Inc. [AMD/ATI]\n"
    "\t73bf  Navi 21 [Radeon RX 6800/6800 XT / 6900 XT]\n"
    "\t\t1002 0e3a  Radeon RX 6900 XT\n"
    "8086  Intel Corporation\n"
    "\t1234  Something Else\n";

class HardwareInventoryTest : public ::testing::Test {
  protected:
    void WriteTree() {
        system_.WriteIdentity();
        system_.Put("proc/cpuinfo", kCpuInfo);
        system_.Put("proc/meminfo", "MemTotal:       16318156 kB\nMemFree:  1 kB\n");
        const std::string dmi = "sys/firmware/dmi/entries/";
        system_.Put(dmi + "17-2/raw", test::MemoryDevice(0x2000, 0x18, 1600));  // DDR3, 8 GiB
        system_.Put(dmi + "17-3/raw", test::MemoryDevice(0, 0x02, 0));          // empty slot
        // Listed last although "17-10" sorts before "17-2" as text: DDR2, 32 GiB.
        system_.Put(dmi + "17-10/raw", test::MemoryDevice(0x7FFF, 0x13, 800, 32768));
        system_.Put(dmi + "16-0/raw", std::string("\x10\x17", 2) + std::string(23, '\0'));
        system_.Put("sys/class/drm/card0/device/uevent", "DRIVER=amdgpu\nPCI_ID=1002:73BF\n");
        system_.Put("sys/class/drm/card0/device/mem_info_vram_total", "17163091968\n");
        system_.Put("sys/module/amdgpu/version", "5.18.13\n");
        system_.Put("sys/class/drm/card0-DP-1/status", "connected\n");  // a connector
        system_.Put("sys/class/drm/card1/device/uevent", "DRIVER=i915\nPCI_ID=8086:3E92\n");
        system_.Put("usr/share/misc/pci.ids", kPciIds);
    }

    test::FakeSystem system_;
};

TEST_F(HardwareInventoryTest, SectionsFromTheTree) {
    WriteTree();
    const SystemSources sources = system_.Sources();
    EXPECT_EQ(CompactJson(CpuSection(sources)),
              R"([{"CPU_Architecture":"x64","CPU_Manufacturer":"GenuineIntel",)"
              R"("CPU_Name":"Intel(R) Xeon(R) CPU E5-2680 v4 @ 2.40GHz",)"
              R"("CPU_Type":"Central Processor"},{"CPU_Architecture":"x64",)"
              R"("CPU_Manufacturer":"AuthenticAMD","CPU_Name":"AMD EPYC 7302 16-Core Processor",)"
              R"("CPU_Type":"Central Processor"}])"
              "\n");
    // Modules write the same members: the last one listed remains.
    EXPECT_EQ(CompactJson(MemorySection(sources)),
              R"({"Memory_Capacity":"34359738368","Memory_Frequency":"800",)"
              R"("Memory_Total_Capacity":"16709791744","Memory_Type":"DDR-2"})"
              "\n");
    EXPECT_EQ(
        CompactJson(VideoSection(sources)),
        R"([{"Video_Card_Driver_Version":"5.18.13","Video_Card_Memory_Capacity":"17163091968",)"
        R"("Video_Card_Name":"Advanced Micro Devices, Inc. [AMD/ATI] Navi 21 [Radeon RX )"
        R"(6800/6800 XT / 6900 XT]"},{"Video_Card_Driver_Version":"6.1.0-18-amd64",)"
        R"("Video_Card_Memory_Capacity":"","Video_Card_Name":"Intel Corporation"}])"
        "\n");
}

TEST_F(HardwareInventoryTest, MissingSourcesGiveEmptySections) {
    const SystemSources sources = system_.Sources();
    EXPECT_EQ(CompactJson(CpuSection(sources)), "[]\n");
    EXPECT_EQ(CompactJson(MemorySection(sources)), "{}\n");
    EXPECT_EQ(CompactJson(VideoSection(sources)), "[]\n");
}

TEST(SmbiosMemory, MemoryDeviceFields) {
    const struct {
        std::string raw;
        bool module;
        std::uint64_t bytes;
        std::uint32_t speed;
        int type;
    } cases[] = {
        {test::MemoryDevice(0x1000, 0x12, 400), true, 4096ull << 20, 400, 20},
        {test::MemoryDevice(0x8000 | 512, 0x07, 0), true, 512ull << 10, 0, 9},           // in KiB
        {test::MemoryDevice(0x7FFF, 0x1A, 3200, 65536), true, 65536ull << 20, 3200, 0},  // DDR4
        {test::MemoryDevice(0x4000, 0x18, 0xFFFF), true, 16384ull << 20, 0, 24},
        {test::MemoryDevice(0, 0x18, 1600), false, 0, 0, 0},               // empty slot
        {test::MemoryDevice(0x1000, 0x12, 400, 0, 0x0D), false, 0, 0, 0},  // cut short
        {std::string("\x10\x28", 2) + std::string(0x26, '\x01'), false, 0, 0, 0},
    };
    for (const auto& c : cases) {
        const auto module = ParseMemoryDevice(c.raw);
        ASSERT_EQ(module.has_value(), c.module) << c.bytes;
        if (module) {
            EXPECT_EQ(module->capacityBytes.value_or(0), c.bytes);
            EXPECT_EQ(module->speed, c.speed);
            EXPECT_EQ(module->type, c.type);
        }
    }
}

TEST(ValueTables, NamesAndTheirFallbacks) {
    EXPECT_STREQ(MemoryTypeName(2), "DRAM");
    EXPECT_STREQ(MemoryTypeName(21), "DDR-2");
    EXPECT_STREQ(MemoryTypeName(24), "DDR-3");
    EXPECT_STREQ(MemoryTypeName(0), "DDR-3");
    EXPECT_STREQ(CpuTypeName(3), "Central Processor");
    EXPECT_STREQ(CpuTypeName(7), "Error");
    const struct {
        const char* machine;
        const char* name;
    } machines[] = {{"x86_64", "x64"},
                    {"i686", "x86"},
                    {"ppc64le", "PowerPC"},
                    {"ia64", "Itanium-based systems"},
                    {"aarch64", "Error"}};
    for (const auto& m : machines) {
        EXPECT_STREQ(CpuArchitectureName(ArchitectureOf(m.machine)), m.name) << m.machine;
    }
}

}  // namespace
}  // namespace koruvan::telemetry
