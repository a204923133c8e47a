// The rendezvous server's protocol logic: answers, connect notices, expiry, the registration
// cap, per-source rate limits and robustness against arbitrary datagrams.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tools/koruvan-rendezvous/RendezvousCore.h"

namespace koruvan::rendezvous {
namespace {

Endpoint At(const char* ip, std::uint16_t port) {
    return Endpoint{inet_addr(ip), port};
}

std::uint32_t Get32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}
void Put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
    }
}

std::vector<std::uint8_t> Identity(std::uint8_t first) {
    std::vector<std::uint8_t> id = {first, 2, 3, 4, 5, 6, 7, 8, 'U', 'D', 'P', '0'};
    return id;
}

std::vector<std::uint8_t> Register(std::uint8_t idByte, const char* localIp, std::uint32_t port) {
    std::vector<std::uint8_t> m(64, 0);
    Put32(m.data() + 12, 2);
    const auto id = Identity(idByte);
    std::memcpy(m.data() + 16, id.data(), 12);
    Put32(m.data() + 28, 1);
    const std::uint32_t ip = inet_addr(localIp);
    std::memcpy(m.data() + 32, &ip, 4);
    Put32(m.data() + 36, port);
    return m;
}

std::vector<std::uint8_t> Lookup(std::uint8_t asker, std::uint32_t request,
                                 const std::vector<std::vector<std::uint8_t>>& targets) {
    std::vector<std::uint8_t> m(48 + 16 * targets.size(), 0);
    Put32(m.data() + 12, 3);
    const auto id = Identity(asker);
    std::memcpy(m.data() + 16, id.data(), 12);
    Put32(m.data() + 28, request);
    Put32(m.data() + 40, 1);
    Put32(m.data() + 44, static_cast<std::uint32_t>(targets.size()));
    for (std::size_t i = 0; i < targets.size(); ++i) {
        std::memcpy(m.data() + 48 + 16 * i + 8, targets[i].data(), 8);
    }
    return m;
}

struct Server {
    std::vector<std::string> lines;
    RendezvousCore core;
    explicit Server(Limits limits = {})
        : core(limits, [this](const std::string& l) { lines.push_back(l); }) {}
    std::vector<Datagram> Send(const std::vector<std::uint8_t>& m, Endpoint from,
                               std::int64_t nowMs = 0) {
        return core.Handle(m.data(), m.size(), from, nowMs);
    }
};

TEST(Rendezvous, RegistrationAndKeepAliveAnswerTheExternalAddress) {
    Server s;
    const Endpoint nat = At("203.0.113.7", 40001);
    for (const auto& message :
         {Register(0x11, "192.168.1.5", 6881), std::vector<std::uint8_t>(8)}) {
        const auto out = s.Send(message, nat);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].to, nat);
        ASSERT_EQ(out[0].bytes.size(), 8u);
        EXPECT_EQ(std::memcmp(out[0].bytes.data(), &nat.ip, 4), 0);
        EXPECT_EQ(Get32(out[0].bytes.data() + 4), 40001u);
    }
    EXPECT_EQ(s.core.Registrations(), 1u);
    ASSERT_EQ(s.lines.size(), 1u);
    EXPECT_EQ(s.lines[0],
              "register 1102030405060708 external 203.0.113.7:40001 local 192.168.1.5:6881");
}

TEST(Rendezvous, LookupsAnswerAndNotifyTheTarget) {
    Server s;
    const Endpoint a = At("203.0.113.7", 40001);
    const Endpoint b = At("198.51.100.9", 50002);
    s.Send(Register(0x11, "192.168.1.5", 6881), a);
    s.Send(Register(0x22, "10.0.0.5", 6882), b);
    std::vector<std::uint8_t> placeholder = {0, 0, 0, 0, 0, 0, 0x1A, 0xE2};  // b, port 6882
    std::memcpy(placeholder.data() + 2, &b.ip, 4);
    const auto out = s.Send(Lookup(0x11, 77, {Identity(0x22), placeholder, Identity(0x33)}), a);
    ASSERT_EQ(out.size(), 3u);  // the answer and one notice per target found
    const std::uint8_t* r = out[0].bytes.data();
    ASSERT_EQ(out[0].bytes.size(), 48u + 3 * 16);
    EXPECT_EQ(Get32(r + 12), 0x80000003u);
    EXPECT_EQ(std::memcmp(r + 16, Identity(0x11).data(), 12), 0);
    EXPECT_EQ(Get32(r + 28), 77u);
    EXPECT_EQ(Get32(r + 44), 3u);
    // By id: b's external endpoint; by placeholder: the echo, then b itself.
    EXPECT_EQ(Get32(r + 48 + 4), 50002u);
    EXPECT_EQ(Get32(r + 64 + 4), 0xFFFFFFFFu);
    EXPECT_EQ(std::memcmp(r + 64 + 8, placeholder.data(), 8), 0);
    EXPECT_EQ(Get32(r + 80 + 4), 50002u);
    EXPECT_EQ(r[80 + 8], 0x22);
    for (int i = 1; i <= 2; ++i) {
        EXPECT_EQ(out[i].to, b);
        ASSERT_EQ(out[i].bytes.size(), 32u);
        EXPECT_EQ(Get32(out[i].bytes.data()), 0x33333333u);
        EXPECT_EQ(std::memcmp(out[i].bytes.data() + 4, Identity(0x11).data(), 12), 0);
        EXPECT_EQ(std::memcmp(out[i].bytes.data() + 20, &a.ip, 4), 0);
        EXPECT_EQ(Get32(out[i].bytes.data() + 24), 40001u);
    }
    EXPECT_EQ(s.lines.back(),
              "lookup 1102030405060708 from 203.0.113.7:40001 request 77 targets 3 found 2");
    // Nobody known: still an answer a node reads (64 bytes, no entries).
    const auto none = s.Send(Lookup(0x11, 78, {Identity(0x44)}), a);
    ASSERT_EQ(none.size(), 1u);
    EXPECT_EQ(none[0].bytes.size(), 64u);
    EXPECT_EQ(Get32(none[0].bytes.data() + 44), 0u);
}

