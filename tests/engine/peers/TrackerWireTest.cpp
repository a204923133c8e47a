// What the tracker client sends and reads, byte for byte: the HTTP announce text, the UDP
// datagrams, and the answers of both kinds of tracker, malformed ones included.
#include <gtest/gtest.h>

#include <zlib.h>

#include <climits>
#include <cstring>
#include <string>

#include "engine/peers/Resolver.h"
#include "engine/peers/SourceUrl.h"
#include "engine/peers/TTrackerReply.h"
#include "engine/peers/TTrackerRequest.h"

namespace koruvan::engine {
namespace {

std::string Str(const std::string& s) {
    return std::to_string(s.size()) + ":" + s;
}

std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (const int v : values) {
        out += static_cast<char>(v);
    }
    return out;
}

HttpAnnounceFields Fields(std::int32_t event) {
    HttpAnnounceFields f;
    f.infoHashUrl = "%01%02ab";
    f.peerId = PeerIdBytes{0x00, 0x01, 'K', 'v', 0xFF, 'z', 0x20, '-'};
    f.port = 8080;
    f.uploaded = 12;
    f.downloaded = 5000000000ull;  // beyond 32 bits
    f.left = 4222222222ull;
    f.event = event;
    return f;
}

// ---- requests ----

TEST(TrackerRequest, AnnouncePathNamesEveryFieldInOrder) {
    const std::string expected =
        "/announce?info_hash=%01%02ab&peer_id=%00%01Kv%ffz%20%2d"
        "%00%00%00%00%00%00%00%00%00%00%00%00&port=8080&uploaded=12&downloaded=5000000000"
        "&left=4222222222&event=started&key=5127&compact=1&numwant=200";
    EXPECT_EQ(BuildAnnouncePath("/announce", Fields(kAnnounceStarted)), expected);
}

TEST(TrackerRequest, EventsByValue) {
    struct Case {
        std::int32_t event;
        const char* text;  // what follows "&left=4222222222"
    } cases[] = {
        {kAnnounceCompleted, "&event=completed&key="},
        {kAnnounceStarted, "&event=started&key="},
        {kAnnounceStopped, "&event=stopped&key="},
        {7, "&event=stopped&key="},
        // A regular announce names no event (it would take the client out of the swarm).
        {kAnnounceRegular, "&key="},
    };
    for (const Case& c : cases) {
        const std::string path = BuildAnnouncePath("/a", Fields(c.event));
        EXPECT_NE(path.find(std::string("&left=4222222222") + c.text), std::string::npos)
            << c.event << ": " << path;
    }
}

TEST(TrackerRequest, TrackerQueryIsDroppedFromThePath) {
    const auto split = SplitSourceUrl("tracker://http://10.1.2.3:6969/tr/announce?passkey=x&y");
    ASSERT_TRUE(split.has_value());
    const std::string path = BuildAnnouncePath(split->path, Fields(kAnnounceStarted));
    EXPECT_EQ(path.rfind("/tr/announce?info_hash=", 0), 0u) << path;
    EXPECT_EQ(path.find("passkey"), std::string::npos);
}

TEST(TrackerRequest, RequestTextAndHostLine) {
    EXPECT_EQ(BuildAnnounceRequest("/a?x=1", "tracker.example", 80),
              "GET /a?x=1 HTTP/1.0\r\nUser-Agent: BitTorrent/4.1.2\r\nHost: tracker.example\r\n"
              "Accept-Encoding: gzip\r\nConnection: close\r\n\r\n");
    EXPECT_NE(BuildAnnounceRequest("/a", "10.0.0.1", 6969).find("\r\nHost: 10.0.0.1:6969\r\n"),
              std::string::npos);
}

TEST(TrackerRequest, PeerIdIsTheMarkerAndTheDigest) {
    const PeerIdBytes id = BuildPeerId("http://t/announce", 7, 8, 9, "10.0.0.1");
    char hex[33] = {};
    for (int i = 0; i < 16; ++i) {
        std::snprintf(hex + 2 * i, 3, "%02x", id[static_cast<std::size_t>(4 + i)]);
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(id.data()), 4), Bytes({0, 1, 'K', 'v'}));
    EXPECT_STREQ(hex, "fedae1c058dd1d9f12d16d9e4c2ecdf9");  // MD5 of the joined texts
}

