// Node ids, the routing table's bucket rules, tokens and the peer store.
#include <gtest/gtest.h>

#include "KadTestNet.h"
#include "engine/dht/KadPeerStore.h"
#include "engine/dht/KadRoutingTable.h"

namespace koruvan::engine::test {
namespace {

TEST(KadNodeIdTest, ArithmeticIsModulo2To160AndHalvesWordByWord) {
    const KadNodeId one({0, 0, 0, 0, 1});
    const KadNodeId carry({0, 0, 0, 1, 0});
    const KadNodeId lowMax({0, 0, 0, 0, 0xFFFFFFFFu});
    EXPECT_EQ(lowMax + one, carry);
    EXPECT_EQ(carry - one, lowMax);
    EXPECT_EQ(KadNodeId::Max() + one, KadNodeId());
    EXPECT_EQ(KadNodeId() - one, KadNodeId::Max());
    // No bit moves into the next word.
    EXPECT_EQ(KadNodeId({3, 1, 0, 0, 7}).WordHalf(), KadNodeId({1, 0, 0, 0, 3}));
    EXPECT_EQ(KadNodeId({5, 0, 0, 0, 0}) ^ KadNodeId({6, 0, 0, 0, 0}), KadNodeId({3, 0, 0, 0, 0}));
    const KadNodeId id({0x01020304u, 0x05060708u, 0x090A0B0Cu, 0x0D0E0F10u, 0x11121314u});
    EXPECT_EQ(id.Bytes(), std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E"
                                      "\x0F\x10\x11\x12\x13\x14",
                                      20));
    EXPECT_EQ(KadNodeId::FromBytes(id.Bytes()), id);
    EXPECT_TRUE(KadNodeId::FromBytes(std::string_view("short")).IsZero());
}

KadNode Contact(std::uint32_t top, std::uint32_t low, std::uint8_t host) {
    return MakeNode(IdWithTop(top, low), Ip(198, 51, 100, host), 6881);
}

TEST(KadRoutingTableTest, FewerThanFourBucketsSplitAnyFullBucket) {
    // Own id at the very top: splits keep going up, the low buckets stay behind.
    KadRoutingTable table(KadNodeId({0xFFFFFFF0u, 0, 0, 0, 1}));
    for (std::uint32_t i = 0; i < 11; ++i) {
        EXPECT_FALSE(table.Insert(Contact(0x10000000u + i, 1, 1 + i), true, false, 100));
    }
    // All eleven lie far below the own id: the full bucket splits (at the word-wise
    // midpoints 0x80.., 0x40.., 0x20..) although it does not hold the own id, until the
    // fourth bucket; then the far bucket drops the newcomer.
    EXPECT_EQ(table.BucketCount(), 4u);
    EXPECT_EQ(table.ContactCount(), 10u);
    const auto buckets = table.Buckets();
    EXPECT_EQ(buckets[0].high,
              KadNodeId({0x20000000u, 0x20000000u, 0x20000000u, 0x20000000u, 0x20000000u}));
    EXPECT_EQ(buckets[3].high, KadNodeId::Max());
    EXPECT_EQ(buckets[0].contacts.size(), 10u);
}

// Buckets near the own id until there are four or more, then the lowest bucket full of good
// contacts seen at 100 s. Returns the next free host number.
[[nodiscard]] std::uint8_t FillNearAndLowest(KadRoutingTable& table) {
    std::uint8_t host = 1;
    for (std::uint32_t i = 0; table.BucketCount() < 4; ++i) {
        table.Insert(Contact(0xF0000000u + i * 0x100000u, 1, host++), true, false, 100);
    }
    for (std::uint32_t i = 0; i < 10; ++i) {
        table.Insert(Contact(0x01000000u + i, 1, host++), true, false, 100);
    }
    return host;
}

TEST(KadRoutingTableTest, FullFarBucketDropsOrAsksForAPing) {
    KadRoutingTable table(KadNodeId({0xFFFFFFF0u, 0, 0, 0, 1}));
    std::uint8_t host = FillNearAndLowest(table);
    const std::size_t before = table.ContactCount();
    const std::size_t buckets = table.BucketCount();
    // All good and seen within 600 s: the eleventh is dropped, no split.
    EXPECT_FALSE(table.Insert(Contact(0x02000000u, 1, host++), true, false, 400));
    EXPECT_EQ(table.ContactCount(), before);
    EXPECT_EQ(table.BucketCount(), buckets);
    // 601 s later every contact is stale: the first in contact order is to be pinged.
    const auto ping = table.Insert(Contact(0x02000000u, 2, host++), true, false, 701);
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->id, IdWithTop(0x01000000u, 1));
}

