// The server's thread on real loopback sockets: registration reaches the rendezvous
// address, DHT datagrams reach their handler while the transport is off, DHT sends go
// out, and a changed local port makes the loop rebind.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/base/EngineClock.h"
#include "engine/dht/QUInternalServer.h"
#include "engine/peers/BufferPool.h"
#include "support/WaitFor.h"

namespace koruvan::engine {
namespace {

// A UDP socket on 127.0.0.1 with a free port.
struct LoopbackSocket {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int port = 0;
    LoopbackSocket() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        socklen_t len = sizeof(a);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~LoopbackSocket() { ::close(fd); }
    // The next datagram within a second; empty when none came.
    std::string Receive(int* fromPort = nullptr) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) != 1) {
            return {};
        }
        char buffer[9000];
        sockaddr_in from{};
        socklen_t len = sizeof(from);
        const ssize_t n =
            ::recvfrom(fd, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (fromPort != nullptr) {
            *fromPort = ntohs(from.sin_port);
        }
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }
    void SendTo(int toPort, const std::string& bytes) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(static_cast<std::uint16_t>(toPort));
        ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    }
};

int FreeUdpPort() {
    LoopbackSocket s;
    return s.port;
}

TEST(UdpServerSocket, LoopOnLoopbackRegistersServesTheDhtAndRebinds) {
    LoopbackSocket rendezvous;
    LoopbackSocket peer;
    UdpServerConfig config;
    std::strcpy(config.serverHost, "127.0.0.1");
    config.serverPort = rendezvous.port;
    config.localPort = FreeUdpPort();
    config.localIp = htonl(INADDR_LOOPBACK);
    config.nodeId[0] = 0x42;
    {
        QUInternalServer server;
        std::atomic<int> dhtMessages{0};
        server.SetDhtHandler([&](const std::uint8_t* d, int n, std::uint32_t, int port) {
            if (n == 12 && std::memcmp(d, "d1:y1:qe....", 12) == 0 && port == peer.port) {
                ++dhtMessages;
            }
        });
        server.SetTransportDisabled(false);
        ASSERT_EQ(server.Start(config), 0);
        EXPECT_EQ(server.Start(config), 0);  // already running: no change

        int nodePort = 0;
        std::string m = rendezvous.Receive(&nodePort);
        ASSERT_EQ(m.size(), 64u);
        EXPECT_EQ(nodePort, config.localPort);
        EXPECT_EQ(m[12 + 3], 2);  // register
        rendezvous.SendTo(nodePort, std::string("\x7f\x00\x00\x01\x00\x00\x1f\x40", 8));
        EXPECT_TRUE(test::WaitFor([&] { return server.ServerReplied(); }));
        EXPECT_FALSE(server.IsBehindNat());

        // Transport off, DHT on: the loop keeps the socket for DHT traffic only.
        server.SetDhtRunning(true);
        server.SetTransportDisabled(true);
        peer.SendTo(nodePort, "d1:y1:qe....");
        EXPECT_TRUE(test::WaitFor([&] { return dhtMessages.load() == 1; }));
        ASSERT_TRUE(server.SendDatagram("d1:y1:re", 8, htonl(INADDR_LOOPBACK), peer.port));
        EXPECT_EQ(peer.Receive(), "d1:y1:re");
        EXPECT_FALSE(server.SendDatagram("x", 0, htonl(INADDR_LOOPBACK), peer.port));
        EXPECT_FALSE(server.SendDatagram("x", 1, 0, peer.port));

        // The P2P service moves the socket to its TCP port: the loop rebinds to it.
        const int moved = FreeUdpPort();
        server.SetLocalAddress(htonl(INADDR_LOOPBACK), moved);
        EXPECT_TRUE(test::WaitFor([&] { return server.BoundPort() == moved; }));
        peer.SendTo(moved, "d1:y1:qe....");
        EXPECT_TRUE(test::WaitFor([&] { return dhtMessages.load() == 2; }));

        // Neither transport nor DHT: the socket is closed until one of them returns.
        server.SetDhtRunning(false);
        EXPECT_TRUE(test::WaitFor([&] { return server.BoundPort() == 0; }));
        server.SetTransportDisabled(false);
        EXPECT_TRUE(test::WaitFor([&] { return server.BoundPort() == moved; }));
        EXPECT_EQ(rendezvous.Receive().size(), 64u);  // registers again after the pause
        server.Stop();
    }
    StopEngineClock();
}

// The system clock, with every wait of the loop recorded and the callers' waits counted.
class RecordingClock final : public UdpClock {
  public:
    int Poll(pollfd* fds, int count, int timeoutMs) noexcept override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            timeouts_.push_back(timeoutMs);
        }
        return UdpClock::Poll(fds, count, timeoutMs);
    }
    void Wait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, std::int64_t ms,
              const std::function<bool()>& ready) noexcept override {
        ++waits;
        UdpClock::Wait(cv, lock, ms, ready);
    }
    std::vector<int> Timeouts() {
        std::lock_guard<std::mutex> lock(mutex_);
        return timeouts_;
    }
    std::atomic<int> waits{0};

  private:
    std::mutex mutex_;
    std::vector<int> timeouts_;
};

