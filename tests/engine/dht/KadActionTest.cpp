// Lookups: the action rules against crafted answers, and whole searches and announces in an
// in-process network of nodes.
#include <gtest/gtest.h>

#include <algorithm>

#include "KadTestNet.h"
#include "engine/dht/CKadActionBitTorrent.h"
#include "engine/peers/BencodeCodec.h"

namespace koruvan::engine::test {
namespace {

class KadActionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        node = std::make_unique<CKademlia>(net.Clock());
        node->SetNodeFilePath(net.dir.File("a.kad"));
        node->SetSender([this](const void* data, int len, std::uint32_t ip, int port) {
            sent.push_back({std::string(static_cast<const char*>(data), len), ip, port});
            return true;
        });
        node->Open();
    }
    void TearDown() override { node->Close(); }

    KadNode AddContact(std::uint32_t top, std::uint8_t host) {
        const KadNode n = MakeNode(IdWithTop(top, host), Ip(198, 51, 100, host), 6881);
        node->Table().Insert(n, true, false, net.seconds);
        return n;
    }
    // The transaction id of the last query sent to `to`.
    std::string TidSentTo(const KadNode& to) {
        for (auto it = sent.rbegin(); it != sent.rend(); ++it) {
            if (it->ip == to.ip) {
                const auto tree = ParseBencode(it->bytes);
                return std::string(tree->Find("t")->GetText());
            }
        }
        return {};
    }
    bool Answer(CKadActionBase& action, const KadNode& from, const std::string& body,
                std::uint32_t ip = 0) {
        const std::string text = "d2:id20:" + from.id.Bytes() + body + "e";
        const auto dict = ParseBencode(text);
        KadNode sender = from;
        if (ip != 0) {
            sender.ip = ip;
        }
        return action.OnResponse(TidSentTo(from), sender, *dict);
    }

    KadTestNet net;
    std::unique_ptr<CKademlia> node;
    std::vector<SentDatagram> sent;
};

TEST_F(KadActionTest, ValuesAnswersAndTheAnnounceThatFollows) {
    const KadNode a = AddContact(0x10000000u, 1);
    const KadNode b = AddContact(0x20000000u, 2);
    const KadNodeId hash = IdWithTop(0x10000001u);
    auto action = std::make_shared<CKadActionBitTorrent>(*node, hash);
    action->SetAnnouncePort(7001);
    node->StartAction(action);
    ASSERT_TRUE(action->IsRunning());
    EXPECT_EQ(action->Outstanding(), 0) << "queries go out at the first timer step";
    action->Step();
    EXPECT_EQ(action->Outstanding(), 2);
    EXPECT_EQ(sent.back().bytes, "d1:ad2:id20:" + node->OwnId().Bytes() +
                                     "9:info_hash20:" + hash.Bytes() +
                                     "e1:q9:get_peers1:t8:" + TidSentTo(b) + "1:y1:qe");
    // From the right id at another address: not claimed.
    EXPECT_FALSE(Answer(*action, a, "6:valuesl6:ABCDEFe", Ip(198, 51, 100, 99)));
    // A 13-byte string in the values list adds 2 peers and drops the last byte. The token
    // is opaque: other implementations send 4 bytes.
    EXPECT_TRUE(Answer(*action, a, "6:valuesl13:ABCDEFGHIJKLMe5:token4:abcd"));
    EXPECT_EQ(node->Table().CachedToken(a.ip, a.port, net.seconds), "abcd");
    // Another torrent's search got a newer token from a: this search keeps its own, since
    // implementations tie tokens to the info hash.
    node->Table().StoreToken(a.ip, a.port, "zzzz", net.seconds);
    // A plain string works as well; no token, so no announce to b.
    EXPECT_TRUE(Answer(*action, b, "6:values6:NOPQRS"));
    std::string peers;
    ASSERT_TRUE(action->TakePeers(peers, true));
    EXPECT_EQ(peers, "ABCDEFGHIJKLNOPQRS");
    EXPECT_FALSE(action->TakePeers(peers, true));
    // The same transaction id again is not claimed.
    EXPECT_FALSE(Answer(*action, a, "6:valuesl6:ABCDEFe"));

    // Nothing outstanding: the search ends and the announce goes to a alone.
    sent.clear();
    action->Step();
    EXPECT_TRUE(action->IsAnnouncing());
    EXPECT_TRUE(sent.empty()) << "the announces go out at the next timer step";
    action->Step();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].ip, a.ip);
    EXPECT_EQ(sent[0].bytes, "d1:ad2:id20:" + node->OwnId().Bytes() + "9:info_hash20:" +
                                 hash.Bytes() + "4:porti7001e5:token4:abcde1:q13:announce_peer" +
                                 "1:t8:" + TidSentTo(a) + "1:y1:qe");
    EXPECT_TRUE(Answer(*action, a, ""));
    action->Step();
    EXPECT_TRUE(action->IsFinished());
}

