// The UDP server's own traffic: sorting between DHT and transport, rendezvous messages and
// their replies, lookup batching, connect notices and hole punching.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/dht/UdpTestNet.h"
#include "engine/dht/UdpWire.h"

namespace koruvan::engine::test {
namespace {

using namespace udp;

const std::uint32_t kServer = Ip("192.0.2.1");

struct Fixture {
    UdpTestNet net;
    QUInternalServer& a = net.AddNode("198.51.100.10", 6881, 0x10);

    void Feed(std::vector<std::uint8_t> bytes, std::uint32_t ip, int port) {
        bytes.push_back(0);
        a.HandleDatagram(bytes.data(), static_cast<int>(bytes.size() - 1), ip, port);
    }
    sockaddr_in Target(const char* ip, int port, const std::uint8_t* id) {
        sockaddr_in s{};
        s.sin_family = AF_INET;
        s.sin_addr.s_addr = Ip(ip);
        s.sin_port = htons(static_cast<std::uint16_t>(port));
        std::memcpy(s.sin_zero, id, 8);
        return s;
    }
    std::uint32_t Connecting(const char* ip, int port, const std::uint8_t* id) {
        const std::uint32_t h = a.UdpSocket();
        const sockaddr_in s = Target(ip, port, id);
        EXPECT_EQ(a.UdpConnect(h, &s, sizeof(s)), -1);
        EXPECT_EQ(UdpLastError(), kWsaEwouldblock);
        return h;
    }
    std::vector<std::uint8_t> LastLookup() {
        auto sent = net.SentTo(kServer);
        for (auto it = sent.rbegin(); it != sent.rend(); ++it) {
            if (it->bytes.size() >= 64 && Get32(it->bytes.data() + 12) == kLookupType) {
                return it->bytes;
            }
        }
        return {};
    }
    std::vector<std::uint8_t> Reply(std::uint32_t request, int count) {
        std::vector<std::uint8_t> r(48 + 16 * count, 0);
        Put32(r.data() + 12, kLookupReplyType);
        std::memcpy(r.data() + 16, a.Identity(), 12);
        Put32(r.data() + 28, request);
        Put32(r.data() + 44, static_cast<std::uint32_t>(count));
        return r;
    }
};

void PutEntry(std::vector<std::uint8_t>& r, int index, std::uint32_t ip, std::uint32_t port,
              const std::uint8_t* id) {
    std::uint8_t* e = r.data() + 48 + 16 * index;
    PutIp(e, ip);
    Put32(e + 4, port);
    std::memcpy(e + 8, id, 8);
}

TEST(UdpServer, SortsDhtMessagesFromTransportTraffic) {
    Fixture f;
    std::vector<std::string> got;
    f.a.SetDhtHandler([&](const std::uint8_t* d, int n, std::uint32_t, int port) {
        EXPECT_EQ(d[n], 0);  // terminated after the last byte
        got.push_back(std::string(reinterpret_cast<const char*>(d), n) + "@" +
                      std::to_string(port));
    });
    f.a.SetTransportDisabled(true);
    const std::string query = "d1:ad2:id20:abcdefghij0123456789e1:q4:ping1:t2:aa1:y1:qe";
    f.Feed({query.begin(), query.end()}, Ip("203.0.113.5"), 6000);
    f.Feed({'d', '1', ':', 'a', 'd', 'e', 'e', 'x'}, Ip("203.0.113.5"), 6001);  // 8 bytes
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], query + "@6000");
}