TEST(UdpServerSocket, AnIdleLoopWaitsForItsNextTimerAndAStopEndsEveryWait) {
    LoopbackSocket rendezvous;
    UdpServerConfig config;
    std::strcpy(config.serverHost, "127.0.0.1");
    config.serverPort = rendezvous.port;
    config.localPort = FreeUdpPort();
    config.localIp = htonl(INADDR_LOOPBACK);
    config.nodeId[0] = 0x43;
    {
        RecordingClock clock;
        QUInternalServer server(&clock);
        server.SetTransportDisabled(false);
        ASSERT_EQ(server.Start(config), 0);
        int nodePort = 0;
        ASSERT_EQ(rendezvous.Receive(&nodePort).size(), 64u);  // register
        rendezvous.SendTo(nodePort, std::string("\x7f\x00\x00\x01\x00\x00\x1f\x40", 8));
        ASSERT_TRUE(test::WaitFor([&] { return server.ServerReplied(); }));
        // The wait after the answer: until the keep-alive, 52 s on, not a short look.
        ASSERT_TRUE(test::WaitFor([&] { return clock.Timeouts().size() >= 2; }));
        for (int timeout : clock.Timeouts()) {
            EXPECT_GE(timeout, 40000);
        }
        // A caller waiting without a time limit is let go by the stop, as is the loop.
        const std::uint32_t listener = server.UdpSocket();
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(6881);
        ASSERT_EQ(server.UdpBind(listener, &any, sizeof(any)), 0);
        ASSERT_EQ(server.UdpListen(listener, 4), 0);
        std::atomic<int> ready{-1};
        std::thread waiter([&] {
            std::vector<std::uint32_t> readable{listener};
            ready = server.UdpSelect(&readable, nullptr, nullptr, nullptr);
        });
        EXPECT_TRUE(test::WaitFor([&] { return clock.waits.load() == 1; }));
        server.Stop();
        waiter.join();
        EXPECT_EQ(ready.load(), 0);
        EXPECT_FALSE(server.IsRunning());
    }
    StopEngineClock();
}

TEST(UdpServerSocket, StartRefusesBadConfigurations) {
    QUInternalServer server;
    UdpServerConfig good;
    std::strcpy(good.serverHost, "127.0.0.1");
    struct Case {
        const char* what;
        void (*spoil)(UdpServerConfig&);
    } cases[] = {
        {"empty host", [](UdpServerConfig& c) { c.serverHost[0] = 0; }},
        {"server port 0", [](UdpServerConfig& c) { c.serverPort = 0; }},
        {"server port 65536", [](UdpServerConfig& c) { c.serverPort = 65536; }},
        {"local port 0", [](UdpServerConfig& c) { c.localPort = 0; }},
        {"time-out 0", [](UdpServerConfig& c) { c.connectTimeoutSeconds = 0; }},
    };
    for (const Case& c : cases) {
        UdpServerConfig config = good;
        c.spoil(config);
        EXPECT_EQ(server.Start(config), -1) << c.what;
        EXPECT_FALSE(server.IsRunning()) << c.what;
    }
}

TEST(UdpServerSocket, LocalAddressRule) {
    const auto ip = [](const char* d) { return inet_addr(d); };
    struct Case {
        std::vector<std::uint32_t> addresses;
        std::uint32_t expected;
    } cases[] = {
        {{}, 0},
        {{ip("127.0.0.1"), ip("192.168.1.4")}, ip("192.168.1.4")},
        {{ip("127.0.0.1"), ip("198.51.100.7"), ip("10.0.0.2")}, ip("198.51.100.7")},
        {{ip("203.0.113.1"), ip("172.20.0.1"), ip("198.51.100.7")}, ip("198.51.100.7")},
        {{ip("172.15.0.1"), ip("169.254.3.3")}, ip("172.15.0.1")},
        {{ip("6.1.1.1"), ip("7.1.1.1")}, ip("7.1.1.1")},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PickLocalAddress(c.addresses), c.expected);
    }
}

TEST(UdpServerSocket, RegistrationPassReleasesMostlyIdleBuffers) {
    struct Case {
        std::size_t blocks;  // of 256 KiB
        std::size_t inUse;
        bool released;
    } cases[] = {{8, 1, false}, {9, 3, true}, {9, 4, false}, {20, 7, true}};
    for (const Case& c : cases) {
        TBufferPool pool(0, 0);
        std::vector<std::uint8_t*> blocks;
        for (std::size_t i = 0; i < c.blocks; ++i) {
            blocks.push_back(pool.Take(256 * 1024));
        }
        for (std::size_t i = c.inUse; i < c.blocks; ++i) {
            pool.Give(blocks[i]);
        }
        EXPECT_EQ(ReleaseIdleBuffers(pool), c.released) << c.blocks << "/" << c.inUse;
        EXPECT_EQ(pool.Totals().freeBytes == 0, c.released || c.blocks == c.inUse);
        for (std::size_t i = 0; i < c.inUse; ++i) {
            pool.Give(blocks[i]);
        }
    }
}

}  // namespace
}  // namespace koruvan::engine
