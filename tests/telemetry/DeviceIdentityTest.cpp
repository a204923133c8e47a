// The identity fields: machine id, its text, the MAC list and the operating-system code.
#include <gtest/gtest.h>

#include "FakeSystem.h"
#include "telemetry/DeviceIdentity.h"
#include "telemetry/DeviceInventory.h"

namespace koruvan::telemetry {
namespace {

TEST(MachineId, MixesVolumeSerialAndAdapterAddress) {
    const std::string id = ComputeMachineId(0x12345678, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55});
    EXPECT_EQ(id, "341134AB44897856");
    EXPECT_EQ(MachineIdTextOf(id), "0x341134AB, 0x44897856");
    // Sums wrap at 256: 0xFF + 0x34 and 0xF0 + 0x78.
    EXPECT_EQ(ComputeMachineId(0x12345678, {0xFF, 0, 0, 0xF0, 0, 0}), "3300126800347856");
}

TEST(MachineId, ReadFromTheMachineIdFileAndTheFirstAdapter) {
    test::FakeSystem system;
    system.WriteIdentity();
    DeviceInventory inventory(system.Sources());
    EXPECT_EQ(inventory.ComputeMachineId(), "341134AB44897856");
    const AdapterLists lists = inventory.CollectMacAndIpLists();
    EXPECT_EQ(lists.macs, "00-11-22-33-44-55;66-77-88-99-aa-bb");
    EXPECT_EQ(lists.ips, "192.0.2.10;0.0.0.0");

    // No adapter and no machine-id file: empty lists, and still 16 digits.
    test::FakeSystem bare;
    DeviceInventory none(bare.Sources(false));
    EXPECT_EQ(none.ComputeMachineId(), "0000000000000000");
    EXPECT_EQ(none.CollectMacAndIpLists().macs, "");
}

TEST(MachineId, VolumeSerialNeedsEightHexDigits) {
    const struct {
        const char* content;
        std::uint32_t serial;
    } cases[] = {
        {"12345678c4c5404aaa1f6d2a48adfda4\n", 0x12345678},
        {"ABCDEF01", 0xABCDEF01},
        {"1234567", 0},       // too short
        {"1234567g0000", 0},  // not hexadecimal
    };
    for (const auto& c : cases) {
        test::FakeSystem system;
        system.Put("etc/machine-id", c.content);
        EXPECT_EQ(ReadVolumeSerial(system.Sources().root), c.serial) << c.content;
    }
}

TEST(MachineId, TextCopyFollowsTheBufferRules) {
    const std::string id = "341134AB44897856";
    char fits[23];
    EXPECT_EQ(CopyMachineIdText(id, fits, sizeof fits), 1);
    EXPECT_STREQ(fits, "0x341134AB, 0x44897856");
    char small[22] = "untouched";  // no room for the NUL: the length, nothing written
    EXPECT_EQ(CopyMachineIdText(id, small, sizeof small), 22);
    EXPECT_STREQ(small, "untouched");
    char16_t wide[32];
    EXPECT_EQ(CopyMachineIdText(id, wide, 32), 1);
    EXPECT_EQ(std::u16string(wide), u"0x341134AB, 0x44897856");
    EXPECT_EQ(CopyMachineIdText("341134AB4489785", fits, sizeof fits), 0);
}

TEST(OsCode, KernelReleaseArchitectureAndCodePage) {
    const struct {
        const char* release;
        const char* machine;
        int codePage;
        const char* code;
    } cases[] = {
        {"6.1.0-18-amd64", "x86_64", 65001, "610642"},
        {"6.18.44-fc-v1478", "aarch64", 65001, "61844642"},
        {"5.10.0", "i686", 936, "5100320"},
        {"4.19", "armv7l", 1252, "4190321"},  // no patch number: 0
        {"", "x86_64", 65001, "999642"},      // unreadable release
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ComputeOsCode(c.release, c.machine, c.codePage), c.code) << c.release;
    }
    for (const int chinese : {936, 950, 10002, 20936, 54936}) {
        EXPECT_EQ(CodePageClass(chinese), '0') << chinese;
    }
    EXPECT_EQ(CodePageClass(1252), '1');
    EXPECT_EQ(CodePageClass(65001), '2');
}

}  // namespace
}  // namespace koruvan::telemetry