TEST(Rendezvous, RegistrationsExpireAndTheOldestGoesFirst) {
    Limits limits;
    limits.maxRegistrations = 3;
    Server s(limits);
    const Endpoint a = At("203.0.113.7", 1000);
    s.Send(Register(0x11, "10.0.0.1", 1), a, 0);
    s.Send(std::vector<std::uint8_t>(8), a, 0);  // a keeps alive: 3 x 52 s
    s.Send(Register(0x22, "10.0.0.2", 1), At("203.0.113.8", 1000), 0);
    s.core.Expire(156000);
    EXPECT_EQ(s.core.Registrations(), 2u);
    s.core.Expire(156001);
    EXPECT_EQ(s.core.Registrations(), 1u);  // a expired, the other lives 3 x 300 s
    s.core.Expire(900001);
    EXPECT_EQ(s.core.Registrations(), 0u);

    for (std::uint8_t i = 1; i <= 4; ++i) {
        s.Send(Register(i, "10.0.0.1", 1), At("203.0.113.9", static_cast<std::uint16_t>(i)), i);
    }
    EXPECT_EQ(s.core.Registrations(), 3u);
    EXPECT_EQ(s.core.Stats().evicted, 1u);
    const auto out = s.Send(Lookup(0x55, 1, {Identity(1), Identity(4)}), At("203.0.113.10", 1), 10);
    EXPECT_EQ(Get32(out[0].bytes.data() + 44), 1u);  // 1 was dropped, 4 is there
}

TEST(Rendezvous, RateLimitsEachSourceAddress) {
    Limits limits;
    limits.perSecond = 10;
    limits.burst = 5;
    Server s(limits);
    int answered = 0;
    for (int i = 0; i < 20; ++i) {
        answered +=
            s.Send(std::vector<std::uint8_t>(8), At("203.0.113.7", 1000), 0).empty() ? 0 : 1;
    }
    EXPECT_EQ(answered, 5);
    EXPECT_EQ(s.Send(std::vector<std::uint8_t>(8), At("203.0.113.8", 1000), 0).size(), 1u);
    EXPECT_EQ(s.Send(std::vector<std::uint8_t>(8), At("203.0.113.7", 1000), 100).size(), 1u);
}

TEST(Rendezvous, FloodOfArbitraryDatagramsStaysBoundedAndAnswering) {
    Limits limits;
    limits.maxRegistrations = 1000;
    limits.maxSources = 256;
    Server s(limits);
    std::mt19937 random(7);
    std::vector<std::uint8_t> m;
    for (int i = 0; i < 100000; ++i) {
        const auto kind = random() % 4;
        const std::size_t size = kind == 0   ? 64
                                 : kind == 1 ? 48 + 16 * (random() % 20)
                                             : random() % 600;
        m.resize(size);
        for (auto& b : m) {
            b = static_cast<std::uint8_t>(random());
        }
        if (kind <= 1 && size >= 16) {
            std::memset(m.data(), 0, 12);
            Put32(m.data() + 12, kind == 0 ? 2 : 3);
            if (kind == 1) {
                Put32(m.data() + 44, static_cast<std::uint32_t>((size - 48) / 16));
            }
        }
        const Endpoint from{static_cast<std::uint32_t>(random()),
                            static_cast<std::uint16_t>(1 + random() % 65535)};
        s.core.Handle(m.data(), m.size(), from, i);
    }
    EXPECT_LE(s.core.Registrations(), 1000u);
    EXPECT_LE(s.core.Sources(), 256u);
    EXPECT_GT(s.core.Stats().registrations, 1000u);
    const auto out = s.Send(Register(0x11, "10.0.0.1", 1), At("203.0.113.7", 40001), 100000);
    EXPECT_EQ(out.size(), 1u);
}

}  // namespace
}  // namespace koruvan::rendezvous
