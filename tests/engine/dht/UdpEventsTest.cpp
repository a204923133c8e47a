// The transport driven by events rather than by polling: waiters wake on the change itself,
// and a node's next wake-up is its next timer.
#include <gtest/gtest.h>

#include <thread>

#include "engine/dht/UdpTestPair.h"
#include "engine/dht/UdpWire.h"
#include "support/WaitFor.h"

namespace koruvan::engine::test {
namespace {

using namespace udp;

TEST(UdpEvents, SelectWakesOnArrivalWithoutTimePassing) {
    Pair p;
    p.Listen();
    ASSERT_TRUE(p.Connect());
    p.net.clock.blockWaits = true;
    const std::uint32_t tick = p.net.clock.tick;
    std::vector<std::uint32_t> readable{p.accepted};
    int ready = -1;
    std::thread waiter([&] {
        const timeval minute{60, 0};
        ready = p.b.UdpSelect(&readable, nullptr, nullptr, &minute);
    });
    EXPECT_TRUE(koruvan::test::WaitFor([&] { return p.net.clock.blockedWaits.load() == 1; }));
    const std::uint8_t byte = 7;
    EXPECT_EQ(p.a.UdpSend(p.client, &byte, 1), 1);
    p.net.Pump();
    waiter.join();
    EXPECT_EQ(ready, 1);
    EXPECT_EQ(readable, std::vector<std::uint32_t>{p.accepted});
    EXPECT_EQ(p.net.clock.tick, tick);
}

TEST(UdpEvents, ANodeWakesForItsNextTimerOnly) {
    Pair p;  // both registered, the rendezvous answered
    ASSERT_TRUE(p.a.ServerReplied());
    p.Listen();
    // Idle with a listener: nothing is due before the keep-alive, 52 s on.
    EXPECT_GE(p.b.NextTimerMs(), 51000);
    // A connect's lookup goes out at once.
    p.client = p.a.UdpSocket();
    const sockaddr_in to = Address("203.0.113.20", kListenPort, p.b.Identity());
    p.a.UdpConnect(p.client, &to, sizeof(to));
    EXPECT_EQ(p.a.NextTimerMs(), 0);
    // A packet nobody acknowledges: its retransmission time.
    for (int i = 0; i < 300 && p.a.ConnectionState(p.client) != kEstablished; ++i) {
        p.net.Run(10);
    }
    p.net.lossPercent = 100;
    p.net.Run(3000);  // the connection's own timers settle
    const std::uint8_t byte = 7;
    ASSERT_EQ(p.a.UdpSend(p.client, &byte, 1), 1);
    const std::int64_t next = p.a.NextTimerMs();
    EXPECT_GT(next, 0);
    EXPECT_LE(next, 1601);
}

}  // namespace
}  // namespace koruvan::engine::test
