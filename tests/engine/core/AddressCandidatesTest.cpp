// Candidates made from bare addresses (local discovery, the DHT's compact peer lists): one
// candidate per address and kind, the BitTorrent peer id built from the address, priorities
// and list positions, and compact lists that end in a partial entry or carry unusable ones.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "engine/core/TWorkWithPeers.h"
#include "engine/peers/IpAddress.h"

namespace koruvan::engine {
namespace {

// The peer-list layer alone: no thread runs and no peer is ever connected.
class PeerList final : public TWorkWithPeers {
  public:
    int Run() override { return 0; }
    void Refresh() override {}

  protected:
    PeerTask& AsPeerTask() override { std::abort(); }  // only reached by connecting peers
    [[nodiscard]] bool Downloading() const override { return true; }
    [[nodiscard]] std::int64_t CurrentTaskClock() const override { return 0; }
};

constexpr std::uint32_t Ip(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return HostToNet32((std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) |
                       (std::uint32_t{c} << 8) | d);
}

std::string CompactEntry(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d,
                         std::uint16_t port) {
    return std::string{static_cast<char>(a),         static_cast<char>(b),
                       static_cast<char>(c),         static_cast<char>(d),
                       static_cast<char>(port >> 8), static_cast<char>(port & 0xFF)};
}

TEST(AddressCandidates, ABitTorrentAddressBecomesOneResolvedCandidate) {
    PeerList list;
    TPeerId* peer = list.AddAddressCandidate(Ip(127, 0, 0, 9), 6881, kKindBitTorrent, false, 5);
    ASSERT_NE(peer, nullptr);
    EXPECT_TRUE(peer->resolved);
    EXPECT_EQ(peer->maxConnections, 1);
    EXPECT_EQ(peer->priority, 19);  // raised to the BitTorrent floor
    EXPECT_EQ(peer->text, "btnode://127.0.0.9:6881");
    const std::array<std::uint8_t, 20> expected{0, 0, 0, 0, 0,   0, 0, 0, 0,    0,
                                                0, 0, 0, 0, 127, 0, 0, 9, 0x1A, 0xE1};
    EXPECT_EQ(peer->peerId, expected);

    // The same address and kind again: the same candidate, with the new priority.
    TPeerId* again = list.AddAddressCandidate(Ip(127, 0, 0, 9), 6881, kKindBitTorrent, true, 35);
    EXPECT_EQ(again, peer);
    EXPECT_EQ(peer->priority, 35);
    EXPECT_EQ(peer->peerId, expected);  // a BitTorrent peer keeps its id
    ASSERT_EQ(list.Candidates().size(), 1u);

    // Another port or another address is another party.
    EXPECT_NE(list.AddAddressCandidate(Ip(127, 0, 0, 9), 6882, kKindBitTorrent, false, 19), peer);
    EXPECT_NE(list.AddAddressCandidate(Ip(127, 0, 0, 8), 6881, kKindBitTorrent, false, 19), peer);
    EXPECT_EQ(list.Candidates().size(), 3u);
    EXPECT_EQ(list.Candidates().front(), peer);  // priority 35 sorts first

    // Unusable addresses make nothing.
    EXPECT_EQ(list.AddAddressCandidate(0, 6881, kKindBitTorrent, false, 19), nullptr);
    EXPECT_EQ(list.AddAddressCandidate(kNoAddress, 6881, kKindBitTorrent, false, 19), nullptr);
    EXPECT_EQ(list.AddAddressCandidate(Ip(127, 0, 0, 9), 0, kKindBitTorrent, false, 19), nullptr);
    EXPECT_EQ(list.Candidates().size(), 3u);
}

TEST(AddressCandidates, PositionFollowsTheFrontFlagAmongEqualPriorities) {
    PeerList list;
    TPeerId* first = list.AddAddressCandidate(Ip(127, 0, 0, 1), 1001, kKindBitTorrent, false, 19);
    TPeerId* appended =
        list.AddAddressCandidate(Ip(127, 0, 0, 2), 1002, kKindBitTorrent, false, 19);
    TPeerId* front = list.AddAddressCandidate(Ip(127, 0, 0, 3), 1003, kKindBitTorrent, true, 19);
    ASSERT_EQ(list.Candidates().size(), 3u);
    EXPECT_EQ(list.Candidates()[0], front);
    EXPECT_EQ(list.Candidates()[1], first);
    EXPECT_EQ(list.Candidates()[2], appended);
}

TEST(AddressCandidates, CompactListsAddEveryUsableWholeEntry) {
    PeerList list;
    std::string data = CompactEntry(127, 0, 0, 5, 51413) + CompactEntry(0, 0, 0, 0, 80) +
                       CompactEntry(127, 0, 0, 6, 0) + CompactEntry(255, 255, 255, 255, 80) +
                       CompactEntry(127, 0, 0, 7, 6881) + CompactEntry(127, 0, 0, 5, 51413);
    data += std::string("\x7f\x00\x00\x08\x1a", 5);  // a partial entry at the end is ignored
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
    EXPECT_EQ(list.AddCompactPeers(bytes, data.size()), 3);
    ASSERT_EQ(list.Candidates().size(), 2u);  // the repeated entry is the same candidate
    EXPECT_EQ(list.Candidates()[0]->text, "btnode://127.0.0.5:51413");
    EXPECT_EQ(list.Candidates()[1]->text, "btnode://127.0.0.7:6881");
    for (const TPeerId* c : list.Candidates()) {
        EXPECT_EQ(c->kind, kKindBitTorrent);
        EXPECT_EQ(c->priority, 19);
    }
    EXPECT_EQ(list.AddCompactPeers(bytes, 5), 0);  // shorter than one entry
    EXPECT_EQ(list.AddCompactPeers(nullptr, 12), 0);
}

}  // namespace
}  // namespace koruvan::engine
