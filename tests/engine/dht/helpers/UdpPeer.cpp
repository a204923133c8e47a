// A node of the UDP transport for the NAT lab and the benchmark: one pseudo-socket stream
// between two processes (in network namespaces), or the same stream over TCP for comparison.
//
//   koruvan_udp_peer listen  RENDEZVOUS_IP:PORT UDP_PORT ID_BYTE LISTEN_PORT BYTES
//   koruvan_udp_peer connect RENDEZVOUS_IP:PORT UDP_PORT ID_BYTE TARGET_IP:LISTEN_PORT
//                            TARGET_ID_BYTE BYTES
//   koruvan_udp_peer tcp-listen LISTEN_PORT BYTES
//   koruvan_udp_peer tcp-connect TARGET_IP:PORT BYTES
//
// The connector first tries TCP to the target (2 s) and prints "tcp: connected" or
// "tcp: unreachable"; then it sends BYTES of a fixed pattern over a pseudo-socket. The
// listener checks every byte and answers "VERIFIED". Both print one line of figures:
// "udp: BYTES bytes in MS ms, loss L %, window W, payload P, sends S, retransmits R".
// Exit status 0 only when the whole stream arrived intact.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/base/EngineClock.h"
#include "engine/dht/QUInternalServer.h"

namespace {

using namespace koruvan::engine;
using Clock = std::chrono::steady_clock;

std::uint8_t PatternByte(std::uint64_t i) {
    return static_cast<std::uint8_t>((i * 131 + i / 251) & 0xFF);
}

bool ParseEndpoint(const char* text, std::uint32_t* ip, int* port) {
    const char* colon = std::strrchr(text, ':');
    if (colon == nullptr) {
        return false;
    }
    const std::string host(text, colon);
    *port = std::atoi(colon + 1);
    return inet_pton(AF_INET, host.c_str(), ip) == 1 && *port > 0 && *port < 65536;
}

long long ElapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

void PrintFigures(QUInternalServer& s, std::uint32_t h, std::uint64_t bytes, long long ms) {
    const auto f = s.FiguresOf(h);
    std::printf(
        "udp: %llu bytes in %lld ms, loss %d %%, window %d, payload %d, sends %d, "
        "retransmits %d\n",
        static_cast<unsigned long long>(bytes), ms, f.lossRate, f.window, f.payloadSize, f.sends,
        f.retransmits);
    std::fflush(stdout);
}

bool StartServer(QUInternalServer& s, const char* rendezvous, int udpPort, int idByte) {
    UdpServerConfig config;
    std::uint32_t ip = 0;
    int port = 0;
    if (!ParseEndpoint(rendezvous, &ip, &port)) {
        return false;
    }
    inet_ntop(AF_INET, &ip, config.serverHost, sizeof(config.serverHost));
    config.serverPort = port;
    config.localPort = udpPort;
    for (int i = 0; i < 8; ++i) {
        config.nodeId[i] = static_cast<std::uint8_t>(idByte + i);
    }
    // A register lost on a lossy link is sent again at the next keep-alive: keep that short.
    config.keepAliveSeconds = 10;
    s.SetTransportDisabled(false);
    return s.Start(config) == 0;
}

// Waits until the rendezvous answered the registration (up to 45 s, past a few lost
// registers); a peer looked up before it is registered is refused at once.
bool WaitRegistered(QUInternalServer& s) {
    for (int i = 0; i < 450 && !s.ServerReplied(); ++i) {
        SleepMs(100);
    }
    return s.ServerReplied();
}

// Waits for one handle to be readable (or writable) for up to ms.
bool WaitFor(QUInternalServer& s, std::uint32_t h, bool write, int ms) {
    std::vector<std::uint32_t> set{h};
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    const int n = write ? s.UdpSelect(nullptr, &set, nullptr, &limit)
                        : s.UdpSelect(&set, nullptr, nullptr, &limit);
    return n > 0;
}

int TcpListenSocket(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int TcpConnect(std::uint32_t ip, int port, int timeoutMs) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ip;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    pollfd p{fd, POLLOUT, 0};
    int error = -1;
    socklen_t len = sizeof(error);
    if (::poll(&p, 1, timeoutMs) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 &&
        error == 0) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return fd;
    }
    ::close(fd);
    return -1;
}