TEST_F(KadActionTest, AtMostFiveQueriesOutstanding) {
    for (std::uint8_t i = 1; i <= 8; ++i) {
        AddContact(static_cast<std::uint32_t>(i) << 24, i);
    }
    sent.clear();
    auto action = std::make_shared<CKadActionBitTorrent>(*node, IdWithTop(0x01000000u));
    node->StartAction(action);
    node->Housekeeping();  // the timer step
    EXPECT_EQ(action->Outstanding(), 5);
    EXPECT_EQ(sent.size(), 5u);
    action->Step();
    EXPECT_EQ(sent.size(), 5u);
    // Five seconds later nothing is resent; after six each query goes once more.
    net.seconds += 6;
    node->Housekeeping();
    EXPECT_EQ(sent.size(), 10u);
    // Ten seconds: the queries fail, the next three candidates are asked.
    net.seconds += 4;
    node->Housekeeping();
    EXPECT_EQ(sent.size(), 13u);
    EXPECT_EQ(action->Outstanding(), 3);
}

TEST_F(KadActionTest, SeedsWithTheOwnIdOnlyFinishAtOnce) {
    CKadActionFind action(*node, IdWithTop(5));
    EXPECT_FALSE(action.Seed({MakeNode(node->OwnId(), Ip(198, 51, 100, 1), 1)}));
    EXPECT_TRUE(action.IsFinished());
    CKadActionFind empty(*node, IdWithTop(5));
    EXPECT_FALSE(empty.Start());  // an empty table gives no seeds
    EXPECT_TRUE(empty.IsFinished());
}

TEST_F(KadActionTest, FoundContactsReachTheTableInTheNextHousekeepingPass) {
    const KadNode a = AddContact(0x10000000u, 1);
    auto action = std::make_shared<CKadActionFind>(*node, IdWithTop(0x10000005u));
    node->StartAction(action);
    action->Step();
    std::string nodes;
    for (std::uint8_t i = 10; i < 13; ++i) {
        AppendCompactNode(MakeNode(IdWithTop(0x10000000u + i, i), Ip(198, 51, 100, i), 6881),
                          nodes);
    }
    EXPECT_EQ(action->CandidateCount(), 1u);
    ASSERT_TRUE(Answer(*action, a, "5:nodes78:" + nodes));
    EXPECT_EQ(action->CandidateCount(), 4u);
    EXPECT_EQ(node->Table().ContactCount(), 1u);
    node->Housekeeping();
    EXPECT_EQ(node->Table().ContactCount(), 4u);
}

