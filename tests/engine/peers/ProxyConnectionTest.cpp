// Proxy handshakes of TPeerConnection against scripted proxies on 127.0.0.1: the exact
// request bytes, replies that arrive in pieces or malformed, and proxies that stay silent.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "engine/peers/LoopbackPeer.h"
#include "engine/peers/Resolver.h"
#include "engine/peers/TPeerConnection.h"

namespace koruvan::engine {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::kLoopback;
using test::ReadAtLeast;
using test::ScriptedServer;
using test::Text;
using test::WaitUntil;
using test::WriteAll;

// The destination the proxy is asked for; never dialled by the tests themselves.
constexpr std::uint16_t kTargetPort = 4321;

TProxySettings ProxyAt(std::int32_t type, std::uint16_t port) {
    TProxySettings proxy;
    proxy.type = type;
    proxy.ip = kLoopback;
    proxy.port = port;
    proxy.timeoutSeconds = 2;
    return proxy;
}

std::string Raw(std::initializer_list<int> bytes) {
    std::string out;
    for (const int b : bytes) {
        out.push_back(static_cast<char>(b));
    }
    return out;
}

// Counts lookups of the resolver while alive, proving that named targets stay unresolved.
class LookupCounter {
  public:
    LookupCounter() {
        SetHostLookup([calls = calls_](const std::string&, std::vector<std::uint32_t>&) {
            ++*calls;
            return kResolveHostNotFound;
        });
    }
    ~LookupCounter() {
        SetHostLookup(nullptr);
        ClearUnresolvable();
    }
    int Calls() const { return *calls_; }

