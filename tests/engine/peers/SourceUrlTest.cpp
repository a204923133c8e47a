// Source URLs of every scheme: how they split, and how ParseSourceUrl fills and resolves an
// identity. Host names resolve through an injected lookup (or "localhost").
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/base/KoruvanLog.h"
#include "engine/peers/IpAddress.h"
#include "engine/peers/Resolver.h"
#include "engine/peers/SourceUrl.h"
#include "engine/peers/TPeerId.h"
#include "engine/peers/UsageEvents.h"

namespace koruvan::engine {
namespace {

constexpr std::uint32_t Ip(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return HostToNet32(a << 24 | b << 16 | c << 8 | d);
}

// Owns one reference to a new identity.
struct Identity {
    explicit Identity(const std::string& text) : id(new TPeerId(text, 29)) {}
    ~Identity() { id->Release(); }
    TPeerId* operator->() const { return id; }
    TPeerId& operator*() const { return *id; }
    TPeerId* id;
};

class SourceUrlParse : public ::testing::Test {
  protected:
    void SetUp() override {
        ClearUnresolvable();
        ClearDnsReportFlag();
        SetUsageEventSink([](const UsageEvent&) {});
        // mirror*.koruvan.example resolve to three addresses, anything else is unknown.
        SetHostLookup([calls = calls_](const std::string& host, std::vector<std::uint32_t>& out) {
            ++*calls;
            if (host.rfind("mirror", 0) == 0) {
                out = {Ip(10, 0, 0, 1), Ip(10, 0, 0, 2), Ip(10, 0, 0, 3)};
                return 0;
            }
            return kResolveHostNotFound;
        });
    }
    void TearDown() override {
        SetHostLookup(nullptr);
        SetUsageEventSink(nullptr);
        ClearUnresolvable();
        ClearDnsReportFlag();
    }
    std::shared_ptr<std::atomic<int>> calls_ = std::make_shared<std::atomic<int>>(0);
};

TEST(SourceUrlSplit, HttpAndHttpsAreTheSameSourceOnPort80) {
    const auto http = SplitSourceUrl("http://cdn.koruvan.example/vemo/a.cab");
    const auto https = SplitSourceUrl("HTTPS://cdn.koruvan.example/vemo/a.cab");
    ASSERT_TRUE(http && https);
    EXPECT_EQ(http->kind, kKindHttp);
    EXPECT_EQ(https->kind, kKindHttp);
    EXPECT_EQ(http->host, https->host);
    EXPECT_EQ(http->path, https->path);
    EXPECT_EQ(http->port, 80);
    EXPECT_EQ(https->port, 80) << "the transfer itself is plain HTTP";
    EXPECT_EQ(http->fileName, "a.cab");

    const auto bare = SplitSourceUrl("http://cdn.koruvan.example:8080");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->port, 8080);
    EXPECT_EQ(bare->path, "/");
    EXPECT_EQ(bare->fileName, "");
}

TEST(SourceUrlSplit, HttpIsEscapedAndItsFileNameDecoded) {
    const auto split = SplitSourceUrl("http:\\\\h\\dir\\my file\xE4.cab");
    ASSERT_TRUE(split);
    EXPECT_EQ(split->url, "http://h/dir/my%20file%e4.cab");
    EXPECT_EQ(split->path, "/dir/my%20file%e4.cab");
    EXPECT_EQ(split->fileName, "my file\xE4.cab");
    for (const char* bad : {"http://:80/x", "http://h:0/", "http://h:65536/", "http://h:8x/",
                            "http:/h/x", "gopher://h/"}) {
        EXPECT_FALSE(SplitSourceUrl(bad)) << bad;
    }
}

TEST_F(SourceUrlParse, WebSourceResolvesToItsFirstAddressAndKeepsTheOthers) {
    Identity id("http://mirror1.koruvan.example:8080/vemo/setup.exe");
    ASSERT_TRUE(ParseSourceUrl(*id));
    EXPECT_TRUE(id->parsed);
    EXPECT_TRUE(id->resolved);
    EXPECT_FALSE(id->resolutionFailed);
    EXPECT_EQ(id->kind, kKindHttp);
    EXPECT_EQ(id->port, 8080);
    EXPECT_EQ(id->ip, Ip(10, 0, 0, 1));
    EXPECT_EQ(id->Details().addresses,
              (std::vector<std::uint32_t>{Ip(10, 0, 0, 2), Ip(10, 0, 0, 3)}));
    EXPECT_EQ(id->Details().urlPath, "/vemo/setup.exe");
    EXPECT_EQ(id->Details().fileName, "setup.exe");
    EXPECT_EQ(id->Details().url, "http://mirror1.koruvan.example:8080/vemo/setup.exe");
    EXPECT_EQ(id->text, "http://mirror1.koruvan.example:8080/vemo/setup.exe")
        << "the identity's own text stays as given";

    TPeerId* copy = id->Clone();
    EXPECT_TRUE(copy->resolved);
    EXPECT_EQ(copy->Details().addresses.size(), 2u);
    copy->Release();
}

TEST_F(SourceUrlParse, UnresolvableHostMarksTheIdentity) {
    Identity id("https://nowhere.koruvan.example/f.cab");
    EXPECT_FALSE(ParseSourceUrl(*id));
    EXPECT_TRUE(id->resolutionFailed);
    EXPECT_FALSE(id->resolved);
    EXPECT_FALSE(id->parsed);
    EXPECT_EQ(id->ip, kNoAddress);
    EXPECT_EQ(id->kind, kKindHttp) << "what did split is kept for the caller's report";

    Identity invalid("http://0.0.0.0/f.cab");
    EXPECT_FALSE(ParseSourceUrl(*invalid));
    EXPECT_FALSE(invalid->resolutionFailed) << "an invalid address is not a failed lookup";
    EXPECT_EQ(invalid->ip, kNoAddress);
    EXPECT_EQ(*calls_, 1);
}

TEST_F(SourceUrlParse, EverySchemeButNodesResolves) {
    Identity ftp("ftp://u:p@mirror2.koruvan.example/pub/data.bin");
    ASSERT_TRUE(ParseSourceUrl(*ftp));
    EXPECT_EQ(ftp->kind, kKindFtp);
    EXPECT_EQ(ftp->port, 21);
    EXPECT_EQ(ftp->ip, Ip(10, 0, 0, 1));
    EXPECT_EQ(ftp->Details().user, "u");
    EXPECT_EQ(ftp->Details().password, "p");
    EXPECT_EQ(ftp->Details().fileName, "data.bin");

    Identity anonymous("FTP://mirror2.koruvan.example");
    ASSERT_TRUE(ParseSourceUrl(*anonymous));
    EXPECT_EQ(anonymous->Details().user, "anonymous");
    EXPECT_NE(anonymous->Details().password.find('@'), std::string::npos);
    EXPECT_EQ(anonymous->Details().urlPath, "/");

    Identity tracker("tracker://udp://mirror3.koruvan.example:6969/announce?k=1&x");
    ASSERT_TRUE(ParseSourceUrl(*tracker));
    EXPECT_EQ(tracker->kind, kKindTracker);
    EXPECT_TRUE(tracker->Details().udpTracker);
    EXPECT_EQ(tracker->port, 6969);
    EXPECT_EQ(tracker->Details().urlPath, "/announce");
    EXPECT_EQ(tracker->Details().query, "k=1&x");
    EXPECT_EQ(tracker->ip, Ip(10, 0, 0, 1));
    Identity httpTracker("tracker://http://mirror3.koruvan.example/a");
    ASSERT_TRUE(ParseSourceUrl(*httpTracker));
    EXPECT_FALSE(httpTracker->Details().udpTracker);
    EXPECT_EQ(httpTracker->port, 80);
    EXPECT_FALSE(ParseSourceUrl(*Identity("tracker://wss://mirror3.koruvan.example/a")));

    const int before = *calls_;
    Identity node("btnode://10.1.2.3:6881");
    ASSERT_TRUE(ParseSourceUrl(*node));
    EXPECT_EQ(node->kind, kKindBitTorrent);
    EXPECT_EQ(node->ip, Ip(10, 1, 2, 3));
    EXPECT_EQ(node->port, 6881);
    EXPECT_TRUE(node->resolved);
    Identity namedNode("btnode://mirror.koruvan.example:6881");
    EXPECT_FALSE(ParseSourceUrl(*namedNode)) << "a node address must be dotted";
    EXPECT_FALSE(ParseSourceUrl(*Identity("btnode://10.1.2.3")));
    EXPECT_EQ(*calls_, before) << "nodes are never looked up";

    EXPECT_FALSE(ParseSourceUrl(*Identity("node://10.1.2.3:6881")));
    EXPECT_FALSE(ParseSourceUrl(*Identity("")));
}

TEST_F(SourceUrlParse, LocalhostThroughTheSystemResolver) {
    SetHostLookup(nullptr);
    Identity local("http://localhost:1234/x");
    ASSERT_TRUE(ParseSourceUrl(*local));
    EXPECT_EQ(local->ip, Ip(127, 0, 0, 1));
    EXPECT_EQ(local->port, 1234);
}

TEST_F(SourceUrlParse, PlainParseSplitsWithoutLookingUp) {
    Identity id("http://mirror9.koruvan.example/a/b.cab");
    ASSERT_TRUE(id->Parse());
    EXPECT_TRUE(id->parsed);
    EXPECT_FALSE(id->resolved);
    EXPECT_EQ(id->host, "mirror9.koruvan.example");
    EXPECT_EQ(id->Details().fileName, "b.cab");
    EXPECT_EQ(*calls_, 0);
}

}  // namespace
}  // namespace koruvan::engine