TEST(TrackerRequest, UdpAnnounceDatagram) {
    UdpAnnounceFields f;
    f.connectionId = {1, 2, 3, 4, 5, 6, 7, 8};
    f.transactionId = 0xA1B2C3D4;
    for (std::size_t i = 0; i < 20; ++i) {
        f.infoHash[i] = static_cast<std::uint8_t>(0x40 + i);
        f.peerId[i] = static_cast<std::uint8_t>(0x60 + i);
    }
    f.downloaded = 0x0102030405060708ull;
    f.left = 0x1112131415161718ull;
    f.uploaded = 0x2122232425262728ull;
    f.event = kAnnounceCompleted;
    f.ip = HostToNet32(0x7F000002);
    f.port = 0x1AE1;
    const UdpAnnounceRequest d = BuildUdpAnnounce(f);
    std::string expected = Bytes({1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 1});
    expected.append(reinterpret_cast<const char*>(&f.transactionId), 4);  // host order
    expected.append(f.infoHash.begin(), f.infoHash.end());
    expected.append(f.peerId.begin(), f.peerId.end());
    expected += Bytes({1,    2,    3,    4,    5,    6,    7,    8,    0x11, 0x12, 0x13, 0x14,
                       0x15, 0x16, 0x17, 0x18, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28,
                       0,    0,    0,    1,    127,  0,    0,    2,    0,    0,    0,    0,
                       0,    0,    0,    200,  0x1A, 0xE1, 0,    0,    0,    0,    0,    0});
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.data()), d.size()), expected);
}

// ---- HTTP replies ----

TEST(TrackerReply, SplittingTheHttpReply) {
    const std::string body = "d5:peers6:" + Bytes({10, 0, 0, 1, 0, 80}) + "e";
    const std::string header =
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    struct Case {
        const char* name;
        std::string data;
        bool closed;
        std::int32_t consumed;  // -1 refused, 0 incomplete, else the whole reply
        std::string body;
    } cases[] = {
        {"whole", header + body + "junk", false,
         static_cast<std::int32_t>(header.size() + body.size()), body},
        {"body still arriving", header + body.substr(0, 5), false, 0, ""},
        {"closed before the body was whole", header + body.substr(0, 5), true, -1, ""},
        {"header incomplete", "HTTP/1.1 200 OK\r\nContent-Le", false, 0, ""},
        {"closed inside the header", "HTTP/1.1 200 OK\r\n", true, -1, ""},
        {"no length, still open", "HTTP/1.0 200 OK\r\n\r\n" + body, false, 0, ""},
        // Compact peers hold zero bytes: the body is every byte up to the close.
        {"no length, closed", "HTTP/1.0 200 OK\r\n\r\n" + body, true,
         static_cast<std::int32_t>(19 + body.size()), body},
        {"bare line feeds", "HTTP/1.0 200 OK\nContent-Length:3\n\nabcd", false, 37, "abc"},
        {"spaces before the number", "HTTP/1.0 200 OK\r\ncontent-length:   2\r\n\r\nab", false, 42,
         "ab"},
        {"length not a number", "HTTP/1.0 200 OK\r\nContent-Length: x\r\n\r\nab", false, -1, ""},
        {"length beyond the limit", "HTTP/1.0 200 OK\r\nContent-Length: 99999999\r\n\r\n", false,
         -1, ""},
        {"empty body", "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", false, 38, ""},
    };
    for (const Case& c : cases) {
        const HttpReplyParts parts =
            SplitHttpReply(c.data.data(), static_cast<std::int32_t>(c.data.size()), c.closed);
        EXPECT_EQ(parts.consumed, c.consumed) << c.name;
        if (c.consumed > 0) {
            EXPECT_EQ(parts.body, c.body) << c.name;
        }
    }
    const std::string huge(static_cast<std::size_t>(kMaxTrackerReply) + 1, 'x');
    EXPECT_EQ(SplitHttpReply(huge.data(), static_cast<std::int32_t>(huge.size()), false).consumed,
              -1);
}

TEST(TrackerReply, IntervalRules) {
    struct Case {
        std::string entry;
        std::int32_t interval;
    } cases[] = {
        {"8:intervali60e", 600},
        {"8:intervali61e", 61},
        {"8:intervali1800e", 1800},
        {"8:intervali-5e", 600},
        {"8:interval4:1800", 600},  // not a number
        {"3:fooi9e", 600},          // missing
        {"8:intervali4294967357e", INT32_MAX},
        {"8:intervali99999999999999999999999e", INT32_MAX},
    };
    for (const Case& c : cases) {
        const AnnounceReply r = ReadAnnounceReply("d" + c.entry + "5:peers0:e");
        EXPECT_TRUE(r.bencoded) << c.entry;
        EXPECT_EQ(r.interval, c.interval) << c.entry;
    }
}

