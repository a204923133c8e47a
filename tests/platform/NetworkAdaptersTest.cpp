// The adapter list against the kernel's own view in /sys/class/net.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "platform/NetworkAdapters.h"
#include "support/TempDir.h"

namespace koruvan::platform {
namespace {

TEST(NetworkAdapters, HardwareAddressesAsTheKernelListsThemWithoutLoopback) {
    if (!std::filesystem::exists("/sys/class/net")) {
        GTEST_SKIP() << "no /sys/class/net on this machine";
    }
    const std::vector<NetworkAdapter> adapters = ListNetworkAdapters();
    for (const NetworkAdapter& adapter : adapters) {
        EXPECT_NE(adapter.name, "lo");
        char text[18];
        std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", adapter.address[0],
                      adapter.address[1], adapter.address[2], adapter.address[3],
                      adapter.address[4], adapter.address[5]);
        const std::string sys = "/sys/class/net/" + adapter.name + "/address";
        if (std::filesystem::exists(sys)) {  // other tests may remove interfaces meanwhile
            EXPECT_EQ(test::ReadFile(sys), std::string(text) + "\n") << adapter.name;
        }
        EXPECT_EQ(std::count(adapter.firstIpv4.begin(), adapter.firstIpv4.end(), '.'), 3);
    }
    bool ethernet = false;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/class/net")) {
        ethernet = ethernet || test::ReadFile(entry.path().string() + "/type") == "1\n";
    }
    EXPECT_EQ(!adapters.empty(), ethernet);
    EXPECT_FALSE(MachineArchitecture().empty());
}

}  // namespace
}  // namespace koruvan::platform
