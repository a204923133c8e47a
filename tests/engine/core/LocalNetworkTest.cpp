// The local-network rules of the P2P service without a bind address: the discovery
// interface, recognising the node's own looped-back datagrams, and what counts as an
// incoming connection from outside.
#include "engine/core/LocalNetwork.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <string>

namespace koruvan::engine {
namespace {

std::uint32_t Ip(const char* dotted) {
    in_addr a{};
    EXPECT_EQ(inet_pton(AF_INET, dotted, &a), 1) << dotted;
    return a.s_addr;
}

LocalInterface Up(const char* dotted) {
    return LocalInterface{Ip(dotted), true, false, true};
}

const std::vector<LocalInterface> kHost = {
    {Ip("127.0.0.1"), true, true, false},     // loopback
    {Ip("192.0.2.5"), false, false, true},    // down
    {Ip("203.0.113.7"), true, false, false},  // no multicast (a tunnel)
    Up("198.51.100.11"),                      // the LAN
    Up("198.51.100.200"),
};

TEST(ChooseDiscoveryAddress, BindThenRouteThenFirstUsableInterface) {
    struct Case {
        const char* name;
        std::uint32_t bind;
        std::uint32_t route;
        std::vector<LocalInterface> interfaces;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {"the bind address wins", Ip("198.51.100.200"), Ip("198.51.100.11"), kHost,
         Ip("198.51.100.200")},
        {"the system's source toward the group", 0, Ip("198.51.100.200"), kHost,
         Ip("198.51.100.200")},
        {"no route: the first usable interface", 0, 0, kHost, Ip("198.51.100.11")},
        {"a loopback route is no LAN", 0, Ip("127.0.0.1"), kHost, Ip("198.51.100.11")},
        {"only loopback: none", 0, 0, {kHost[0]}, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ChooseDiscoveryAddress(c.bind, c.route, c.interfaces), c.expected) << c.name;
    }
}

TEST(IsOwnDatagram, SameDefaultPortOnAnotherMachineIsAPeer) {
    OwnService own;
    own.addresses = {Ip("127.0.0.1"), Ip("198.51.100.11")};
    own.port = 8080;
    own.nodeId.fill(0x5A);
    DiscoveryDatagram ours;
    ours.port = 8080;
    std::fill(ours.peerId.begin() + 8, ours.peerId.end(), std::uint8_t{0x5A});

    struct Case {
        const char* name;
        std::uint32_t announced;
        std::uint16_t port;
        std::uint32_t sender;
        bool ourPeerId;
        bool expected;
    };
    const Case cases[] = {
        {"another machine, same port, no address announced", 0, 8080, Ip("198.51.100.12"), false,
         false},
        {"another machine, same port, its address announced", Ip("198.51.100.12"), 8080,
         Ip("198.51.100.12"), false, false},
        {"own address and port", Ip("198.51.100.11"), 8080, Ip("198.51.100.11"), false, true},
        {"own address by the sender, none announced", 0, 8080, Ip("198.51.100.11"), false, true},
        {"another process of this host (other port)", Ip("198.51.100.11"), 6881,
         Ip("198.51.100.11"), false, false},
        {"this process's node id in the peer id", Ip("198.51.100.99"), 6881, Ip("198.51.100.99"),
         true, true},
    };
    for (const Case& c : cases) {
        DiscoveryDatagram d;
        d.ip = c.announced;
        d.port = c.port;
        if (c.ourPeerId) {
            d.peerId = ours.peerId;
        }
        EXPECT_EQ(IsOwnDatagram(d, c.sender, own), c.expected) << c.name;
    }

    OwnService unknown = own;
    unknown.nodeId.fill(0);  // no node id yet: a peer id of zeros is not ours
    DiscoveryDatagram zeros;
    zeros.ip = Ip("198.51.100.12");
    zeros.port = 8080;
    EXPECT_FALSE(IsOwnDatagram(zeros, zeros.ip, unknown));
}

TEST(FromOutsideLocalNetwork, ListenerAddressElseEveryInterface) {
    const std::vector<std::uint32_t> interfaces = {Ip("127.0.0.1"), Ip("198.51.100.11")};
    struct Case {
        const char* name;
        std::uint32_t remote;
        std::uint32_t listener;
        std::vector<std::uint32_t> locals;
        bool expected;
    };
    const Case cases[] = {
        {"bound listener, same /24", Ip("198.51.100.77"), Ip("198.51.100.11"), {}, false},
        {"bound listener, other /24", Ip("203.0.113.5"), Ip("198.51.100.11"), interfaces, true},
        {"any address, a LAN neighbour", Ip("198.51.100.77"), 0, interfaces, false},
        {"any address, loopback", Ip("127.0.0.9"), 0, interfaces, false},
        {"any address, another network", Ip("203.0.113.5"), 0, interfaces, true},
        {"no local address known", Ip("203.0.113.5"), 0, {}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FromOutsideLocalNetwork(c.remote, c.listener, c.locals), c.expected) << c.name;
    }
}

// The system queries on loopback only: connecting a UDP socket sends nothing.
TEST(LocalInterfaces, LoopbackIsListedAndRoutesToItself) {
    const std::vector<LocalInterface> all = ListLocalInterfaces();
    const auto lo = std::find_if(all.begin(), all.end(),
                                 [](const LocalInterface& i) { return i.ip == Ip("127.0.0.1"); });
    ASSERT_NE(lo, all.end());
    EXPECT_TRUE(lo->loopback);
    EXPECT_TRUE(lo->up);
    EXPECT_EQ(RouteSourceAddress(Ip("127.0.0.3"), 9), Ip("127.0.0.1"));
}

}  // namespace
}  // namespace koruvan::engine
