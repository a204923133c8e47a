// The controller's start-up step of the port mapping where it ends without a device search:
// switched off, a public address, no free port, no local address.
#include <gtest/gtest.h>

#include "app/AppRecorders.h"
#include "app/PortMapping.h"

namespace koruvan::app {
namespace {

class PortMappingTest : public ::testing::Test {
  protected:
    std::int32_t Start(const P2pSettings& p2p, PortMappingHooks hooks) {
        PortMapping mapping(p2p, events_, std::move(hooks));
        return mapping.StartUpnp();
    }
    static PortMappingHooks Hooks(unsigned random, std::function<bool(int)> inUse,
                                  std::optional<std::string> address) {
        PortMappingHooks hooks;
        hooks.random = [random] { return random; };
        hooks.portInUse = std::move(inUse);
        hooks.localAddress = [address] { return address; };
        return hooks;
    }

    test::LogRecorder log_;
    test::RecordingEvents events_;
};

TEST_F(PortMappingTest, SwitchedOffItGivesThePlansPortAndDoesNothingElse) {
    P2pSettings p2p;
    p2p.upnp = false;
    const auto untouched = Hooks(
        0, [](int) -> bool { throw 0; }, std::nullopt);
    EXPECT_EQ(Start(p2p, untouched), 0);
    p2p.listenPort = 45000;
    EXPECT_EQ(Start(p2p, untouched), 45000);
    EXPECT_EQ(events_.Count("11500105") + events_.Count("11390001"), 0);
}

TEST_F(PortMappingTest, APublicAddressKeepsTheFreePortWithoutAMapping) {
    const P2pSettings p2p;
    // 7261 starts the scan at 47262, which is excluded; 47263 is busy.
    EXPECT_EQ(Start(p2p, Hooks(
                             7261, [](int p) { return p == 47263; }, "198.51.100.7")),
              47264);
    const std::string text = "无需uPnP：本机直通外网198.51.100.7";
    EXPECT_EQ(events_.Last("11390001").errorMessage, text);
    EXPECT_TRUE(log_.Has(text));
    EXPECT_FALSE(log_.Has("IGD设备信息线程已创建"));
}

TEST_F(PortMappingTest, NoFreePortOrNoLocalAddressEndsItWithTheirTexts) {
    const P2pSettings p2p;
    EXPECT_EQ(Start(p2p, Hooks(
                             5, [](int) { return true; }, "192.168.1.2")),
              0);
    EXPECT_EQ(events_.Last("11500105").errorMessage, "没有可用的端口，uPnP失败");
    EXPECT_TRUE(log_.Has("没有可用的端口，uPnP失败"));
    EXPECT_EQ(Start(p2p, Hooks(
                             5, [](int) { return false; }, std::nullopt)),
              0);
    EXPECT_EQ(events_.Last("11500105").errorMessage, "无法获取本地ip，uPnP失败");
    EXPECT_EQ(events_.Count("11500105"), 2);
}

}  // namespace
}  // namespace koruvan::app
