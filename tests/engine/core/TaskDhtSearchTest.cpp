// A task's DHT search: restart intervals by peer count, the peers handed over, and the
// node:// sources pinged as bootstrap addresses.
#include <gtest/gtest.h>

#include <cstring>

#include "engine/core/TaskDhtSearch.h"
#include "engine/dht/CKademlia.h"
#include "support/TempDir.h"

namespace koruvan::engine {
namespace {

TEST(TaskDhtSearchTest, RestartDelayShrinksWithFewPeers) {
    const struct {
        int peers;
        std::uint32_t seconds;
    } cases[] = {{0, 30}, {1, 30}, {2, 60}, {3, 90}, {4, 180}, {7, 180}, {8, 360}, {50, 360}};
    for (const auto& c : cases) {
        EXPECT_EQ(TaskDhtSearch::RestartDelay(c.peers), c.seconds) << c.peers << " peers";
    }
}

TEST(TaskDhtSearchTest, SearchRunsPingsNodeSourcesHandsOverPeersAndWaitsBeforeRestart) {
    std::uint32_t seconds = 100;
    CKademlia node(KadClock{[&] { return seconds; }, [&] { return seconds * 1000; }});
    ::koruvan::test::TempDir dir;
    node.SetNodeFilePath(dir.File("node.kad"));
    std::vector<std::pair<std::uint32_t, int>> sent;
    node.SetSender([&](const void*, int, std::uint32_t ip, int port) {
        sent.emplace_back(ip, port);
        return true;
    });
    node.Open();
    const KadNodeId hash({0x12345678u, 1, 2, 3, 4});
    // Peers other nodes announced here are part of the first step's result.
    std::uint32_t peerIp = 0;
    std::memcpy(&peerIp, "\xCB\x00\x71\x07", 4);
    node.Peers().StorePeer(hash, peerIp, 7001, seconds);

    std::uint32_t contactIp = 0;
    std::memcpy(&contactIp, "\xC6\x33\x64\x02", 4);
    node.Table().Insert(MakeNode(KadNodeId({0x12345600u, 0, 0, 0, 1}), contactIp, 6881), true,
                        false, seconds);
    const std::string storedPeer("\xCB\x00\x71\x07\x1B\x59", 6);

    TaskDhtSearch search;
    TaskDhtSearch::Round round;
    round.infoHash = hash;
    round.listenPort = 6881;
    round.peerCount = 1;
    round.sources = {"http://example.invalid/file", "node://203.0.113.5:6881",
                     "NODE://203.0.113.6:6882", "node://bad", "node://203.0.113.7:0"};
    EXPECT_EQ(search.Drive(node, round), "");
    ASSERT_TRUE(search.HasAction());
    // Two node:// sources were valid: two bootstrap pings.
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].second, 6882);
    // The first timer step hands over the peers announced here and asks the contact.
    node.Housekeeping();
    EXPECT_EQ(sent.size(), 3u);
    EXPECT_EQ(search.Drive(node, round), storedPeer);
    // The contact never answers: after 10 s the search, then the announce, end.
    seconds += 10;
    node.Housekeeping();
    node.Housekeeping();
    EXPECT_EQ(search.Drive(node, round), "");
    // One peer known: 30 s from the end before the next run.
    seconds += 29;
    node.Housekeeping();
    EXPECT_EQ(search.Drive(node, round), "");
    node.Housekeeping();
    EXPECT_EQ(sent.size(), 3u) << "not restarted yet";
    seconds += 1;
    EXPECT_EQ(search.Drive(node, round), "");
    node.Housekeeping();
    EXPECT_EQ(search.Drive(node, round), storedPeer) << "restarted";
    // Another torrent: a new search, and the node:// sources are pinged for it.
    const std::size_t before = sent.size();
    round.infoHash = KadNodeId({9, 9, 9, 9, 9});
    EXPECT_EQ(search.Drive(node, round), "");
    EXPECT_EQ(sent.size(), before + 2);
    node.Close();
}

}  // namespace
}  // namespace koruvan::engine
