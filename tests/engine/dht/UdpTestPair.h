// Two nodes of the hand-driven UDP test net with a listener on the second, the connect
// and accept between them, and a stream moved both ways: shared by the pseudo-socket tests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/dht/UdpTestNet.h"
#include "engine/dht/UdpWire.h"

namespace koruvan::engine::test {

inline constexpr int kListenPort = 6881;

inline sockaddr_in Address(const char* ip, int port, const std::uint8_t* id) {
    sockaddr_in s{};
    s.sin_family = AF_INET;
    s.sin_addr.s_addr = Ip(ip);
    s.sin_port = htons(static_cast<std::uint16_t>(port));
    if (id != nullptr) {
        std::memcpy(s.sin_zero, id, 8);
    }
    return s;
}

struct Pair {
    UdpTestNet net;
    QUInternalServer& a = net.AddNode("198.51.100.10", 7001, 0x10);
    QUInternalServer& b = net.AddNode("203.0.113.20", 7002, 0x20);
    std::uint32_t listener = 0;
    std::uint32_t client = 0;
    std::uint32_t accepted = 0;

    Pair() { net.Run(50); }  // both register

    void Listen() {
        listener = b.UdpSocket();
        const sockaddr_in any = Address("0.0.0.0", kListenPort, nullptr);
        ASSERT_EQ(b.UdpBind(listener, &any, sizeof(any)), 0);
        ASSERT_EQ(b.UdpListen(listener, 8), 0);
    }
    // a connects to b's listener and b accepts; true when both ends are established.
    bool Connect(int port = kListenPort) {
        client = a.UdpSocket();
        const sockaddr_in to = Address("203.0.113.20", port, b.Identity());
        EXPECT_EQ(a.UdpConnect(client, &to, sizeof(to)), -1);
        EXPECT_EQ(UdpLastError(), udp::kWsaEwouldblock);
        for (int i = 0; i < 300 && accepted == 0; ++i) {
            net.Run(10);
            sockaddr_in from{};
            int length = 0;
            accepted = b.UdpAccept(listener, &from, &length);
            if (accepted != 0) {
                EXPECT_EQ(length, 16);
                EXPECT_EQ(from.sin_addr.s_addr, Ip("198.51.100.10"));
                EXPECT_EQ(std::memcmp(from.sin_zero, a.Identity(), 8), 0);
            }
        }
        return accepted != 0 && a.ConnectionState(client) == udp::kEstablished;
    }
};

inline std::vector<std::uint8_t> Pattern(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = static_cast<std::uint8_t>((i * 131 + i / 251) & 0xFF);
    }
    return v;
}

// Moves `data` from one end to the other, both ways at once, within `limitMs` of engine time.
inline bool Exchange(Pair& p, const std::vector<std::uint8_t>& data, std::uint32_t limitMs) {
    std::vector<std::uint8_t> atB;
    std::vector<std::uint8_t> atA;
    std::size_t sentA = 0;
    std::size_t sentB = 0;
    std::uint8_t buffer[4096];
    for (std::uint32_t t = 0; t < limitMs; t += 10) {
        if (sentA < data.size()) {
            const int n =
                p.a.UdpSend(p.client, data.data() + sentA, static_cast<int>(data.size() - sentA));
            sentA += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        if (sentB < data.size()) {
            const int n =
                p.b.UdpSend(p.accepted, data.data() + sentB, static_cast<int>(data.size() - sentB));
            sentB += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        for (int n; (n = p.b.UdpRecv(p.accepted, buffer, sizeof(buffer))) > 0;) {
            atB.insert(atB.end(), buffer, buffer + n);
        }
        for (int n; (n = p.a.UdpRecv(p.client, buffer, sizeof(buffer))) > 0;) {
            atA.insert(atA.end(), buffer, buffer + n);
        }
        if (atA.size() == data.size() && atB.size() == data.size()) {
            return atA == data && atB == data;
        }
        p.net.Run(10);
    }
    ADD_FAILURE() << "moved " << atB.size() << " and " << atA.size() << " of " << data.size();
    return false;
}

}  // namespace koruvan::engine::test