TEST(TrackerReply, CountsAndFailureReason) {
    AnnounceReply r = ReadAnnounceReply("d10:done peersi3e13:num completedi9e8:completei1ee");
    EXPECT_EQ(r.seeds, 3);
    EXPECT_EQ(r.completed, 9);
    r = ReadAnnounceReply("d8:completei4e10:downloadedi7e10:incompletei1ee");
    EXPECT_EQ(r.seeds, 4);
    EXPECT_EQ(r.completed, 7);
    r = ReadAnnounceReply("d14:failure reason" + Str("not authorized") + "e");
    EXPECT_TRUE(r.bencoded);
    EXPECT_EQ(r.failureReason, "not authorized");
    EXPECT_TRUE(r.peers.empty());
    EXPECT_EQ(r.interval, 600);
}

TEST(TrackerReply, MalformedBodiesGiveNoPeers) {
    const char* bodies[] = {
        "",
        "<html>404</html>",
        "d5:peers6:abc",            // string longer than the body
        "d5:peers12:abcdefabcdef",  // dictionary not closed
        "l5:peers6:abcdefe",        // a list, not a dictionary
        "d5:peersi12ee",            // peers glued as a number
        "\x1f\x8b\x08\x00garbage",  // gzip magic, damaged stream
    };
    for (const char* body : bodies) {
        const AnnounceReply r = ReadAnnounceReply(body);
        EXPECT_TRUE(r.peers.empty()) << body;
        EXPECT_EQ(r.interval, 600) << body;
    }
}

TEST(TrackerReply, CompactPeers) {
    struct Case {
        const char* name;
        std::string peers;
        std::vector<std::string> expected;  // "a.b.c.d:port"
    } cases[] = {
        {"13 bytes: two peers, last byte ignored",
         Bytes({10, 0, 0, 1, 0x1A, 0xE1, 192, 168, 1, 2, 0, 80, 7}),
         {"10.0.0.1:6881", "192.168.1.2:80"}},
        {"truncated entry", Bytes({10, 0, 0, 1, 0x1A}), {}},
        {"zero address, zero port and broadcast skipped",
         Bytes(
             {0, 0, 0, 0, 0, 80, 10, 0, 0, 2, 0, 0, 255, 255, 255, 255, 0, 80, 10, 0, 0, 3, 0, 81}),
         {"10.0.0.3:81"}},
    };
    for (const Case& c : cases) {
        const AnnounceReply r = ReadAnnounceReply("d5:peers" + Str(c.peers) + "e");
        std::vector<std::string> got;
        for (const LearnedPeer& p : r.peers) {
            got.push_back(FormatDotted(p.ip) + ":" + std::to_string(p.port));
            EXPECT_FALSE(p.hasPeerId);
        }
        EXPECT_EQ(got, c.expected) << c.name;
    }
}

TEST(TrackerReply, ManyCompactPeersAreCappedAtTheNumberAskedFor) {
    std::string peers;
    for (int i = 0; i < 300; ++i) {
        peers += Bytes({10, 1, i / 256, i % 256, 0x1A, 0xE1});
    }
    EXPECT_EQ(ReadAnnounceReply("d5:peers" + Str(peers) + "e").peers.size(), kMaxLearnedPeers);
}

TEST(TrackerReply, DictionaryPeers) {
    const std::string id20 = "-XX0001-abcdefghijkl";
    const std::string body =
        "d5:peersl"
        "d2:ip" +
        Str("10.0.0.7") + "7:peer id" + Str(id20) +
        "4:porti6881ee"
        "d2:ip" +
        Str("10.0.0.8") + "7:peer id" + Str("short") +
        "4:porti80ee"
        "d2:ip" +
        Str("tracker.example") +
        "4:porti80ee"  // host names are not looked up
        "d2:ip" +
        Str("10.0.0.9") +
        "4:porti70000ee"  // port out of range
        "d2:ip" +
        Str("10.0.0.10") +
        "e"  // no port
        "4:junk"
        "ee";
    const AnnounceReply r = ReadAnnounceReply(body);
    ASSERT_EQ(r.peers.size(), 2u);
    EXPECT_EQ(FormatDotted(r.peers[0].ip), "10.0.0.7");
    EXPECT_EQ(r.peers[0].port, 6881);
    ASSERT_TRUE(r.peers[0].hasPeerId);
    EXPECT_EQ(std::string(r.peers[0].peerId.begin(), r.peers[0].peerId.end()), id20);
    EXPECT_EQ(FormatDotted(r.peers[1].ip), "10.0.0.8");
    EXPECT_FALSE(r.peers[1].hasPeerId);
}