  private:
    std::shared_ptr<std::atomic<int>> calls_ = std::make_shared<std::atomic<int>>(0);
};

// Receives until the tunnel delivers at least n bytes to the peer, or fails.
std::int32_t PumpUntil(TPeerConnection& c, std::int32_t n) {
    std::int32_t last = 0;
    WaitUntil([&] {
        last = c.Receive();
        return last < 0 || c.DataSize() >= n;
    });
    return last;
}

TEST(HttpTunnel, RequestBytesAndAReplyWithABodyThatArrivesInPieces) {
    std::string request;
    std::string afterTunnel;
    ScriptedServer proxy([&](TPeerConnection& s) {
        request = ReadAtLeast(s, 1);
        WaitUntil([&] {  // the request may arrive in several reads
            request += ReadAtLeast(s, 1, 10ms);
            return request.find("\r\n\r\n") != std::string::npos;
        });
        WriteAll(s, "HTTP/1.1 200 Connection established\r\nContent-Len");
        std::this_thread::sleep_for(20ms);
        WriteAll(s, "gth: 5\r\n\r\nab");
        std::this_thread::sleep_for(20ms);
        WriteAll(s, "cdePEER");
        afterTunnel = ReadAtLeast(s, 5);
    });
    TProxySettings settings = ProxyAt(kProxyHttp, proxy.Port());
    settings.user = "u";
    settings.password = "p";
    TPeerConnection c;
    ASSERT_TRUE(c.Connect(kLoopback, kTargetPort, false, &settings));
    EXPECT_FALSE(c.TunnelReady());
    EXPECT_EQ(c.Proxy().target, "") << "the target text is cleared after the handshake";
    // Output waits for the tunnel and goes out once the reply is complete.
    EXPECT_GE(c.Send(Bytes("hello"), 5), 0);
    ASSERT_GE(PumpUntil(c, 4), 0);
    EXPECT_TRUE(c.TunnelReady());
    EXPECT_EQ(Text(c), "PEER") << "the reply header and its 5 body bytes are consumed";
    EXPECT_EQ(c.PendingSend(), 0);
    proxy.Join();
    EXPECT_EQ(request,
              "CONNECT 127.0.0.1:4321 HTTP/1.1\r\n"
              "Proxy-Authorization: Basic dTpw\r\n\r\n");
    EXPECT_EQ(afterTunnel, "hello");
}

TEST(HttpTunnel, RefusalFailsTheConnection) {
    ScriptedServer proxy([](TPeerConnection& s) {
        ReadAtLeast(s, 1);
        WriteAll(s, "HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 0\r\n\r\n");
        ReadAtLeast(s, 1, 500ms);
    });
    TProxySettings settings = ProxyAt(kProxyHttp, proxy.Port());
    TPeerConnection c;
    ASSERT_TRUE(c.Connect(kLoopback, kTargetPort, false, &settings));
    EXPECT_EQ(PumpUntil(c, 1), -1);
    EXPECT_FALSE(c.IsOpen());
    EXPECT_EQ(c.DataSize(), 0) << "the proxy's refusal is not handed to the peer";
}

TEST(HttpTunnel, NamedTargetIsNotResolvedLocally) {
    LookupCounter lookups;
    std::string request;
    ScriptedServer proxy([&](TPeerConnection& s) {
        request = ReadAtLeast(s, 40);
        WriteAll(s, "HTTP/1.0 200 OK\r\n\r\n");
        ReadAtLeast(s, 1, 500ms);
    });
    TProxySettings settings = ProxyAt(kProxyHttp, proxy.Port());
    settings.domain = "LAB";
    TPeerConnection c;
    ASSERT_TRUE(c.ConnectTo("files.koruvan.example", 8080, false, &settings));
    EXPECT_EQ(c.HostText(), "files.koruvan.example");
    EXPECT_EQ(PumpUntil(c, 0), 0);
    EXPECT_TRUE(WaitUntil([&] { return c.Receive() >= 0 && c.TunnelReady(); }));
    EXPECT_EQ(lookups.Calls(), 0);
    c.Close();
    proxy.Join();
    EXPECT_EQ(request, "CONNECT files.koruvan.example:8080 HTTP/1.1\r\nDomain: LAB\r\n\r\n");
}

TEST(HttpTunnel, SkippedHandshakeSendsPeerBytesFirst) {
    std::string first;
    ScriptedServer proxy([&](TPeerConnection& s) { first = ReadAtLeast(s, 4); });
    TProxySettings settings = ProxyAt(kProxyHttp, proxy.Port());
    settings.skipHandshake = true;
    TPeerConnection c;
    ASSERT_TRUE(c.Connect(kLoopback, kTargetPort, true, &settings));
    EXPECT_TRUE(c.TunnelReady());
    EXPECT_TRUE(WriteAll(c, "GET "));
    proxy.Join();
    EXPECT_EQ(first, "GET ");
}

TEST(HttpTunnel, AnotherMethodLeavesTheReplyToThePeer) {
    ScriptedServer proxy([](TPeerConnection& s) {
        ReadAtLeast(s, 1);
        WriteAll(s, "HTTP/1.1 200 OK\r\n\r\nbody");
        ReadAtLeast(s, 1, 500ms);
    });
    TProxySettings settings = ProxyAt(kProxyHttp, proxy.Port());
    settings.method = "GET";
    settings.target = "http://h/f HTTP/1.1\r\n";
    TPeerConnection c;
    ASSERT_TRUE(c.Connect(kLoopback, 80, false, &settings));
    ASSERT_GE(PumpUntil(c, 23), 0);
    EXPECT_EQ(Text(c), "HTTP/1.1 200 OK\r\n\r\nbody");
}

TEST(Socks4, RequestBytesAndAGrantInPieces) {
    std::string request;
    ScriptedServer proxy([&](TPeerConnection& s) {
        request = ReadAtLeast(s, 9);
        WriteAll(s, Raw({0, 0x5A, 0, 0}));
        std::this_thread::sleep_for(20ms);
        WriteAll(s, Raw({0, 0, 0, 0}) + "DATA");
        ReadAtLeast(s, 1, 500ms);
    });
    TProxySettings settings = ProxyAt(kProxySocks4, proxy.Port());
    settings.remoteNames = true;  // never for plain SOCKS4
    TPeerConnection c;
    ASSERT_TRUE(c.Connect(kLoopback, kTargetPort, false, &settings));
    ASSERT_GE(PumpUntil(c, 4), 0);
    EXPECT_EQ(Text(c), "DATA");
    c.Close();
    proxy.Join();
    EXPECT_EQ(request, Raw({4, 1, 0x10, 0xE1, 127, 0, 0, 1, 0}));
}

class Socks4BadReply : public ::testing::TestWithParam<std::string> {};

TEST_P(Socks4BadReply, FailsTheConnection) {
    const std::string reply = GetParam();
    ScriptedServer proxy([&](TPeerConnection& s) {
        ReadAtLeast(s, 9);
        WriteAll(s, reply);
        s.Close();  // a short reply ends with the stream
    });
    TProxySettings settings = ProxyAt(kProxySocks4, proxy.Port());
    TPeerConnection c;
    ASSERT_TRUE(c.Connect(kLoopback, kTargetPort, false, &settings));
    EXPECT_EQ(PumpUntil(c, 1), -1);
    EXPECT_FALSE(c.IsOpen());
    EXPECT_EQ(c.DataSize(), 0);
}

INSTANTIATE_TEST_SUITE_P(Replies, Socks4BadReply,
                         ::testing::Values(Raw({0, 0x5B, 0, 0, 0, 0, 0, 0}),
                                           Raw({4, 0x5A, 0, 0, 0, 0, 0, 0}),
                                           Raw({0, 0x5A, 0, 0, 0}), std::string()));

TEST(Socks4a, SendsAtMost255NameBytesAndLooksNothingUp) {
    LookupCounter lookups;
    std::string request;
    ScriptedServer proxy([&](TPeerConnection& s) {
        request = ReadAtLeast(s, 9 + 255 + 1);
        WriteAll(s, Raw({0, 0x5A, 0, 0, 0, 0, 0, 0}));
        ReadAtLeast(s, 1, 500ms);
    });
    TProxySettings settings = ProxyAt(kProxySocks4a, proxy.Port());
    settings.remoteNames = true;
    const std::string host(300, 'h');
    TPeerConnection c;
    ASSERT_TRUE(c.ConnectTo(host.c_str(), 6881, false, &settings));
    EXPECT_TRUE(WaitUntil([&] { return c.Receive() < 0 || c.TunnelReady(); }));
    EXPECT_TRUE(c.TunnelReady());
    c.Close();
    proxy.Join();
    EXPECT_EQ(lookups.Calls(), 0);
    EXPECT_EQ(request, Raw({4, 1, 0x1A, 0xE1, 0, 0, 0, 1, 0}) + std::string(255, 'h') +
                           std::string(1, '\0'));
}

TEST(Socks5, RepliesSplitIntoSingleBytesStillComplete) {
    std::string greeting;
    std::string request;
    ScriptedServer proxy([&](TPeerConnection& s) {
        greeting = ReadAtLeast(s, 3);
        WriteAll(s, Raw({5}));
        std::this_thread::sleep_for(20ms);
        WriteAll(s, Raw({0}));
        request = ReadAtLeast(s, 10);
        for (const char b : Raw({5, 0, 0, 1, 127, 0, 0, 1, 0x10, 0xE1})) {
            WriteAll(s, std::string(1, b));
            std::this_thread::sleep_for(2ms);
        }
        WriteAll(s, "DATA");
        ReadAtLeast(s, 1, 500ms);
    });
    TProxySettings settings = ProxyAt(kProxySocks5, proxy.Port());
    TPeerConnection c;
    ASSERT_TRUE(c.Connect(kLoopback, kTargetPort, false, &settings));
    ASSERT_GE(PumpUntil(c, 4), 0);
    EXPECT_EQ(Text(c), "DATA");
    c.Close();
    proxy.Join();
    EXPECT_EQ(greeting, Raw({5, 1, 0}));
    EXPECT_EQ(request, Raw({5, 1, 0, 1, 127, 0, 0, 1, 0x10, 0xE1}));
}

// A SOCKS5 proxy that asks for a login and answers it with loginStatus.
struct LoginProxy {
    explicit LoginProxy(int loginStatus, int method = 2)
        : server([this, loginStatus, method](TPeerConnection& s) {
              greeting = ReadAtLeast(s, 3);
              WriteAll(s, Raw({5, method}));
              if (method != 2) {
                  ReadAtLeast(s, 1, 500ms);
                  return;
              }
              login = ReadAtLeast(s, 11);
              WriteAll(s, Raw({1, loginStatus}));
              if (loginStatus == 0) {
                  ReadAtLeast(s, 10);
                  WriteAll(s, Raw({5, 0, 0, 1, 127, 0, 0, 1, 0, 1}));
              }
              ReadAtLeast(s, 1, 500ms);
          }) {}
    std::string greeting;
    std::string login;
    ScriptedServer server;
};

TEST(Socks5, LoginFollowsRfc1929) {
    LoginProxy proxy(0);
    TProxySettings settings = ProxyAt(kProxySocks5, proxy.server.Port());
    settings.user = "user";
    settings.password = "pass";
    TPeerConnection c;
    ASSERT_TRUE(c.Connect(kLoopback, kTargetPort, false, &settings));
    EXPECT_TRUE(WaitUntil([&] { return c.Receive() < 0 || c.TunnelReady(); }));
    EXPECT_TRUE(c.TunnelReady());
    c.Close();
    proxy.server.Join();
    EXPECT_EQ(proxy.greeting, Raw({5, 1, 2}));
    EXPECT_EQ(proxy.login, Raw({1, 4, 'u', 's', 'e', 'r', 4, 'p', 'a', 's', 's'}));
}

TEST(Socks5, RefusedLoginOrMethodFailsTheConnect) {
    TProxySettings settings;
    {
        LoginProxy proxy(1);
        settings = ProxyAt(kProxySocks5, proxy.server.Port());
        settings.user = "user";
        settings.password = "pass";
        TPeerConnection c;
        EXPECT_FALSE(c.Connect(kLoopback, kTargetPort, false, &settings));
        EXPECT_FALSE(c.IsOpen());
    }
    {
        LoginProxy proxy(0, 0xFF);  // no acceptable method
        settings.port = proxy.server.Port();
        TPeerConnection c;
        EXPECT_FALSE(c.Connect(kLoopback, kTargetPort, false, &settings));
    }
    {
        LoginProxy proxy(0, 0);  // offers no authentication although a login was offered
        settings.port = proxy.server.Port();
        TPeerConnection c;
        EXPECT_FALSE(c.Connect(kLoopback, kTargetPort, false, &settings));
    }
}

TEST(Socks5, NamedTargetWithANamedReplyAndDataBehindIt) {
    LookupCounter lookups;
    std::string request;
    ScriptedServer proxy([&](TPeerConnection& s) {
        ReadAtLeast(s, 3);
        WriteAll(s, Raw({5, 0}));
        request = ReadAtLeast(s, 7 + 20);
        WriteAll(s, Raw({5, 0, 0, 3, 4}) + "peer" + Raw({0x1A, 0xE1}) + "DATA");
        ReadAtLeast(s, 1, 500ms);
    });
    TProxySettings settings = ProxyAt(kProxySocks5, proxy.Port());
    settings.remoteNames = true;
    TPeerConnection c;
    ASSERT_TRUE(c.ConnectTo("peer.koruvan.example", 6881, false, &settings));
    ASSERT_GE(PumpUntil(c, 4), 0);
    EXPECT_EQ(Text(c), "DATA");
    c.Close();
    proxy.Join();
    EXPECT_EQ(lookups.Calls(), 0);
    EXPECT_EQ(request, Raw({5, 1, 0, 3, 20}) + "peer.koruvan.example" + Raw({0x1A, 0xE1}));
}

TEST(Socks5, SilentProxyFailsWithinHalfTheTimeout) {
    std::atomic<bool> release{false};
    ScriptedServer proxy([&](TPeerConnection& s) {
        ReadAtLeast(s, 3);
        WaitUntil([&] { return release.load(); });
    });
    TProxySettings settings = ProxyAt(kProxySocks5, proxy.Port());
    settings.timeoutSeconds = 1;
    TPeerConnection c;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(c.Connect(kLoopback, kTargetPort, false, &settings));
    const auto waited = std::chrono::steady_clock::now() - start;
    release = true;
    EXPECT_GE(waited, 450ms);
    EXPECT_LT(waited, 1500ms);
    EXPECT_FALSE(c.IsOpen());
}

TEST(ProxyDefaults, UsedWhenTheCallerPassesNone) {
    std::string request;
    ScriptedServer proxy([&](TPeerConnection& s) {
        request = ReadAtLeast(s, 9);
        ReadAtLeast(s, 1, 500ms);
    });
    SetDefaultProxySettings(ProxyAt(kProxySocks4, proxy.Port()));
    TPeerConnection c;
    const bool connected = c.Connect(kLoopback, kTargetPort, false);
    SetDefaultProxySettings(TProxySettings{});
    ASSERT_TRUE(connected);
    EXPECT_EQ(c.Proxy().type, kProxySocks4);
    c.Close();
    proxy.Join();
    EXPECT_EQ(request, Raw({4, 1, 0x10, 0xE1, 127, 0, 0, 1, 0}));
    EXPECT_FALSE(DefaultProxySettings().IsUsable());
}

TEST(ProxySettings, TimeOutDefaultsAndBounds) {
    TProxySettings p = ProxyAt(kProxySocks4, 1080);
    p.remoteNames = true;
    EXPECT_FALSE(p.SendsNames()) << "SOCKS4 never sends names";
    p.timeoutSeconds = 0;
    EXPECT_EQ(p.TimeoutMs(), 12000);
    p.timeoutSeconds = 2147483647;
    EXPECT_EQ(p.TimeoutMs(), 3600 * 1000) << "no overflow";
}

}  // namespace
}  // namespace koruvan::engine
