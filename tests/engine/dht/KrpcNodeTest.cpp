// The node's answers byte for byte, its handling of malformed and excessive input, and the
// node file.
#include <gtest/gtest.h>

#include "KadTestNet.h"
#include "engine/dht/KrpcMessages.h"
#include "support/TempDir.h"

namespace koruvan::engine::test {
namespace {

const std::string kTid = "ABCDEFGH";
const KadNodeId kAskerId = IdWithTop(0x11111111u, 7);

class KrpcNodeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        node = std::make_unique<CKademlia>(net.Clock());
        node->SetNodeFilePath(dir.File("node.kad"));
        node->SetSender([this](const void* data, int len, std::uint32_t ip, int port) {
            sent.push_back({std::string(static_cast<const char*>(data), len), ip, port});
            return true;
        });
        node->Open();
        sent.clear();  // the bootstrap has nothing to ping
        own = node->OwnId().Bytes();
    }
    void TearDown() override { node->Close(); }

    // Delivers one datagram from the asker and runs the node's step; returns what it sent.
    std::vector<SentDatagram> Ask(const std::string& bytes, std::uint32_t ip = kAsker,
                                  int port = 6881) {
        sent.clear();
        node->HandleDatagram(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                             static_cast<int>(bytes.size()), ip, port);
        node->ProcessReceived();
        return sent;
    }
    static std::string Query(const std::string& name, const std::string& args,
                             const std::string& tid = kTid) {
        return "d1:ad2:id20:" + kAskerId.Bytes() + args + "e1:q" + std::to_string(name.size()) +
               ":" + name + "1:t" + std::to_string(tid.size()) + ":" + tid + "1:y1:qe";
    }
    std::string Token(std::uint32_t ip = kAsker, std::uint16_t port = 6881) {
        return node->Table().MakeToken(ip, port);
    }

    static inline const std::uint32_t kAsker = Ip(198, 51, 100, 20);
    KadTestNet net;
    ::koruvan::test::TempDir dir;
    std::unique_ptr<CKademlia> node;
    std::vector<SentDatagram> sent;
    std::string own;
};

TEST_F(KrpcNodeTest, AnswersAreByteExact) {
    const std::string hash(20, 'H');
    // Give the table one good contact for the nodes answers.
    const KadNode known = MakeNode(IdWithTop(0x22222222u, 3), Ip(198, 51, 100, 30), 7000);
    node->Table().Insert(known, true, false, net.seconds);
    std::string knownBytes;
    AppendCompactNode(known, knownBytes);

    auto out = Ask(Query("ping", ""));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes, "d1:rd2:id20:" + own + "e1:t8:" + kTid + "1:y1:re");
    EXPECT_EQ(out[0].ip, kAsker);
    EXPECT_EQ(out[0].port, 6881);

    // The ping put the asker in the table, not heard from: the answers name the good
    // contact first, then the questionable one, although the asker is closer.
    std::string nodes = knownBytes;
    AppendCompactNode(MakeNode(kAskerId, kAsker, 6881), nodes);
    out = Ask(Query("find_node", "6:target20:" + std::string(20, 'T')));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes, "d1:rd2:id20:" + own + "5:nodes52:" + nodes + "5:token20:" + Token() +
                                "e1:t8:" + kTid + "1:y1:re");

    out = Ask(Query("get_peers", "9:info_hash20:" + hash));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes, "d1:rd2:id20:" + own + "5:nodes52:" + nodes + "5:token20:" + Token() +
                                "e1:t8:" + kTid + "1:y1:re");

    // A bad token is refused with the error; a good one stores the peer.
    out = Ask(Query("announce_peer",
                    "9:info_hash20:" + hash + "4:porti6882e5:token20:" + std::string(20, 'x')));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes, "d1:e20:Invalid Write Token!1:t8:" + kTid + "1:y1:ee");
    EXPECT_EQ(node->Peers().PeerCount(), 0u);
    out = Ask(Query("announce_peer", "9:info_hash20:" + hash + "4:porti6882e5:token20:" + Token()));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes, "d1:rd2:id20:" + own + "e1:t8:" + kTid + "1:y1:re");

    // Now get_peers carries the values: ip 198.51.100.20, port 6882.
    out = Ask(Query("get_peers", "9:info_hash20:" + hash));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes, "d1:rd2:id20:" + own +
                                "6:valuesl6:" + std::string("\xC6\x33\x64\x14\x1A\xE2", 6) +
                                "e5:token20:" + Token() + "e1:t8:" + kTid + "1:y1:re");
    // The asker is in the table now, not heard from.
    const auto asker = node->Table().Find(MakeNode(kAskerId, kAsker, 6881));
    ASSERT_TRUE(asker);
    EXPECT_TRUE(asker->questionable);
}

