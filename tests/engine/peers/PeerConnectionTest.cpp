// TPeerConnection over plain TCP on 127.0.0.1: connecting, ordering and integrity of data,
// buffer sizes, closing, accepting, and the pseudo-socket seam.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "engine/peers/LoopbackPeer.h"
#include "engine/peers/Resolver.h"
#include "engine/peers/SocketTransport.h"
#include "engine/peers/TPeerConnection.h"

namespace koruvan::engine {
namespace {

using test::Bytes;
using test::kLoopback;
using test::ReadAtLeast;
using test::ScriptedServer;
using test::Text;
using test::WaitUntil;
using test::WriteAll;

// Bytes 0..250 repeating, offset by start.
std::string Pattern(std::size_t size, std::size_t start = 0) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        out[i] = static_cast<char>((start + i) % 251);
    }
    return out;
}

TEST(PeerConnection, RefusesInvalidAddressesWithoutOpeningASocket) {
    TPeerConnection c;
    EXPECT_FALSE(c.Connect(0, 80, false));
    EXPECT_FALSE(c.IsOpen());
    EXPECT_FALSE(c.Connect(kNoAddress, 80, false));
    EXPECT_FALSE(c.Connect(kLoopback, 0, false));
    EXPECT_FALSE(c.IsOpen());
    EXPECT_FALSE(c.Listen(0));
    EXPECT_EQ(c.Receive(), -1) << "nothing to read from";
    EXPECT_EQ(c.Send(Bytes("x"), 1), 0);
    EXPECT_EQ(c.Data()[0], 0);
}

TEST(PeerConnection, NonBlockingConnectCompletesInTheBackground) {
    ScriptedServer server([](TPeerConnection& s) {
        WriteAll(s, "hello");
        ReadAtLeast(s, 3);
    });
    TPeerConnection c;
    ASSERT_TRUE(c.Connect(kLoopback, server.Port(), false));
    EXPECT_TRUE(c.IsOpen());
    EXPECT_TRUE(c.TunnelReady()) << "no proxy: nothing to negotiate";
    ASSERT_TRUE(WaitUntil([&] { return c.IsConnected(); }));
    EXPECT_EQ(c.HostText(), "127.0.0.1");
    EXPECT_EQ(c.LocalIp(), kLoopback);
    EXPECT_NE(c.LocalPort(), 0);
    EXPECT_GT(c.ConnectTime(), 0);
    EXPECT_EQ(ReadAtLeast(c, 5), "hello");
    EXPECT_EQ(c.BytesReceived(), 5);
    EXPECT_TRUE(WriteAll(c, "bye"));
    EXPECT_EQ(c.BytesSent(), 3);
}

TEST(PeerConnection, BindsToTheGivenLocalAddress) {
    constexpr std::uint32_t kSecondLoopback = HostToNet32(0x7F000003);
    std::atomic<std::uint32_t> seen{0};
    ScriptedServer server([&](TPeerConnection& s) { seen = s.RemoteIp(); });
    TPeerConnection c;
    ASSERT_TRUE(c.Connect(kLoopback, server.Port(), true, nullptr, kSecondLoopback));
    EXPECT_EQ(c.LocalIp(), kSecondLoopback);
    server.Join();
    EXPECT_EQ(seen, kSecondLoopback) << "the server sees the bound address";
}

TEST(PeerConnection, RefusedConnectShowsAsClosed) {
    const auto port = static_cast<std::uint16_t>(test::FreeTcpPort());  // nobody listens
    TPeerConnection c;
    if (c.Connect(kLoopback, port, false)) {
        // Still in progress: the refusal shows at the next poll, not as a connection.
        ASSERT_TRUE(WaitUntil([&] { return !c.IsConnected() && !c.IsOpen(); }));
        EXPECT_EQ(c.LastError(), ECONNREFUSED);
    }
    EXPECT_FALSE(c.IsOpen());
    EXPECT_EQ(c.Receive(), -1);
    TPeerConnection waiting;
    EXPECT_FALSE(waiting.Connect(kLoopback, port, true)) << "wait mode reports the refusal";
    EXPECT_FALSE(waiting.IsOpen());
    EXPECT_EQ(waiting.LastError(), ECONNREFUSED) << "the reason stays readable";
}

