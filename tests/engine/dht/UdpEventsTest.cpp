// The transport driven by events rather than by polling: a window turns over as soon as its
// datagrams arrive, a reader a window behind holds its acknowledgement back instead of
// letting the sender run into full slots, data sent before the accept is kept, waiters wake
// on the change itself, and a node's next wake-up is its next timer.
#include <gtest/gtest.h>
#include <poll.h>

#include <thread>

#include "engine/dht/QUdpSocketTransport.h"
#include "engine/dht/UdpTestPair.h"
#include "engine/dht/UdpWire.h"
#include "support/WaitFor.h"

namespace koruvan::engine::test {
namespace {

using namespace udp;

constexpr int kWindowBytes = kSlots * 1320;

// A connected pair past its first packets: loss rate 0, a window of 12 packets of 1320 bytes.
void Settle(Pair& p) {
    p.Listen();
    ASSERT_TRUE(p.Connect());
    ASSERT_TRUE(Exchange(p, Pattern(40 * 1320), 60000));
    p.net.Run(100);  // the last acknowledgements arrive: both windows are empty
    ASSERT_EQ(p.a.FiguresOf(p.client).window, kSlots);
    ASSERT_EQ(p.a.FiguresOf(p.client).payloadSize, 1320);
}

// Everything b can read now.
std::vector<std::uint8_t> ReadAll(Pair& p) {
    std::vector<std::uint8_t> got;
    std::uint8_t buffer[4096];
    for (int n; (n = p.b.UdpRecv(p.accepted, buffer, sizeof(buffer))) > 0;) {
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

int Send(Pair& p, const std::vector<std::uint8_t>& data, std::size_t from) {
    return p.a.UdpSend(p.client, data.data() + from, static_cast<int>(data.size() - from));
}

TEST(UdpEvents, AWindowTurnsOverAsSoonAsItsDatagramsArrive) {
    Pair p;
    Settle(p);
    const auto data = Pattern(2 * kWindowBytes);
    const std::uint32_t tick = p.net.clock.tick;
    ASSERT_EQ(Send(p, data, 0), kWindowBytes);
    EXPECT_EQ(Send(p, data, kWindowBytes), -1);
    // Delivery alone, no timer pass and no time passing: b acknowledges at once and a's
    // window is free again.
    p.net.Pump();
    EXPECT_EQ(Send(p, data, kWindowBytes), kWindowBytes);
    p.net.Pump();
    EXPECT_EQ(ReadAll(p), data);
    EXPECT_EQ(p.net.clock.tick, tick);
}

TEST(UdpEvents, AReaderAWindowBehindHoldsItsAcknowledgementBack) {
    Pair p;
    Settle(p);
    const int retransmitsBefore = p.a.FiguresOf(p.client).retransmits;
    const auto data = Pattern(4 * kWindowBytes);
    std::size_t sent = 0;
    // Two windows reach b, which does not read: one fills its ready queue, one its slots.
    for (int w = 0; w < 2; ++w) {
        ASSERT_EQ(Send(p, data, sent), kWindowBytes);
        sent += kWindowBytes;
        p.net.Pump();
    }
    // Acknowledged now, a third window would find no room at b and be dropped: a hears
    // nothing until b reads (the timers run, short of the acknowledgement's repeat time).
    p.net.Run(1000);
    EXPECT_EQ(Send(p, data, sent), -1);
    std::vector<std::uint8_t> got = ReadAll(p);
    EXPECT_EQ(got.size(), static_cast<std::size_t>(2 * kWindowBytes));
    p.net.Pump();  // the held acknowledgement went with the read
    for (int step = 0; step < 1000 && got.size() < data.size(); ++step) {
        const int n = sent < data.size() ? Send(p, data, sent) : 0;
        sent += n > 0 ? static_cast<std::size_t>(n) : 0;
        p.net.Run(10);
        const std::vector<std::uint8_t> more = ReadAll(p);
        got.insert(got.end(), more.begin(), more.end());
    }
    EXPECT_EQ(got, data);
    // No packet had to be sent again.
    EXPECT_EQ(p.a.FiguresOf(p.client).retransmits, retransmitsBefore);
}

TEST(UdpEvents, DataSentBeforeTheAcceptIsKept) {
    Pair p;
    p.Listen();
    p.client = p.a.UdpSocket();
    const sockaddr_in to = Address("203.0.113.20", kListenPort, p.b.Identity());
    p.a.UdpConnect(p.client, &to, sizeof(to));
    for (int i = 0; i < 300 && p.a.ConnectionState(p.client) != kEstablished; ++i) {
        p.net.Run(10);
    }
    std::vector<std::uint32_t> listening{p.listener};
    const timeval now{0, 0};
    ASSERT_EQ(p.b.UdpSelect(&listening, nullptr, nullptr, &now), 1);  // waits in the queue
    // The connector sends at once (five packets of 660 bytes while the loss rate is unknown).
    const auto data = Pattern(3000);
    ASSERT_EQ(p.a.UdpSend(p.client, data.data(), 3000), 3000);
    p.net.Pump();
    p.accepted = p.b.UdpAccept(p.listener, nullptr, nullptr);
    ASSERT_NE(p.accepted, 0u);
    EXPECT_EQ(ReadAll(p), data);
}

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

TEST(UdpEvents, AThreadWakeUpIsSignalledWhenItsPseudoSocketTurnsReadable) {
    Pair p;
    p.Listen();
    ASSERT_TRUE(p.Connect());
    QUdpSocketTransport transport(&p.b);
    SocketWait wait;
    ASSERT_TRUE(transport.WaitEntry(static_cast<SocketHandle>(p.accepted), false, &wait));
    EXPECT_TRUE(wait.drain);
    const auto signalled = [&wait] {
        pollfd entry{static_cast<int>(wait.socket), POLLIN, 0};
        return ::poll(&entry, 1, 0) == 1;
    };
    EXPECT_FALSE(signalled());
    const std::uint8_t byte = 7;
    ASSERT_EQ(p.a.UdpSend(p.client, &byte, 1), 1);
    p.net.Pump();
    EXPECT_TRUE(signalled());
    EXPECT_EQ(WaitForSockets(&wait, 1, 0), 1);
    EXPECT_FALSE(signalled());  // the wait took the signal
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