TEST(UdpServer, RegistersAndLearnsItsExternalAddress) {
    Fixture f;
    f.net.clock.seconds = 5000;
    f.a.RunTimers();
    const auto sent = f.net.SentTo(kServer, 64);
    ASSERT_EQ(sent.size(), 1u);
    const std::uint8_t* m = sent[0].bytes.data();
    EXPECT_EQ(Get32(m + 12), kRegisterType);
    EXPECT_EQ(std::memcmp(m + 16, f.a.Identity(), 12), 0);
    EXPECT_EQ(std::memcmp(m + 24, "UDP0", 4), 0);
    EXPECT_EQ(GetIp(m + 32), Ip("198.51.100.10"));
    EXPECT_EQ(Get32(m + 36), 6881u);
    EXPECT_FALSE(f.a.ServerReplied());

    // Keep-alive replies: (address bytes, port) -> external address afterwards.
    struct Case {
        std::uint32_t reported;
        std::uint32_t expected;
    } cases[] = {{Ip("203.0.113.77"), Ip("203.0.113.77")},
                 {0xFFFFFFFFu, Ip("203.0.113.77")},
                 {0, Ip("203.0.113.77")},
                 {Ip("198.51.100.10"), Ip("198.51.100.10")}};
    for (const Case& c : cases) {
        std::vector<std::uint8_t> reply(8, 0);
        PutIp(reply.data(), c.reported);
        Put32(reply.data() + 4, 40000);
        f.Feed(reply, kServer, 5555);  // any port of the server's address
        EXPECT_TRUE(f.a.ServerReplied());
        EXPECT_EQ(f.a.ExternalIp(), c.expected);
    }
    EXPECT_FALSE(f.a.IsBehindNat());
    // The same reply from any other address is ignored.
    std::vector<std::uint8_t> reply(8, 0);
    PutIp(reply.data(), Ip("203.0.113.9"));
    f.Feed(reply, Ip("203.0.113.200"), 82);
    EXPECT_EQ(f.a.ExternalIp(), Ip("198.51.100.10"));
}

TEST(UdpServer, KeepsAliveBehindNatAndRegistersAgainWithoutReply) {
    Fixture f;
    const auto registers = [&] { return f.net.SentTo(kServer, 64).size(); };
    const auto keepAlives = [&] { return f.net.SentTo(kServer, 8).size(); };
    f.a.RunTimers();
    ASSERT_EQ(registers(), 1u);
    // No answer yet: the external address is unknown, so the node counts as behind a NAT;
    // the keep-alive pass finds no reply and the next pass registers again.
    f.net.clock.seconds += 52;
    f.a.RunTimers();
    EXPECT_EQ(keepAlives(), 1u);
    EXPECT_EQ(registers(), 1u);
    f.a.RunTimers();
    EXPECT_EQ(registers(), 2u);
    // Answered with another address: keep-alives go on, registration waits for 300 s.
    std::vector<std::uint8_t> reply(8, 0);
    PutIp(reply.data(), Ip("203.0.113.77"));
    f.Feed(reply, kServer, 82);
    ASSERT_TRUE(f.a.IsBehindNat());
    for (int i = 0; i < 5; ++i) {
        f.net.clock.seconds += 52;
        f.a.RunTimers();
    }
    EXPECT_EQ(keepAlives(), 6u);
    EXPECT_EQ(registers(), 2u);
    f.net.clock.seconds += 40;
    f.a.RunTimers();
    EXPECT_EQ(registers(), 3u);
    // Answered with its own address: not behind a NAT, no keep-alives.
    PutIp(reply.data(), Ip("198.51.100.10"));
    f.Feed(reply, kServer, 82);
    f.net.clock.seconds += 52;
    f.a.RunTimers();
    EXPECT_EQ(keepAlives(), 6u);
}

