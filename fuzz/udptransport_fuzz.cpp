// Fuzz target for the UDP server's dispatcher: rendezvous replies, connect notices, hole
// punches and pseudo-socket packets. A node with a listener, an outgoing connection and an
// accepted one receives a sequence of datagrams; nothing is sent anywhere (a sink takes the
// answers and checks their size).
//
// Input: records of [flags][length (2 bytes)][bytes]. Flag bit 0: from the rendezvous
// server's address, else from a peer; bit 1: write this node's id at 20..27; bit 2: fill in
// the length and checksum fields; bit 3: run the timers after it, 1 s later.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/dht/QUInternalServer.h"
#include "engine/dht/UdpWire.h"

namespace {

using namespace koruvan::engine;

class FuzzClock final : public UdpClock {
  public:
    std::uint32_t Tick() noexcept override { return tick; }
    std::uint32_t Seconds() noexcept override { return seconds; }
    void Sleep(std::uint32_t ms) noexcept override { tick += ms; }
    std::uint32_t tick = 50000;
    std::uint32_t seconds = 100;
};

constexpr std::uint32_t kServerIp = 0x010200C0u;  // 192.0.2.1 in network order
constexpr std::uint32_t kPeerIp = 0x140071CBu;    // 203.0.113.20

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzClock clock;
    QUInternalServer server(&clock);
    UdpServerConfig config;
    std::strcpy(config.serverHost, "192.0.2.1");
    config.localIp = 0x0A6433C6u;  // 198.51.100.10
    config.localPort = 7001;
    for (int i = 0; i < 8; ++i) {
        config.nodeId[i] = static_cast<std::uint8_t>(0x10 + i);
    }
    server.Configure(config);
    server.SetTransportDisabled(false);
    server.SetDatagramSink([](const std::uint8_t*, int len, std::uint32_t ip, int port) {
        if (len < 1 || len > udp::kMaxDatagram || ip == 0 || port < 1 || port > 65535) {
            std::abort();
        }
        return 0;
    });
    server.SetDhtHandler([](const std::uint8_t* d, int n, std::uint32_t, int) {
        if (n <= 8 || d[0] != 'd' || d[n] != 0) {
            std::abort();
        }
    });
    const std::uint32_t listener = server.UdpSocket();
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(6881);
    server.UdpBind(listener, &any, sizeof(any));
    server.UdpListen(listener, 4);
    const std::uint32_t client = server.UdpSocket();
    sockaddr_in peer = any;
    peer.sin_addr.s_addr = kPeerIp;
    std::memcpy(peer.sin_zero, "\x20\x21\x22\x23\x24\x25\x26\x27", 8);
    server.UdpConnect(client, &peer, sizeof(peer));

    std::size_t at = 0;
    std::vector<std::uint8_t> datagram;
    std::uint8_t buffer[4096];
    while (at + 3 <= size) {
        const std::uint8_t flags = data[at];
        std::size_t length = (std::size_t{data[at + 1]} << 8) | data[at + 2];
        at += 3;
        length = std::min(length, size - at);
        datagram.assign(data + at, data + at + length);
        at += length;
        if ((flags & 2) != 0 && datagram.size() >= 28) {
            std::memcpy(datagram.data() + 20, server.Identity(), 8);
        }
        if ((flags & 4) != 0 && datagram.size() >= 32) {
            udp::Put32(datagram.data(), static_cast<std::uint32_t>(datagram.size()));
            udp::Put32(datagram.data() + 4,
                       static_cast<std::uint32_t>(
                           adler32(udp::Get32(datagram.data() + 8), datagram.data() + 32,
                                   static_cast<uInt>(datagram.size() - 32))));
        }
        const int n = static_cast<int>(datagram.size());
        datagram.push_back(0);
        server.HandleDatagram(datagram.data(), n, (flags & 1) != 0 ? kServerIp : kPeerIp,
                              (flags & 1) != 0 ? 82 : 7002);
        if ((flags & 8) != 0) {
            clock.tick += 1000;
            clock.seconds += 1;
            server.RunTimers();
        }
        sockaddr_in from{};
        int fromLength = 0;
        if (const std::uint32_t h = server.UdpAccept(listener, &from, &fromLength)) {
            server.UdpRecv(h, buffer, sizeof(buffer));
            server.UdpSend(h, buffer, 2000);
        }
        server.UdpRecv(client, buffer, sizeof(buffer));
        server.UdpSend(client, buffer, 3000);
    }
    return 0;
}