TEST(PeerConnection, QueuedAndDirectSendsKeepTheirOrder) {
    // Far more than the socket buffers hold, sent without waiting: most of it queues, and
    // every later send must go out behind the queued bytes.
    const std::size_t total = 8 * 1024 * 1024;
    const std::string expected = Pattern(total);
    std::string arrived;
    ScriptedServer server([&](TPeerConnection& s) {
        WaitUntil(
            [&] {
                const std::int32_t r = s.Receive(64 * 1024);
                arrived.append(Text(s));
                s.Consume(-1);
                return r < 0 || arrived.size() >= total;
            },
            std::chrono::seconds(20));
    });
    TPeerConnection c;
    ASSERT_TRUE(c.Connect(kLoopback, server.Port(), false));
    std::size_t offset = 0;
    std::size_t step = 1;
    while (offset < total) {
        const std::size_t n = std::min(total - offset, step);
        ASSERT_GE(c.Send(Bytes(expected) + offset, static_cast<std::int32_t>(n)), 0);
        offset += n;
        step = step * 3 % 200000 + 1;  // 1 byte to ~200 KB, irregular
    }
    ASSERT_TRUE(
        WaitUntil([&] { return c.Flush() < 0 || c.PendingSend() == 0; }, std::chrono::seconds(20)));
    EXPECT_EQ(c.BytesSent(), static_cast<std::int64_t>(total));
    EXPECT_EQ(c.SendCapacity(), 0) << "an emptied send buffer goes back to the pool";
    server.Join();
    ASSERT_EQ(arrived.size(), total);
    EXPECT_TRUE(arrived == expected);
}

TEST(PeerConnection, LargeTransferArrivesIntactWithBoundedReceiveBuffer) {
    const std::size_t total = 16 * 1024 * 1024;
    ScriptedServer server([&](TPeerConnection& s) {
        const std::string data = Pattern(total);
        WriteAll(s, data, std::chrono::seconds(30));
        ReadAtLeast(s, 1, std::chrono::seconds(30));  // until the client is done
    });
    TPeerConnection c;
    ASSERT_TRUE(c.Connect(kLoopback, server.Port(), false));
    std::size_t checked = 0;
    std::int32_t largest = 0;
    bool intact = true;
    WaitUntil(
        [&] {
            if (c.Receive() < 0) {
                return true;
            }
            largest = std::max(largest, c.ReceiveCapacity());
            // Consume whole 16 KiB blocks as a peer would, leaving partial ones.
            const std::int32_t whole = c.DataSize() / 16384 * 16384;
            for (std::int32_t i = 0; i < whole && intact; ++i) {
                intact = c.Data()[i] == static_cast<std::uint8_t>((checked + i) % 251);
            }
            checked += static_cast<std::size_t>(whole);
            c.Consume(whole);
            return !intact || checked >= total;
        },
        std::chrono::seconds(30));
    EXPECT_TRUE(intact);
    EXPECT_EQ(checked, total);
    EXPECT_EQ(c.BytesReceived(), static_cast<std::int64_t>(total));
    EXPECT_LE(largest, 16384 + TPeerConnection::kDefaultReceiveSize + 2048);
    WriteAll(c, "done");
}

TEST(PeerConnection, ReadSizeIsTheCallersChoice) {
    const std::size_t total = 600 * 1024;
    std::atomic<bool> sent{false};
    ScriptedServer server([&](TPeerConnection& s) {
        WriteAll(s, Pattern(total), std::chrono::seconds(10));
        sent = true;
        ReadAtLeast(s, 1);
    });
    TPeerConnection c;
    ASSERT_TRUE(c.Connect(kLoopback, server.Port(), false));
    ASSERT_TRUE(WaitUntil([&] { return c.Receive(0) != 0; }));
    EXPECT_LE(c.DataSize(), TPeerConnection::kClassicReceiveSize) << "max <= 0 reads 43008";
    EXPECT_EQ(c.ReceiveCapacity(), 43008 + 2048);
    std::int32_t before = c.DataSize();
    ASSERT_TRUE(WaitUntil([&] { return c.Receive(100) != 0; }));
    EXPECT_LE(c.DataSize() - before, 100);
    EXPECT_EQ(c.ReceiveCapacity(), 43008 + 2048) << "room was left: no reallocation";
    before = c.DataSize();
    ASSERT_TRUE(WaitUntil([&] { return c.Receive() != 0; }));
    EXPECT_LE(c.DataSize() - before, TPeerConnection::kDefaultReceiveSize);
    EXPECT_EQ(c.ReceiveCapacity(), before + TPeerConnection::kDefaultReceiveSize + 2048);
    EXPECT_EQ(c.Data()[c.DataSize()], 0) << "the received bytes are followed by a zero";
    WriteAll(c, "x");
}