TEST(UdpServer, BatchesThirteenLookupsPerMessage) {
    Fixture f;
    f.a.RunTimers();
    std::uint8_t id[8] = {9, 9, 9, 9, 9, 9, 9, 0};
    for (int i = 0; i < 14; ++i) {
        id[7] = static_cast<std::uint8_t>(i);
        f.Connecting("203.0.113.20", 7000 + i, id);
    }
    // The fourteenth lookup sent the full batch first.
    auto lookups = f.net.SentTo(kServer, 256);
    ASSERT_EQ(lookups.size(), 1u);
    const std::uint8_t* m = lookups[0].bytes.data();
    EXPECT_EQ(Get32(m + 40), 1u);
    EXPECT_EQ(Get32(m + 44), 13u);
    EXPECT_EQ(GetIp(m + 48 + 16 * 12), Ip("203.0.113.20"));
    EXPECT_EQ(m[48 + 16 * 12 + 15], 12);
    f.a.RunTimers();  // the timer pass sends the rest
    const auto rest = f.LastLookup();
    ASSERT_EQ(rest.size(), 64u);
    EXPECT_EQ(Get32(rest.data() + 28), Get32(m + 28) + 1);
    EXPECT_EQ(f.a.PendingLookups(), 2u);
}

TEST(UdpServer, LookupRepliesMoveWaitingConnectionsOrFailThem) {
    Fixture f;
    f.a.RunTimers();
    const std::uint8_t known[8] = {0x30, 1, 2, 3, 4, 5, 6, 7};
    const std::uint8_t unknown[8] = {0x40, 1, 2, 3, 4, 5, 6, 7};
    const std::uint32_t h1 = f.Connecting("203.0.113.20", 7000, known);
    const std::uint32_t h2 = f.Connecting("203.0.113.21", 7001, unknown);
    f.a.RunTimers();
    const std::uint32_t request = Get32(f.LastLookup().data() + 28);

    auto stray = f.Reply(request + 7, 1);
    PutEntry(stray, 0, Ip("203.0.113.20"), 7100, known);
    f.Feed(stray, kServer, 82);
    EXPECT_EQ(f.a.ConnectionState(h1), kWaitLookup);

    auto shortReply = f.Reply(request, 3);
    shortReply.resize(48 + 16 * 2);
    PutEntry(shortReply, 0, Ip("203.0.113.20"), 7100, known);
    f.Feed(shortReply, kServer, 82);
    EXPECT_EQ(f.a.ConnectionState(h1), kWaitLookup);  // only the request number went
    EXPECT_EQ(f.a.PendingLookups(), 0u);

    f.net.clock.seconds += 4;  // the timers look up again
    f.a.RunTimers();
    const std::uint32_t again = Get32(f.LastLookup().data() + 28);
    EXPECT_NE(again, request);
    auto good = f.Reply(again, 1);
    PutEntry(good, 0, Ip("203.0.113.20"), 7100, known);
    f.Feed(good, kServer, 82);
    EXPECT_EQ(f.a.ConnectionState(h1), kPunching);
    EXPECT_EQ(f.a.ConnectionState(h2), kClosed);  // not in the answer
    // The connect request went out twice at once, to the port from the answer.
    const auto connects = f.net.SentTo(Ip("203.0.113.20"), 64);
    ASSERT_EQ(connects.size(), 2u);
    EXPECT_EQ(connects[0].toPort, 7100);
    EXPECT_EQ(Get32(connects[0].bytes.data() + 16), kConnect);
    EXPECT_EQ(Get32(connects[0].bytes.data() + 48), 7000u);  // the listen port addressed
}

TEST(UdpServer, PlaceholderAnswersSupplyTheRealNode) {
    Fixture f;
    f.a.RunTimers();
    std::uint8_t placeholder[8];
    MakePlaceholder(placeholder, Ip("203.0.113.30"), 6881);
    const std::uint32_t h = f.Connecting("203.0.113.30", 6881, placeholder);
    f.a.RunTimers();
    const std::uint32_t request = Get32(f.LastLookup().data() + 28);
    const std::uint8_t real[8] = {0x55, 1, 2, 3, 4, 5, 6, 7};
    auto reply = f.Reply(request, 2);
    PutEntry(reply, 0, Ip("203.0.113.30"), kPlaceholderEchoPort, placeholder);
    PutEntry(reply, 1, Ip("203.0.113.30"), 40001, real);
    f.Feed(reply, kServer, 82);
    EXPECT_EQ(f.a.ConnectionState(h), kPunching);
    const auto connects = f.net.SentTo(Ip("203.0.113.30"), 64);
    ASSERT_FALSE(connects.empty());
    EXPECT_EQ(connects[0].toPort, 40001);
    EXPECT_EQ(std::memcmp(connects[0].bytes.data() + 20, real, 8), 0);
}