int Listen(char** argv) {
    QUInternalServer server;
    const int listenPort = std::atoi(argv[5]);
    const std::uint64_t bytes = std::strtoull(argv[6], nullptr, 10);
    if (!StartServer(server, argv[2], std::atoi(argv[3]), std::atoi(argv[4]))) {
        return 2;
    }
    const int tcp = TcpListenSocket(listenPort);  // reachable only without a NAT in between
    const std::uint32_t listener = server.UdpSocket();
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(static_cast<std::uint16_t>(listenPort));
    if (server.UdpBind(listener, &any, sizeof(any)) != 0 || server.UdpListen(listener, 8) != 0) {
        return 2;
    }
    if (!WaitRegistered(server)) {
        std::printf("not registered\n");
        return 1;
    }
    std::printf("listening\n");
    std::fflush(stdout);
    std::uint32_t h = 0;
    for (int i = 0; i < 600 && h == 0; ++i) {
        WaitFor(server, listener, false, 100);
        h = server.UdpAccept(listener, nullptr, nullptr);
    }
    if (h == 0) {
        std::printf("no connection\n");
        return 1;
    }
    std::printf("accepted\n");
    std::fflush(stdout);
    const auto start = Clock::now();
    std::vector<std::uint8_t> buffer(65536);
    std::uint64_t got = 0;
    bool intact = true;
    while (got < bytes && ElapsedMs(start) < 600000) {
        if (!WaitFor(server, h, false, 1000)) {
            continue;
        }
        const int n = server.UdpRecv(h, buffer.data(), static_cast<int>(buffer.size()));
        if (n < 0 && UdpLastError() != 10035) {
            break;
        }
        for (int i = 0; i < n; ++i) {
            intact = intact && buffer[i] == PatternByte(got + i);
        }
        got += n > 0 ? static_cast<std::uint64_t>(n) : 0;
    }
    PrintFigures(server, h, got, ElapsedMs(start));
    const bool ok = intact && got == bytes;
    if (ok) {
        server.UdpSend(h, reinterpret_cast<const std::uint8_t*>("VERIFIED"), 8);
    }
    std::printf("%s\n", ok ? "stream intact" : "stream damaged");
    // Let the answer arrive before the connection goes away.
    for (int i = 0; i < 100 && server.ConnectionState(h) == 5; ++i) {
        WaitFor(server, h, false, 100);
        server.UdpRecv(h, buffer.data(), 1);
    }
    server.UdpCloseSocket(h);
    if (tcp >= 0) {
        ::close(tcp);
    }
    server.Stop();
    StopEngineClock();
    return ok ? 0 : 1;
}

int Connect(char** argv) {
    std::uint32_t targetIp = 0;
    int targetPort = 0;
    if (!ParseEndpoint(argv[5], &targetIp, &targetPort)) {
        return 2;
    }
    const int targetId = std::atoi(argv[6]);
    const std::uint64_t bytes = std::strtoull(argv[7], nullptr, 10);
    const int tcp = TcpConnect(targetIp, targetPort, 2000);
    std::printf("tcp: %s\n", tcp >= 0 ? "connected" : "unreachable");
    if (tcp >= 0) {
        ::close(tcp);
    }
    QUInternalServer server;
    if (!StartServer(server, argv[2], std::atoi(argv[3]), std::atoi(argv[4]))) {
        return 2;
    }
    const std::uint32_t h = server.UdpSocket();
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = targetIp;
    to.sin_port = htons(static_cast<std::uint16_t>(targetPort));
    for (int i = 0; i < 8; ++i) {
        to.sin_zero[i] = static_cast<char>(targetId + i);
    }
    // The external address is known once the rendezvous answered the registration.
    if (!WaitRegistered(server)) {
        std::printf("udp: not registered\n");
        return 1;
    }
    const auto start = Clock::now();
    server.UdpConnect(h, &to, sizeof(to));
    while (server.ConnectionState(h) != 5 && server.ConnectionState(h) != 6 &&
           ElapsedMs(start) < 60000) {
        WaitFor(server, h, true, 200);
    }
    if (server.ConnectionState(h) != 5) {
        std::printf("udp: not established\n");
        return 1;
    }
    std::printf("established after %lld ms\n", ElapsedMs(start));
    std::fflush(stdout);
    const auto sendStart = Clock::now();
    std::vector<std::uint8_t> chunk(65536);
    std::uint64_t sent = 0;
    while (sent < bytes && ElapsedMs(sendStart) < 600000) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), bytes - sent));
        for (std::size_t i = 0; i < n; ++i) {
            chunk[i] = PatternByte(sent + i);
        }
        const int taken = server.UdpSend(h, chunk.data(), static_cast<int>(n));
        if (taken > 0) {
            sent += static_cast<std::uint64_t>(taken);
        } else if (UdpLastError() != 10035) {
            break;
        } else {
            WaitFor(server, h, true, 1000);
        }
    }
    std::uint8_t answer[16] = {};
    int got = 0;
    while (got < 8 && ElapsedMs(sendStart) < 600000) {
        if (WaitFor(server, h, false, 1000)) {
            const int n = server.UdpRecv(h, answer + got, 8 - got);
            if (n < 0 && UdpLastError() != 10035) {
                break;
            }
            got += n > 0 ? n : 0;
        }
    }
    PrintFigures(server, h, sent, ElapsedMs(sendStart));
    const bool ok = got == 8 && std::memcmp(answer, "VERIFIED", 8) == 0;
    std::printf("%s\n", ok ? "peer verified the stream" : "no verification");
    server.UdpCloseSocket(h);
    server.Stop();
    StopEngineClock();
    return ok ? 0 : 1;
}