TEST(KadNetworkTest, NodesFillTablesFindEachOtherAndAnnounces) {
    KadTestNet net;
    constexpr int kNodes = 24;
    for (int i = 0; i < kNodes; ++i) {
        CKademlia& n = net.AddNode(Ip(198, 51, 100, static_cast<std::uint8_t>(i + 1)), 6881);
        if (i > 0) {
            n.SetBootstrapList("198.51.100.1:6881");
        }
    }
    for (auto& n : net.nodes) {
        n->Open();
    }
    net.Run(150);  // 30 s
    for (int i = 0; i < kNodes; ++i) {
        EXPECT_GE(net.nodes[static_cast<std::size_t>(i)]->Table().GoodCount(), 10u) << "node " << i;
    }
    EXPECT_TRUE(net.unrouted.empty());

    // Node 5 searches and announces port 7005; later node 17 finds it.
    const KadNodeId hash = KadNodeId::FromBytes(std::string(20, '\x5A'));
    auto announcer = std::make_shared<CKadActionBitTorrent>(*net.nodes[5], hash);
    announcer->SetAnnouncePort(7005);
    net.nodes[5]->StartAction(announcer);
    for (int i = 0; i < 300 && !announcer->IsFinished(); ++i) {
        net.Run(1);
    }
    ASSERT_TRUE(announcer->IsFinished());
    std::size_t stored = 0;
    for (auto& n : net.nodes) {
        stored += n->Peers().PeerCount();
    }
    EXPECT_GE(stored, 3u) << "the announce reached several nodes";

    auto seeker = std::make_shared<CKadActionBitTorrent>(*net.nodes[17], hash);
    seeker->SetAnnouncePort(7017);
    net.nodes[17]->StartAction(seeker);
    for (int i = 0; i < 300 && !seeker->IsFinished(); ++i) {
        net.Run(1);
    }
    std::string peers;
    ASSERT_TRUE(seeker->TakePeers(peers, true));
    std::string expected;
    AppendCompactPeer(Ip(198, 51, 100, 6), 7005, expected);
    bool found = false;
    for (std::size_t at = 0; at + 6 <= peers.size(); at += 6) {
        found = found || peers.compare(at, 6, expected) == 0;
    }
    EXPECT_TRUE(found);
    for (auto& n : net.nodes) {
        n->Close();
    }
}

}  // namespace
}  // namespace koruvan::engine::test

namespace koruvan::engine::test {
namespace {

TEST_F(KadActionTest, AnswerInAnotherImplementationsLayoutMakesTheContactGood) {
    const KadNode c = MakeNode(IdWithTop(0x10000000u, 1), Ip(198, 51, 100, 3), 6881);
    node->Table().Insert(c, false, false, net.seconds);  // heard of, not heard from
    node->StartFindAction(IdWithTop(0x7FFFFFFFu));
    node->Housekeeping();
    const std::string tid = TidSentTo(c);
    ASSERT_EQ(tid.size(), 8u);
    // Keys in sorted order, the asker's address under "ip", an empty "nodes", a glued
    // integer "p" and a version string.
    const std::string answer = "d2:ip6:" + std::string("\xC6\x33\x64\x01\x1A\xE1", 6) +
                               "1:rd2:id20:" + c.id.Bytes() + "5:nodes0:1:pi6881ee1:t8:" + tid +
                               "1:v4:LT\x02\x08" + "1:y1:re";
    node->HandleDatagram(reinterpret_cast<const std::uint8_t*>(answer.data()),
                         static_cast<int>(answer.size()), c.ip, c.port);
    node->ProcessReceived();
    const auto stored = node->Table().Find(c);
    ASSERT_TRUE(stored);
    EXPECT_TRUE(stored->IsGood());
}

}  // namespace
}  // namespace koruvan::engine::test

namespace koruvan::engine::test {
namespace {

TEST_F(KadActionTest, AnswerUnderANewIdIsNotClaimedButTheNewIdIsHeardFrom) {
    const KadNode c = AddContact(0x10000000u, 1);
    auto action = std::make_shared<CKadActionFind>(*node, IdWithTop(0x10000005u));
    node->StartAction(action);
    action->Step();
    const std::string tid = TidSentTo(c);
    const KadNodeId renewed = IdWithTop(0x60000000u, 1);
    const std::string answer =
        "d1:rd2:id20:" + renewed.Bytes() + "5:nodes0:e1:t8:" + tid + "1:y1:re";
    // From another address: ignored.
    node->HandleDatagram(reinterpret_cast<const std::uint8_t*>(answer.data()),
                         static_cast<int>(answer.size()), Ip(198, 51, 100, 77), c.port);
    node->ProcessReceived();
    EXPECT_EQ(node->Table().ContactCount(), 1u);
    // From the asked address and port: the query stays outstanding, the new id is good.
    node->HandleDatagram(reinterpret_cast<const std::uint8_t*>(answer.data()),
                         static_cast<int>(answer.size()), c.ip, c.port);
    node->ProcessReceived();
    EXPECT_EQ(action->Outstanding(), 1);
    const auto fresh = node->Table().Find(MakeNode(renewed, c.ip, c.port));
    ASSERT_TRUE(fresh);
    EXPECT_TRUE(fresh->IsGood());
}

}  // namespace
}  // namespace koruvan::engine::test