TEST(PeerConnection, RemoteCloseEndsReceiveButKeepsWhatArrived) {
    ScriptedServer server([](TPeerConnection& s) {
        WriteAll(s, "last words");
        s.Close();
    });
    TPeerConnection c;
    ASSERT_TRUE(c.Connect(kLoopback, server.Port(), false));
    ASSERT_TRUE(WaitUntil([&] { return c.Receive() < 0; }));
    EXPECT_FALSE(c.IsOpen()) << "the socket closes on the end of the stream";
    EXPECT_EQ(Text(c), "last words") << "bytes read before the end stay readable";
    EXPECT_EQ(c.Receive(), -1);
    c.Consume(5);
    EXPECT_EQ(Text(c), "words");
    c.Close();
    EXPECT_EQ(c.DataSize(), 0);
    EXPECT_EQ(c.BytesReceived(), 0);
}

TEST(PeerConnection, SendingToAVanishedPeerFailsWithoutASignal) {
    ScriptedServer server([](TPeerConnection& s) { s.Close(); });
    TPeerConnection c;
    ASSERT_TRUE(c.Connect(kLoopback, server.Port(), true));
    const std::string chunk(64 * 1024, 'z');
    // The first sends may still be accepted by the system; a broken pipe must come back
    // as -1, not kill the process.
    ASSERT_TRUE(WaitUntil([&] {
        return c.Send(Bytes(chunk), static_cast<std::int32_t>(chunk.size())) < 0 || c.Receive() < 0;
    }));
    EXPECT_FALSE(c.IsOpen());
    EXPECT_EQ(c.PendingSend(), 0) << "output that can no longer go anywhere is dropped";
}

TEST(PeerConnection, AcceptedConnectionIsReadyAtOnce) {
    TPeerConnection listener;
    std::uint16_t port = 0;
    for (int i = 0; i < 20 && !listener.Listening(); ++i) {
        port = static_cast<std::uint16_t>(test::FreeTcpPort());
        (void)listener.Listen(port, kLoopback);
    }
    ASSERT_TRUE(listener.Listening());
    EXPECT_EQ(listener.Accept(), nullptr) << "nothing waiting";
    EXPECT_TRUE(listener.IsOpen()) << "an empty accept keeps the listener";
    EXPECT_FALSE(listener.IsConnected());

    TPeerConnection client;
    ASSERT_TRUE(client.Connect(kLoopback, port, true));
    std::unique_ptr<TPeerConnection> accepted;
    ASSERT_TRUE(WaitUntil([&] { return (accepted = listener.Accept()) != nullptr; }));
    EXPECT_TRUE(accepted->TunnelReady());
    EXPECT_TRUE(accepted->IsConnected());
    EXPECT_EQ(accepted->HostText(), "127.0.0.1");
    EXPECT_EQ(accepted->RemotePort(), client.LocalPort());
    EXPECT_EQ(accepted->LocalPort(), port);
    EXPECT_EQ(accepted->LocalIp(), kLoopback);
    EXPECT_GT(accepted->ConnectTime(), 0);
    EXPECT_EQ(accepted->ConnectTime(), accepted->LastTime());

    // Rates: bytes over the seconds since the connect, at least one second.
    EXPECT_EQ(accepted->AverageReceiveRate(accepted->ConnectTime() + 5), 0) << "no bytes yet";
    ASSERT_TRUE(WriteAll(client, std::string(1000, 'r')));
    ASSERT_EQ(ReadAtLeast(*accepted, 1000).size(), 1000u);
    EXPECT_EQ(accepted->AverageReceiveRate(accepted->ConnectTime()), 1000);
    EXPECT_EQ(accepted->AverageReceiveRate(accepted->ConnectTime() + 10), 100);
    EXPECT_EQ(accepted->AverageSendRate(accepted->ConnectTime() + 10), 0);
    accepted->SetReceiveBuffer(0);  // out of range: the fallback size, no failure
    accepted->SetReceiveBuffer(65536);
    EXPECT_TRUE(accepted->IsOpen());
}

TEST(PeerConnection, ConnectToResolvesTheHostWhenGoingDirect) {
    ScriptedServer server([](TPeerConnection& s) { WriteAll(s, "hi"); });
    TPeerConnection c;
    ASSERT_TRUE(c.ConnectTo("localhost", server.Port(), true));
    EXPECT_EQ(c.HostText(), "localhost");
    EXPECT_EQ(c.RemoteIp(), kLoopback);
    EXPECT_EQ(ReadAtLeast(c, 2), "hi");

    EXPECT_FALSE(c.ConnectTo("local host", server.Port(), false));
    EXPECT_FALSE(c.ConnectTo("localhost\r\nX: y", server.Port(), false));
    EXPECT_FALSE(c.ConnectTo("", server.Port(), false));
    EXPECT_FALSE(c.ConnectTo(nullptr, server.Port(), false));
    EXPECT_FALSE(c.IsOpen());
}