int TcpListen(char** argv) {
    const int fd = TcpListenSocket(std::atoi(argv[2]));
    const std::uint64_t bytes = std::strtoull(argv[3], nullptr, 10);
    if (fd < 0) {
        return 2;
    }
    std::printf("listening\n");
    std::fflush(stdout);
    const int c = ::accept(fd, nullptr, nullptr);
    const auto start = Clock::now();
    std::vector<std::uint8_t> buffer(65536);
    std::uint64_t got = 0;
    bool intact = true;
    while (got < bytes) {
        const ssize_t n = ::recv(c, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            break;
        }
        for (ssize_t i = 0; i < n; ++i) {
            intact = intact && buffer[i] == PatternByte(got + i);
        }
        got += static_cast<std::uint64_t>(n);
    }
    std::printf("tcp: %llu bytes in %lld ms\n", static_cast<unsigned long long>(got),
                ElapsedMs(start));
    const bool ok = intact && got == bytes;
    if (ok) {
        ::send(c, "VERIFIED", 8, MSG_NOSIGNAL);
    }
    ::close(c);
    ::close(fd);
    return ok ? 0 : 1;
}

int TcpSend(char** argv) {
    std::uint32_t ip = 0;
    int port = 0;
    if (!ParseEndpoint(argv[2], &ip, &port)) {
        return 2;
    }
    const std::uint64_t bytes = std::strtoull(argv[3], nullptr, 10);
    const int fd = TcpConnect(ip, port, 5000);
    if (fd < 0) {
        std::printf("tcp: unreachable\n");
        return 1;
    }
    const auto start = Clock::now();
    std::vector<std::uint8_t> chunk(65536);
    std::uint64_t sent = 0;
    while (sent < bytes) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), bytes - sent));
        for (std::size_t i = 0; i < n; ++i) {
            chunk[i] = PatternByte(sent + i);
        }
        const ssize_t w = ::send(fd, chunk.data(), n, MSG_NOSIGNAL);
        if (w <= 0) {
            break;
        }
        sent += static_cast<std::uint64_t>(w);
    }
    char answer[8] = {};
    const bool ok =
        ::recv(fd, answer, 8, MSG_WAITALL) == 8 && std::memcmp(answer, "VERIFIED", 8) == 0;
    std::printf("tcp: %llu bytes in %lld ms\n", static_cast<unsigned long long>(sent),
                ElapsedMs(start));
    ::close(fd);
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "listen" && argc == 7) {
        return Listen(argv);
    }
    if (mode == "connect" && argc == 8) {
        return Connect(argv);
    }
    if (mode == "tcp-listen" && argc == 4) {
        return TcpListen(argv);
    }
    if (mode == "tcp-connect" && argc == 4) {
        return TcpSend(argv);
    }
    std::fprintf(stderr, "usage: see the head of UdpPeer.cpp\n");
    return 2;
}
