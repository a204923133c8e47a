// Pseudo-sockets between two nodes over the hand-driven network with the real rendezvous
// logic: call errors, the handshake, byte streams under loss, window and payload sizes,
// refusals, probes and close.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <numeric>
#include <string>

#include "engine/dht/QUdpSocketTransport.h"
#include "engine/dht/UdpTestPair.h"
#include "engine/dht/UdpWire.h"

namespace koruvan::engine::test {
namespace {

using namespace udp;

TEST(UdpPseudoSocket, CallsReportWinsockErrors) {
    Pair p;
    QUInternalServer& s = p.a;
    const sockaddr_in port9 = Address("0.0.0.0", 9000, nullptr);
    const std::uint32_t bound = s.UdpSocket();
    ASSERT_EQ(s.UdpBind(bound, &port9, sizeof(port9)), 0);
    const std::uint32_t fresh = s.UdpSocket();
    const std::uint32_t other = s.UdpSocket();
    const sockaddr_in port10 = Address("0.0.0.0", 9010, nullptr);
    const sockaddr_in target = Address("203.0.113.20", 6881, p.b.Identity());
    const sockaddr_in zero = Address("0.0.0.0", 6881, nullptr);
    std::uint8_t byte = 0;
    sockaddr_in out{};
    int length = 0;
    struct Case {
        const char* what;
        std::function<int()> call;
        int result;
        int error;
    } cases[] = {
        {"bind short", [&] { return s.UdpBind(fresh, &port10, 15); }, -1, kWsaEinval},
        {"bind taken", [&] { return s.UdpBind(fresh, &port9, 16); }, -1, kWsaEaddrinuse},
        {"bind unknown", [&] { return s.UdpBind(4242, &port10, 16); }, -1, kWsaEnotsock},
        {"listen unbound", [&] { return s.UdpListen(fresh, 5); }, -1, kWsaEnotsock},
        {"accept unbound", [&] { return static_cast<int>(s.UdpAccept(fresh, &out, &length)); }, 0,
         kWsaEnotsock},
        {"accept not listening",
         [&] { return static_cast<int>(s.UdpAccept(bound, &out, &length)); }, 0, kWsaEinval},
        {"connect zero", [&] { return s.UdpConnect(fresh, &zero, 16); }, -1, kWsaEnetunreach},
        {"connect length", [&] { return s.UdpConnect(fresh, &target, 15); }, -1, kWsaEnetunreach},
        {"connect unknown", [&] { return s.UdpConnect(4242, &target, 16); }, -1, kWsaEnotsock},
        {"send fresh", [&] { return s.UdpSend(fresh, &byte, 1); }, -1, kWsaEnotconn},
        {"send negative", [&] { return s.UdpSend(fresh, &byte, -1); }, -1, kWsaEinval},
        {"send unknown", [&] { return s.UdpSend(4242, &byte, 1); }, -1, kWsaEwouldblock},
        {"recv size 0", [&] { return s.UdpRecv(fresh, &byte, 0); }, -1, kWsaEinval},
        {"local name", [&] { return s.UdpGetLocalName(fresh, &out, &length); }, -1, kWsaEnotconn},
        {"connect", [&] { return s.UdpConnect(other, &target, 16); }, -1, kWsaEwouldblock},
        {"connect again", [&] { return s.UdpConnect(other, &target, 16); }, -1, kWsaEintr},
        {"send waiting", [&] { return s.UdpSend(other, &byte, 1); }, -1, kWsaEwouldblock},
        {"listen", [&] { return s.UdpListen(bound, 1); }, 0, 0},
        {"accept none", [&] { return static_cast<int>(s.UdpAccept(bound, &out, &length)); }, 0,
         kWsaEwouldblock},
        {"close", [&] { return s.UdpCloseSocket(fresh); }, 0, 0},
        {"close twice", [&] { return s.UdpCloseSocket(fresh); }, -1, kWsaEnotsock},
    };
    for (const Case& c : cases) {
        SetUdpLastError(-7);
        EXPECT_EQ(c.call(), c.result) << c.what;
        EXPECT_EQ(UdpLastError(), c.error) << c.what;
    }
    EXPECT_EQ(s.Backlog(), 32);  // listen with backlog 1 never shrinks it
    QUInternalServer unstarted;
    const std::uint32_t h = unstarted.UdpSocket();
    ASSERT_EQ(unstarted.UdpBind(h, &port9, 16), 0);
    EXPECT_EQ(unstarted.UdpListen(h, 5), -1);
    EXPECT_EQ(UdpLastError(), kWsaNotInitialised);
}

TEST(UdpPseudoSocket, StreamsArriveIntactBothWays) {
    Pair p;
    p.Listen();
    ASSERT_TRUE(p.Connect());
    sockaddr_in local{};
    int length = 0;
    ASSERT_EQ(p.a.UdpGetLocalName(p.client, &local, &length), 0);
    EXPECT_EQ(ntohs(local.sin_port), kListenPort);
    EXPECT_EQ(std::memcmp(local.sin_zero, p.a.Identity(), 8), 0);
    EXPECT_TRUE(Exchange(p, Pattern(300000), 60000));
    // Clean link: the loss rate is measured as 0, so data packets carry 1320 bytes.
    EXPECT_EQ(p.a.LossRateOf(p.client), 0);
    EXPECT_FALSE(p.net.SentTo(Ip("203.0.113.20"), 1320 + 64).empty());
}

TEST(UdpPseudoSocket, LossReorderingAndDuplicatesStillDeliverTheStream) {
    Pair p;
    p.Listen();
    ASSERT_TRUE(p.Connect());
    p.net.lossPercent = 5;
    p.net.dupPercent = 5;
    p.net.reorderPercent = 10;
    EXPECT_TRUE(Exchange(p, Pattern(400000), 600000));
    const int loss = p.a.LossRateOf(p.client);
    EXPECT_GT(loss, 0);
    EXPECT_LT(loss, 50);
}

TEST(UdpPseudoSocket, FirstSendFollowsTheInitialLossRate) {
    Pair p;
    p.Listen();
    ASSERT_TRUE(p.Connect());
    const std::size_t before = p.net.log.size();
    const auto data = Pattern(20000);
    // Loss rate 50 % until 24 packets were sent: 12 slots of 660 bytes, 6 sent at once.
    EXPECT_EQ(p.a.UdpSend(p.client, data.data(), 20000), 7920);
    int dataPackets = 0;
    for (std::size_t i = before; i < p.net.log.size(); ++i) {
        dataPackets += p.net.log[i].bytes.size() == 660 + 64 ? 1 : 0;
    }
    EXPECT_EQ(dataPackets, 6);
    EXPECT_EQ(p.a.UdpSend(p.client, data.data(), 20000), -1);
    EXPECT_EQ(UdpLastError(), kWsaEwouldblock);
}

TEST(UdpPseudoSocket, ConnectWithoutListenerIsRefused) {
    Pair p;
    p.Listen();
    ASSERT_FALSE(p.Connect(kListenPort + 1));
    EXPECT_EQ(p.a.ConnectionState(p.client), kClosed);
    const auto fromB = p.net.SentTo(Ip("198.51.100.10"), 64);
    bool refused = false;
    for (const Sent& s : fromB) {
        if (Get32(s.bytes.data() + 16) == kRefuse) {
            refused = true;
            EXPECT_EQ(std::memcmp(s.bytes.data() + 20, p.a.Identity(), 12), 0);
        }
    }
    EXPECT_TRUE(refused);
}

TEST(UdpPseudoSocket, SilentConnectionsAreProbedThenClosed) {
    Pair p;
    p.Listen();
    ASSERT_TRUE(p.Connect());
    // b goes silent: nothing it sends arrives any more.
    p.net.between = nullptr;
    const auto probesFromA = [&] {
        int n = 0;
        for (const Sent& s : p.net.SentTo(Ip("203.0.113.20"), 64)) {
            n += Get32(s.bytes.data() + 16) == kProbe ? 1 : 0;
        }
        return n;
    };
    p.net.lossPercent = 100;
    p.net.Run(14000, 100);
    EXPECT_EQ(probesFromA(), 0);
    EXPECT_EQ(p.a.ConnectionState(p.client), kEstablished);
    p.net.Run(4000, 100);
    EXPECT_GT(probesFromA(), 0);
    p.net.Run(16000, 100);
    EXPECT_EQ(p.a.ConnectionState(p.client), kClosed);
    std::vector<std::uint32_t> errors{p.client};
    const timeval now{0, 0};
    EXPECT_EQ(p.a.UdpSelect(nullptr, nullptr, &errors, &now), 1);
}

TEST(UdpPseudoSocket, CloseEndsTheStreamAfterItsData) {
    Pair p;
    p.Listen();
    ASSERT_TRUE(p.Connect());
    const auto data = Pattern(5000);
    ASSERT_EQ(p.a.UdpSend(p.client, data.data(), 5000), 5000);
    p.net.Run(2000);
    ASSERT_EQ(p.a.UdpCloseSocket(p.client), 0);
    p.net.Run(100);
    EXPECT_EQ(p.b.ConnectionState(p.accepted), kClosed);
    std::vector<std::uint8_t> got(8000);
    EXPECT_EQ(p.b.UdpRecv(p.accepted, got.data(), 8000), 5000);
    got.resize(5000);
    EXPECT_EQ(got, data);
    EXPECT_EQ(p.b.UdpRecv(p.accepted, got.data(), 10), -1);
    EXPECT_EQ(UdpLastError(), kWsaEnotconn);
}

TEST(UdpPseudoSocket, SelectReportsListenersAndWritableStreams) {
    Pair p;
    p.Listen();
    std::vector<std::uint32_t> readable{p.listener};
    const timeval shortWait{0, 50000};
    EXPECT_EQ(p.b.UdpSelect(&readable, nullptr, nullptr, &shortWait), 0);
    EXPECT_TRUE(readable.empty());
    ASSERT_TRUE(p.Connect());
    std::vector<std::uint32_t> writable{p.client, p.accepted};
    const timeval none{0, 0};
    EXPECT_EQ(p.a.UdpSelect(nullptr, &writable, nullptr, &none), 1);
    EXPECT_EQ(writable, std::vector<std::uint32_t>{p.client});
    EXPECT_EQ(p.a.UdpSelect(nullptr, nullptr, nullptr, &none), 0);
}

TEST(UdpPseudoSocket, SocketWrapperTransportRunsOverPseudoSockets) {
    Pair p;
    QUdpSocketTransport client(&p.a);
    QUdpSocketTransport server(&p.b);
    int error = 0;
    const SocketHandle listener = server.Open(&error);
    ASSERT_NE(listener, kInvalidSocket);
    ASSERT_EQ(server.Bind(listener, SocketAddress{0, kListenPort, {}}), 0);
    ASSERT_EQ(server.Listen(listener, 1024), 0);
    EXPECT_EQ(server.Bind(server.Open(&error), SocketAddress{0, kListenPort, {}}), kWsaEaddrinuse);

    const SocketHandle out = client.Open(&error);
    SocketAddress to{Ip("203.0.113.20"), kListenPort, {}};
    std::memcpy(to.node, p.b.Identity(), 8);
    ASSERT_EQ(client.Connect(out, to), kConnectInProgress);
    EXPECT_EQ(client.Wait(out, true, 0), 0);
    SocketHandle in = kInvalidSocket;
    SocketAddress remote;
    for (int i = 0; i < 100 && in == kInvalidSocket; ++i) {
        p.net.Run(10);
        in = server.Accept(listener, &remote, &error);
        EXPECT_EQ(error, 0);  // "nothing yet" is no error
    }
    ASSERT_NE(in, kInvalidSocket);
    EXPECT_EQ(std::memcmp(remote.node, p.a.Identity(), 8), 0);
    EXPECT_EQ(client.Wait(out, true, 0), 1);
    EXPECT_EQ(client.PendingError(out), 0);
    SocketAddress local;
    ASSERT_TRUE(client.LocalAddress(out, &local));
    EXPECT_EQ(local.port, kListenPort);

    const std::uint8_t hello[] = "hello over udp";
    EXPECT_EQ(client.Send(out, hello, sizeof(hello), &error),
              static_cast<std::int64_t>(sizeof(hello)));
    std::uint8_t got[64] = {};
    EXPECT_EQ(server.Receive(in, got, sizeof(got), &error), kIoWouldBlock);
    p.net.Run(50);
    EXPECT_EQ(server.Wait(in, false, 0), 1);
    EXPECT_EQ(server.Receive(in, got, sizeof(got), &error),
              static_cast<std::int64_t>(sizeof(hello)));
    EXPECT_STREQ(reinterpret_cast<const char*>(got), "hello over udp");
    client.CloseHandle(out);
    p.net.Run(50);
    EXPECT_EQ(server.Receive(in, got, sizeof(got), &error), 0);  // the end of the stream
    EXPECT_EQ(server.PendingError(in), kWsaEconnrefused);
}

}  // namespace
}  // namespace koruvan::engine::test