// A transport standing in for the UDP pseudo-sockets: every connect succeeds at once and
// every byte sent comes back as received.
class LoopTransport final : public TSocketTransport {
  public:
    SocketHandle Open(int*) noexcept override { return 7; }
    void CloseHandle(SocketHandle) noexcept override { ++closed; }
    int Bind(SocketHandle, const SocketAddress&) noexcept override { return 0; }
    int Connect(SocketHandle, const SocketAddress& remote) noexcept override {
        dialled = remote;
        return 0;
    }
    int Listen(SocketHandle, int backlog) noexcept override {
        lastBacklog = backlog;
        return 0;
    }
    SocketHandle Accept(SocketHandle, SocketAddress*, int* error) noexcept override {
        *error = 10054;  // a pseudo-socket accept failure never closes the listener
        return kInvalidSocket;
    }
    std::int64_t Send(SocketHandle, const std::uint8_t* data, std::int64_t size,
                      int*) noexcept override {
        echo.insert(echo.end(), data, data + size);
        return size;
    }
    std::int64_t Receive(SocketHandle, std::uint8_t* data, std::int64_t size,
                         int*) noexcept override {
        if (echo.empty()) {
            return kIoWouldBlock;
        }
        const auto n = std::min<std::int64_t>(size, static_cast<std::int64_t>(echo.size()));
        std::copy(echo.begin(), echo.begin() + n, data);
        echo.erase(echo.begin(), echo.begin() + n);
        return n;
    }
    int Wait(SocketHandle, bool, int) noexcept override { return 1; }
    int PendingError(SocketHandle) noexcept override { return 0; }
    bool LocalAddress(SocketHandle, SocketAddress* local) noexcept override {
        *local = dialled;
        return true;
    }
    bool SetReceiveBufferSize(SocketHandle, int) noexcept override {
        ++bufferCalls;
        return true;
    }

    SocketAddress dialled;
    std::deque<std::uint8_t> echo;
    int closed = 0;
    int lastBacklog = 0;
    int bufferCalls = 0;
};

TEST(PeerConnection, NodeIdSelectsThePseudoSocketTransport) {
    const std::uint8_t node[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    SetPseudoSocketTransport(nullptr);
    TPeerConnection c;
    EXPECT_FALSE(c.Connect(kLoopback, 6881, false, nullptr, 0, node))
        << "no UDP layer running: no pseudo-socket";
    EXPECT_FALSE(c.IsOpen());

    LoopTransport transport;
    SetPseudoSocketTransport(&transport);
    TProxySettings proxy;  // a proxy never applies to pseudo-sockets
    proxy.type = kProxySocks5;
    proxy.ip = kLoopback;
    proxy.port = 1080;
    ASSERT_TRUE(c.Connect(kLoopback, 6881, false, &proxy, 0, node));
    EXPECT_TRUE(c.UdpMode());
    EXPECT_TRUE(c.TunnelReady());
    EXPECT_EQ(transport.dialled.port, 6881);
    EXPECT_EQ(std::memcmp(transport.dialled.node, node, 8), 0);
    EXPECT_EQ(std::memcmp(c.RemoteNode(), node, 8), 0);
    EXPECT_EQ(std::memcmp(c.RemoteNode() + 8, "UDP0", 4), 0);
    c.SetReceiveBuffer(4096);
    EXPECT_EQ(transport.bufferCalls, 0) << "ignored in UDP mode";
    EXPECT_EQ(c.Send(Bytes("ping"), 4), 4);
    EXPECT_EQ(c.Receive(), 4);
    EXPECT_EQ(Text(c), "ping");
    c.Close();
    EXPECT_EQ(transport.closed, 1);

    ASSERT_TRUE(c.Listen(6881, kLoopback, node));
    EXPECT_EQ(transport.lastBacklog, TPeerConnection::kUdpBacklog);
    EXPECT_EQ(c.Accept(), nullptr);
    EXPECT_TRUE(c.IsOpen()) << "a failed pseudo-socket accept keeps the listener";
    c.Close();
    SetPseudoSocketTransport(nullptr);
}

}  // namespace
}  // namespace koruvan::engine