TEST(TrackerReply, GzipBodiesAreInflated) {
    const std::string plain = "d8:intervali900e5:peers6:" + Bytes({10, 0, 0, 1, 0, 80}) + "e";
    z_stream z{};
    ASSERT_EQ(
        deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY),
        Z_OK);
    std::string packed(256, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
    z.avail_in = static_cast<uInt>(plain.size());
    z.next_out = reinterpret_cast<Bytef*>(packed.data());
    z.avail_out = static_cast<uInt>(packed.size());
    ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    packed.resize(z.total_out);
    deflateEnd(&z);
    const AnnounceReply r = ReadAnnounceReply(packed);
    EXPECT_EQ(r.interval, 900);
    ASSERT_EQ(r.peers.size(), 1u);
    std::string out;
    EXPECT_FALSE(InflateGzip(packed, out, 10));  // inflates beyond the limit
    EXPECT_FALSE(InflateGzip(packed.substr(0, packed.size() / 2), out, 1000));  // cut short
}

// ---- UDP replies ----

std::string UdpHead(std::uint32_t action, std::uint32_t tx) {
    std::string s = Bytes({static_cast<int>(action >> 24), static_cast<int>((action >> 16) & 255),
                           static_cast<int>((action >> 8) & 255), static_cast<int>(action & 255)});
    s.append(reinterpret_cast<const char*>(&tx), 4);
    return s;
}

UdpReply Read(const std::string& d, const UdpReplyExpectation& e) {
    return ReadUdpReply(reinterpret_cast<const std::uint8_t*>(d.data()), d.size(), e);
}

TEST(TrackerReply, UdpDatagrams) {
    UdpReplyExpectation connecting{true, 100, false, 0};
    UdpReplyExpectation announcing{false, 100, true, 101};
    const std::string id = Bytes({9, 8, 7, 6, 5, 4, 3, 2});
    const std::string body = Bytes({0, 0, 7, 8, 0, 0, 0, 1, 0, 0, 0, 2}) +
                             Bytes({10, 0, 0, 1, 0x1A, 0xE1, 10, 0, 0, 2, 0x1A, 0xE2, 10});
    struct Case {
        const char* name;
        std::string datagram;
        UdpReplyExpectation expect;
        UdpReplyKind kind;
        std::size_t peers;
    } cases[] = {
        {"connect answer", UdpHead(0, 100) + id, connecting, UdpReplyKind::kConnected, 0},
        {"connect answer, other transaction", UdpHead(0, 99) + id, connecting,
         UdpReplyKind::kIgnored, 0},
        {"connect answer cut short", UdpHead(0, 100) + "abc", connecting, UdpReplyKind::kIgnored,
         0},
        {"connect answer while announcing", UdpHead(0, 100) + id, announcing,
         UdpReplyKind::kIgnored, 0},
        {"announce answer", UdpHead(1, 101) + body, announcing, UdpReplyKind::kAnnounced, 2},
        {"announce answer before the connection", UdpHead(1, 101) + body, connecting,
         UdpReplyKind::kIgnored, 0},
        {"announce answer, stale transaction", UdpHead(1, 100) + body, announcing,
         UdpReplyKind::kIgnored, 0},
        {"announce answer of 8 bytes", UdpHead(1, 101), announcing, UdpReplyKind::kAnnounced, 0},
        {"error answer", UdpHead(3, 101) + "not authorized", announcing, UdpReplyKind::kFailed, 0},
        {"error answer for another request", UdpHead(3, 7) + "x", announcing,
         UdpReplyKind::kIgnored, 0},
        {"unknown action", UdpHead(2, 101) + body, announcing, UdpReplyKind::kIgnored, 0},
        {"too short", Bytes({0, 0, 0}), connecting, UdpReplyKind::kIgnored, 0},
    };
    for (const Case& c : cases) {
        const UdpReply r = Read(c.datagram, c.expect);
        EXPECT_EQ(r.kind, c.kind) << c.name;
        EXPECT_EQ(r.peers.size(), c.peers) << c.name;
    }
    const UdpReply connected = Read(UdpHead(0, 100) + id, connecting);
    EXPECT_EQ(std::string(connected.connectionId.begin(), connected.connectionId.end()), id);
    const UdpReply announced = Read(UdpHead(1, 101) + body, announcing);
    EXPECT_EQ(announced.interval, 1800);
    EXPECT_EQ(announced.seeds, 2);
    EXPECT_EQ(Read(UdpHead(3, 101) + "not authorized", announcing).error, "not authorized");
}

}  // namespace
}  // namespace koruvan::engine