TEST(UdpServer, ConnectNoticesPunchThreeTimes) {
    Fixture f;
    f.a.RunTimers();
    std::vector<std::uint8_t> reply(8, 0);
    PutIp(reply.data(), Ip("203.0.113.77"));
    f.Feed(reply, kServer, 82);
    std::vector<std::uint8_t> notice(32, 0);
    Put32(notice.data(), kConnectNoticeWord);
    const std::uint8_t asker[12] = {0x66, 1, 2, 3, 4, 5, 6, 7, 'U', 'D', 'P', '0'};
    std::memcpy(notice.data() + 4, asker, 12);
    PutIp(notice.data() + 20, Ip("203.0.113.40"));
    Put32(notice.data() + 24, 50000);
    const auto punches = [&] { return f.net.SentTo(Ip("203.0.113.40"), 48).size(); };

    f.Feed(notice, kServer, 82);
    ASSERT_EQ(punches(), 1u);
    const auto first = f.net.SentTo(Ip("203.0.113.40"), 48)[0];
    EXPECT_EQ(first.toPort, 50000);
    EXPECT_EQ(std::memcmp(first.bytes.data() + 20, asker, 12), 0);
    EXPECT_EQ(Get16(first.bytes.data() + 32), 6881);
    EXPECT_EQ(std::memcmp(first.bytes.data() + 36, f.a.Identity(), 12), 0);
    // Pass after pass (every 3 s): twice more, then the entry is gone.
    const std::size_t expected[] = {2, 3, 3};
    for (std::size_t want : expected) {
        f.net.clock.seconds += 3;
        f.a.RunTimers();
        EXPECT_EQ(punches(), want);
    }
    EXPECT_EQ(f.a.PunchEntries(), 0u);
    // A repeated notice for a listed address sends nothing at once and resets the count.
    f.Feed(notice, kServer, 82);
    f.net.clock.seconds += 3;
    f.a.RunTimers();
    f.Feed(notice, kServer, 82);
    EXPECT_EQ(punches(), 5u);
    for (int i = 0; i < 3; ++i) {
        f.net.clock.seconds += 3;
        f.a.RunTimers();
    }
    EXPECT_EQ(punches(), 7u);
}

TEST(UdpServer, HolePunchAdoptsTheNodeBehindAPlaceholder) {
    Fixture f;
    std::uint8_t placeholder[8];
    MakePlaceholder(placeholder, Ip("203.0.113.50"), 6882);
    const std::uint32_t h = f.Connecting("203.0.113.50", 6882, placeholder);
    std::vector<std::uint8_t> punch(48, 0);
    std::memcpy(punch.data() + 20, f.a.Identity(), 12);
    Put16(punch.data() + 32, 6882);
    const std::uint8_t real[12] = {0x77, 1, 2, 3, 4, 5, 6, 7, 'U', 'D', 'P', '0'};
    std::memcpy(punch.data() + 36, real, 12);
    f.Feed(punch, Ip("203.0.113.50"), 45000);
    EXPECT_EQ(f.a.ConnectionState(h), kPunching);
    const auto connects = f.net.SentTo(Ip("203.0.113.50"), 64);
    ASSERT_EQ(connects.size(), 2u);
    EXPECT_EQ(connects[0].toPort, 45000);
    EXPECT_EQ(std::memcmp(connects[0].bytes.data() + 20, real, 8), 0);
}

}  // namespace
}  // namespace koruvan::engine::test