TEST(KadRoutingTableTest, ContactThatMissedThreePingsIsReplacedByTheNextNewcomer) {
    KadRoutingTable table(KadNodeId({0xFFFFFFF0u, 0, 0, 0, 1}));
    (void)FillNearAndLowest(table);
    const auto all = table.AllContacts();
    const KadNode target = *std::find_if(
        all.begin(), all.end(), [](const KadNode& n) { return n.id == IdWithTop(0x01000005u, 1); });
    EXPECT_EQ(table.AddFailure(target), 1);
    EXPECT_EQ(table.AddFailure(target), 2);
    EXPECT_EQ(table.AddFailure(target), 3);
    EXPECT_TRUE(table.Find(target)->questionable);
    const KadNode newcomer = Contact(0x02000000u, 9, 250);
    EXPECT_FALSE(table.Insert(newcomer, false, false, 150));
    EXPECT_FALSE(table.Find(target));
    EXPECT_TRUE(table.Find(newcomer));
}

TEST(KadRoutingTableTest, ClosestNodesAreSortedByDistanceAndSkipQuestionable) {
    KadRoutingTable table(KadNodeId({0x80000000u, 0, 0, 0, 1}));
    for (std::uint32_t i = 1; i <= 6; ++i) {
        table.Insert(Contact(i << 24, 1, static_cast<std::uint8_t>(i)), i % 2 == 0, false, 10);
    }
    std::vector<KadNode> good;
    ASSERT_TRUE(table.ClosestNodes(IdWithTop(5u << 24), good, false));
    ASSERT_EQ(good.size(), 3u);               // 2, 4, 6
    EXPECT_EQ(good[0].id.Word(0), 4u << 24);  // 4 ^ 5 = 1
    std::vector<KadNode> all = good;
    table.ClosestNodes(IdWithTop(5u << 24), all, true);
    EXPECT_EQ(all.size(), 6u);  // the three good ones are not repeated
    std::vector<KadNode> none;
    EXPECT_FALSE(table.ClosestNodes(KadNodeId(), none, true));
}

TEST(KadRoutingTableTest, TokensFollowTheAddressAndSurviveOneRotation) {
    KadRoutingTable table(IdWithTop(1));
    const std::uint32_t ip = Ip(198, 51, 100, 7);
    const std::string token = table.MakeToken(ip, 6881);
    ASSERT_EQ(token.size(), 20u);
    EXPECT_TRUE(table.CheckToken(token, ip, 6881));
    EXPECT_FALSE(table.CheckToken(token, ip, 6882));
    EXPECT_FALSE(table.CheckToken(token, Ip(198, 51, 100, 8), 6881));
    EXPECT_FALSE(table.CheckToken(token.substr(0, 19), ip, 6881));
    table.RotateSecrets(400);
    EXPECT_TRUE(table.CheckToken(token, ip, 6881));
    table.RotateSecrets(800);
    EXPECT_FALSE(table.CheckToken(token, ip, 6881));
    // Tokens received: usable for 300 s.
    table.StoreToken(ip, 6881, token, 1000);
    EXPECT_TRUE(table.CachedToken(ip, 6881, 1300));
    EXPECT_FALSE(table.CachedToken(ip, 6881, 1301));
    // Received tokens are opaque: any length from 1 to 64 bytes is kept.
    table.StoreToken(ip, 6882, "abcd", 1000);
    EXPECT_EQ(table.CachedToken(ip, 6882, 1000), "abcd");
    table.StoreToken(ip, 6883, std::string(65, 't'), 1000);
    EXPECT_FALSE(table.CachedToken(ip, 6883, 1000));
}

TEST(KadPeerStoreTest, ValuesWindowAndExpiry) {
    KadPeerStore store;
    const KadNodeId hash = IdWithTop(42);
    EXPECT_EQ(store.ValuesReply(hash, 0), "");
    for (std::uint8_t i = 0; i < 120; ++i) {
        store.StorePeer(hash, Ip(203, 0, 113, i), static_cast<std::uint16_t>(1000 + i), 100);
    }
    const std::string values = store.ValuesReply(hash, 75);  // 75 % 70 = 5
    ASSERT_EQ(values.size(), 9u + 50 * 8 + 1);
    EXPECT_EQ(values.substr(0, 9), "6:valuesl");
    EXPECT_EQ(values.substr(9, 8), std::string("6:\xCB\x00\x71\x05\x03\xED", 8));  // peer 5
    EXPECT_EQ(values.back(), 'e');
    const std::string compact = store.CompactPeers(hash, 75);
    EXPECT_EQ(compact.size(), 300u);
    EXPECT_EQ(compact.substr(0, 6), values.substr(11, 6));
    store.StorePeer(hash, Ip(203, 0, 113, 0), 1000, 1000);  // refreshed, not added
    EXPECT_EQ(store.PeerCount(), 120u);
    store.Expire(1900);  // 1800 s after the first announces
    EXPECT_EQ(store.PeerCount(), 1u);
    store.Expire(2800);
    EXPECT_EQ(store.HashCount(), 0u);
}

}  // namespace
}  // namespace koruvan::engine::test