TEST_F(KrpcNodeTest, QueriesThatGetNoAnswer) {
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"find_node of the own id", Query("find_node", "6:target20:" + own)},
        {"find_node of id 0", Query("find_node", "6:target20:" + std::string(20, '\0'))},
        {"find_node without target", Query("find_node", "")},
        {"unknown query", Query("vote", "")},
        {"announce without port",
         Query("announce_peer", "9:info_hash20:" + std::string(20, 'H') + "5:token0:")},
        {"announce with port 0",
         Query("announce_peer", "9:info_hash20:" + std::string(20, 'H') + "4:porti0e5:token0:")},
        {"get_peers with a short hash", Query("get_peers", "9:info_hash3:abc")},
        {"id of 19 bytes",
         "d1:ad2:id19:" + std::string(19, 'a') + "e1:q4:ping1:t8:" + kTid + "1:y1:qe"},
        {"no y", "d1:ad2:id20:" + kAskerId.Bytes() + "e1:q4:ping1:t8:" + kTid + "e"},
        {"y of another kind",
         "d1:ad2:id20:" + kAskerId.Bytes() + "e1:q4:ping1:t8:" + kTid + "1:y1:xe"},
        {"empty transaction id", Query("ping", "", "")},
        {"21-byte transaction id", Query("ping", "", std::string(21, 't'))},
        {"a list", "l4:pinge"},
        {"error message", "d1:eli201e7:Genericle1:t8:" + kTid + "1:y1:ee"},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(Ask(c.bytes).empty()) << c.what;
    }
    // Other implementations' short transaction ids are echoed as they came.
    const auto out = Ask(Query("ping", "", "aa"));
    ASSERT_EQ(out.size(), 1u) << "2-byte transaction id";
    EXPECT_EQ(out[0].bytes, "d1:rd2:id20:" + own + "e1:t2:aa1:y1:re");
}

TEST_F(KrpcNodeTest, FloodKeepsTheQueueBoundedAndTheNodeAnswering) {
    const std::string ping = Query("ping", "");
    for (int i = 0; i < 10000; ++i) {
        node->HandleDatagram(reinterpret_cast<const std::uint8_t*>(ping.data()),
                             static_cast<int>(ping.size()), Ip(203, 0, 113, 66), 1000 + i % 5000);
        ASSERT_LE(node->QueuedMessages(), kReceiveQueueLimit);
    }
    EXPECT_EQ(node->QueuedMessages(), kReceiveQueueLimit);
    EXPECT_EQ(node->DatagramsDropped(), 10000u - kReceiveQueueLimit);
    node->ProcessReceived();
    EXPECT_EQ(node->QueuedMessages(), 0u);
    // Once the thread has taken the queue, a well-behaved peer is answered again.
    const auto out = Ask(Query("ping", "", "WELLBEHA"), Ip(198, 51, 100, 99), 7777);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].ip, Ip(198, 51, 100, 99));
}

TEST_F(KrpcNodeTest, NodeFileRoundTripBringsTheTableBackWithoutBootstrap) {
    node->SetBootstrapList("127.0.0.1:9");
    for (std::uint8_t i = 1; i <= 12; ++i) {
        node->Table().Insert(MakeNode(IdWithTop(i << 24, i), Ip(198, 51, 100, i), 6000 + i), true,
                             false, net.seconds);
    }
    const KadNodeId id = node->OwnId();
    const auto contacts = node->Table().AllContacts();
    node->Close();
    const std::string content = ::koruvan::test::ReadFile(dir.File("node.kad"));
    ASSERT_EQ(content.size(), 8u + 20 + 7 + 4 + 26 * contacts.size() + 1);  // 3-digit length
    EXPECT_EQ(content.substr(0, 8), "d2:id20:");
    const std::string length = std::to_string(26 * contacts.size());
    EXPECT_EQ(content.substr(28, 8 + length.size()), "5:table" + length + ":");
    ASSERT_GE(contacts.size(), 10u);

    CKademlia next(net.Clock());
    next.SetNodeFilePath(dir.File("node.kad"));
    std::vector<SentDatagram> pings;
    next.SetSender([&](const void* data, int len, std::uint32_t ip, int port) {
        pings.push_back({std::string(static_cast<const char*>(data), len), ip, port});
        return true;
    });
    next.Open();
    EXPECT_EQ(next.OwnId(), id);
    const auto loaded = next.Table().AllContacts();
    ASSERT_EQ(loaded.size(), contacts.size());
    for (std::size_t i = 0; i < loaded.size(); ++i) {
        EXPECT_TRUE(loaded[i].SameAs(contacts[i]));
        EXPECT_EQ(loaded[i].port, contacts[i].port);
        EXPECT_TRUE(loaded[i].questionable);
    }
    EXPECT_TRUE(pings.empty()) << "a full table loaded: no bootstrap";
    next.Close();
    node->Open();  // for TearDown
}

TEST_F(KrpcNodeTest, NodeFilesThatAreNotLoaded) {
    const std::string valid = "d2:id20:" + std::string(20, 'I') + "5:table0:e";
    const struct {
        const char* what;
        std::string content;
    } cases[] = {
        {"empty", ""},
        {"one byte over 3 MiB", valid + std::string(3145729 - valid.size(), ' ')},
        {"not a dictionary", "l2:ide"},
        {"id of 19 bytes", "d2:id19:" + std::string(19, 'I') + "e"},
    };
    for (const auto& c : cases) {
        ::koruvan::test::WriteFile(dir.File("bad.kad"), c.content);
        CKademlia other(net.Clock());
        other.SetNodeFilePath(dir.File("bad.kad"));
        EXPECT_FALSE(other.LoadNodeFile()) << c.what;
        EXPECT_NE(other.OwnId(), KadNodeId::FromBytes(std::string(20, 'I'))) << c.what;
    }
    ::koruvan::test::WriteFile(dir.File("bad.kad"),
                               valid + std::string(3145728 - valid.size(), ' '));
    CKademlia largest(net.Clock());
    largest.SetNodeFilePath(dir.File("bad.kad"));
    EXPECT_TRUE(largest.LoadNodeFile());
    EXPECT_EQ(largest.OwnId(), KadNodeId::FromBytes(std::string(20, 'I')));
}

}  // namespace
}  // namespace koruvan::engine::test
