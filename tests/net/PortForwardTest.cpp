// The port mapping's parts that need no network: the port choice, the private-address rule,
// a gateway's description, and the mapping job's wait for the device search.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>

#include "net/CPortForwardEngine.h"
#include "net/IgdDescription.h"
#include "net/PortChoice.h"

namespace koruvan::net {
namespace {

using namespace std::chrono_literals;

TEST(PortChoiceTest, TheScanStartsAfterTheExcludedPorts) {
    const std::pair<unsigned, int> cases[] = {
        {0, 40001}, {7261, 47263}, {9999, 50000}, {10000 + 17, 40018}, {411, 40413}, {420, 40424},
    };
    for (const auto& [random, start] : cases) {
        EXPECT_EQ(ScanStart(random), start) << random;
    }
}

TEST(PortChoiceTest, TheScanWrapsTo40000AndEndsBackAtItsStart) {
    const std::set<int> busy = {49999, 50000};
    EXPECT_EQ(ChooseFreePort(49999, [&](int p) { return busy.count(p) > 0; }), 40000);
    EXPECT_EQ(ChooseFreePort(40411, [](int p) { return p == 40411; }), 40413);
    std::set<int> asked;
    EXPECT_EQ(ChooseFreePort(47263, [&](int p) { return asked.insert(p).second; }), std::nullopt);
    // Every port of 40000..50000 once, but the excluded ones.
    EXPECT_EQ(asked.size(), 10001u - kExcludedPorts.size());
    EXPECT_EQ(*asked.begin(), 40000);
    EXPECT_EQ(*asked.rbegin(), 50000);
    for (const int excluded : kExcludedPorts) {
        EXPECT_EQ(asked.count(excluded), 0u) << excluded;
    }
}

TEST(PortChoiceTest, APortHeldBySomeSocketIsInUse) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t length = sizeof a;
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length), 0);
    const int port = ntohs(a.sin_port);
    EXPECT_TRUE(IsPortInUse(port));  // bound, not even listening
    close(fd);
    EXPECT_FALSE(IsPortInUse(port));
}

TEST(PortChoiceTest, PrivateAddressesFollowTheLocalAddressRule) {
    const std::pair<const char*, bool> cases[] = {
        {"0.1.2.3", true},      {"6.255.255.255", true},  {"7.0.0.1", false},
        {"10.20.30.40", true},  {"127.0.0.3", true},      {"172.15.255.255", false},
        {"172.16.0.1", true},   {"172.31.255.255", true}, {"172.32.0.0", false},
        {"192.168.77.2", true}, {"192.169.0.1", false},   {"169.254.10.1", true},
        {"203.0.113.2", false}, {"198.51.100.7", false},  {"not an address", false},
    };
    for (const auto& [address, isPrivate] : cases) {
        EXPECT_EQ(IsPrivateIpv4(std::string(address)), isPrivate) << address;
    }
    EXPECT_EQ(LocalIpv4Address("192.168.77.2"), "192.168.77.2");
    EXPECT_EQ(LocalIpv4Address("192.168.77"), std::nullopt);
}

TEST(IgdDescriptionTest, TheRootDeviceIsReadWithItsChildrenServicesAndIcon) {
    const std::string xml =
        "<?xml version=\"1.0\"?><root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device>"
        "<deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>"
        "<friendlyName>Home Router</friendlyName><manufacturer>Maker</manufacturer>"
        "<manufacturerURL>http://maker.example/</manufacturerURL>"
        "<modelDescription>A router</modelDescription><modelName>R1</modelName>"
        "<modelNumber>1.0</modelNumber><modelURL>http://maker.example/r1</modelURL>"
        "<serialNumber>42</serialNumber><UDN>uuid:abc</UDN><UPC>000</UPC>"
        "<presentationURL>http://192.168.77.1/</presentationURL><iconList>"
        "<icon><mimetype>image/png</mimetype><width>32</width><height>32</height>"
        "<depth>8</depth><url>/a.png</url></icon>"
        "<icon><mimetype>image/gif</mimetype><width>32</width><height>32</height>"
        "<depth>8</depth><url>/b.gif</url></icon></iconList>"
        "<serviceList><service><serviceType>x</serviceType></service></serviceList>"
        "<deviceList><device><deviceType>wan</deviceType></device>"
        "<device><deviceType>lan</deviceType></device></deviceList></device></root>";
    const auto info = ReadIgdDescription(xml);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->children, "Yes: 2 children");
    EXPECT_EQ(info->hasChildren, "Yes");
    EXPECT_EQ(info->services, "Yes: One service");
    EXPECT_EQ(info->friendlyName, "Home Router");
    EXPECT_EQ(info->description, "A router");
    EXPECT_EQ(info->iconUrl, "/b.gif");
    EXPECT_EQ(info->parentDevice, "This is a topmost device");
    EXPECT_EQ(info->uniqueDeviceName, "uuid:abc");
    EXPECT_EQ(info->type, kGatewayDeviceType);

    const auto bare =
        ReadIgdDescription("<root><device><deviceType>t</deviceType></device></root>");
    ASSERT_TRUE(bare.has_value());
    EXPECT_EQ(bare->children, "No: Zero children");
    EXPECT_EQ(bare->services, "No: Zero services");
    EXPECT_FALSE(ReadIgdDescription("<root><nothing/></root>").has_value());
    EXPECT_FALSE(ReadIgdDescription("not xml <").has_value());
}

// Without the device search's end the mapping job gives up after its wait, reports the
// time-out and posts nothing; while it waits no second job starts.
TEST(PortForwardEngineTest, TheMappingJobTimesOutWithoutPostingAnything) {
    PortForwardOptions options;
    options.deviceWait = 200ms;
    CPortForwardEngine engine(options);
    std::atomic<int> posted{0};
    std::atomic<int> timedOut{0};
    const auto notify = [&](std::uintptr_t, std::intptr_t) { ++posted; };
    auto event = std::make_shared<ManualResetEvent>();
    const UpnpMapping mapping{
        "", "45000", "45000", "TCP", "192.168.77.2", "Yes", kMappingDescription};
    EXPECT_FALSE(engine.StartMappingThread(mapping, nullptr, event, nullptr));
    EXPECT_FALSE(engine.StartMappingThread(mapping, notify, nullptr, nullptr));
    EXPECT_FALSE(engine.StartDeviceInfoThread(nullptr));
    ASSERT_TRUE(engine.StartMappingThread(mapping, notify, event, [&] { ++timedOut; }));
    EXPECT_FALSE(engine.StartMappingThread(mapping, notify, event, nullptr));
    for (int i = 0; i < 300 && timedOut == 0; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(timedOut, 1);
    EXPECT_EQ(posted, 0);
    EXPECT_FALSE(engine.GetDeviceInfo().HasDevice());
}

}  // namespace
}  // namespace koruvan::net
