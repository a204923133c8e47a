// Downloads from nginx on 127.0.0.1 through real proxies: tinyproxy for HTTP CONNECT
// tunnels, dante for SOCKS4 and SOCKS5 (with and without a login).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "engine/core/base/EngineClock.h"
#include "engine/peers/IpAddress.h"
#include "engine/peers/TPeerConnection.h"
#include "support/LocalServer.h"
#include "support/ProxyServers.h"
#include "support/TempDir.h"

namespace koruvan::test {
namespace {

using engine::TPeerConnection;
using engine::TProxySettings;
using namespace std::chrono_literals;

constexpr std::uint32_t kLoopback = engine::HostToNet32(0x7F000001);
constexpr std::size_t kFileSize = 3 * 1024 * 1024 + 17;

std::string Pattern(std::size_t size) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        out[i] = static_cast<char>(i * 7 % 253);
    }
    return out;
}

class ThroughProxy : public ::testing::Test {
  protected:
    // Connections start the engine clock thread; it must not outlive the tests.
    static void TearDownTestSuite() { engine::StopEngineClock(); }

    void SetUp() override {
        content_ = Pattern(kFileSize);
        WriteFile(dir_.File("data.bin"), content_);
        nginx_ = std::make_unique<NginxServer>(dir_.File("nginx"), dir_.Path(),
                                               std::vector<int>{FreeTcpPort()});
        ASSERT_TRUE(nginx_->Start());
        webPort_ = static_cast<std::uint16_t>(nginx_->Ports()[0]);
    }

    TProxySettings Proxy(std::int32_t type, int port) const {
        TProxySettings proxy;
        proxy.type = type;
        proxy.ip = kLoopback;
        proxy.port = static_cast<std::uint16_t>(port);
        proxy.timeoutSeconds = 5;
        return proxy;
    }

    // Sends a GET for /data.bin right after the connect (queued until the tunnel is open)
    // and reads the response until the server closes; the status line and body come back.
    static std::pair<std::string, std::string> Fetch(TPeerConnection& c) {
        const std::string request =
            "GET /data.bin HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        if (c.Send(reinterpret_cast<const std::uint8_t*>(request.data()),
                   static_cast<std::int32_t>(request.size())) < 0) {
            return {};
        }
        const auto end = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < end) {
            if (c.PendingSend() > 0 && c.Flush() < 0) {
                break;
            }
            const std::int32_t r = c.Receive();
            if (r < 0) {
                break;  // the end of the response, or a failure
            }
            if (r == 0) {
                std::this_thread::sleep_for(1ms);
            }
        }
        const std::string all(reinterpret_cast<const char*>(c.Data()),
                              static_cast<std::size_t>(c.DataSize()));
        const auto headerEnd = all.find("\r\n\r\n");
        if (headerEnd == std::string::npos) {
            return {all, ""};
        }
        return {all.substr(0, all.find("\r\n")), all.substr(headerEnd + 4)};
    }

    void ExpectWholeFile(TPeerConnection& c) {
        const auto [status, body] = Fetch(c);
        EXPECT_EQ(status, "HTTP/1.1 200 OK");
        EXPECT_EQ(body.size(), content_.size());
        EXPECT_TRUE(body == content_);
    }

    TempDir dir_;
    std::string content_;
    std::unique_ptr<NginxServer> nginx_;
    std::uint16_t webPort_ = 0;
};

TEST_F(ThroughProxy, HttpConnectTunnelOfTinyproxy) {
    TinyproxyServer proxy(dir_.File("tinyproxy"), FreeTcpPort());
    ASSERT_TRUE(proxy.Start());
    const TProxySettings settings = Proxy(engine::kProxyHttp, proxy.Port());
    TPeerConnection c;
    ASSERT_TRUE(c.Connect(kLoopback, webPort_, false, &settings));
    EXPECT_EQ(c.RemoteIp(), kLoopback) << "the remote is the target, not the proxy";
    ExpectWholeFile(c);
    EXPECT_TRUE(c.TunnelReady());
    EXPECT_GT(c.BytesReceived(), static_cast<std::int64_t>(kFileSize));

    TPeerConnection named;  // the proxy resolves the name
    ASSERT_TRUE(named.ConnectTo("localhost", webPort_, false, &settings));
    ExpectWholeFile(named);
}

TEST_F(ThroughProxy, TinyproxyLoginIsCheckedAndRefusalFailsTheConnection) {
    TinyproxyServer proxy(dir_.File("tinyproxy"), FreeTcpPort(), "koruvan", "s3cret");
    ASSERT_TRUE(proxy.Start());
    TProxySettings settings = Proxy(engine::kProxyHttp, proxy.Port());
    settings.user = "koruvan";
    settings.password = "s3cret";
    TPeerConnection c;
    ASSERT_TRUE(c.Connect(kLoopback, webPort_, false, &settings));
    ExpectWholeFile(c);

    settings.password = "wrong";
    TPeerConnection refused;
    ASSERT_TRUE(refused.Connect(kLoopback, webPort_, false, &settings));
    const auto [status, body] = Fetch(refused);
    EXPECT_EQ(status, "") << "the 407 answer is the proxy's, never the peer's";
    EXPECT_FALSE(refused.IsOpen());
    EXPECT_FALSE(refused.TunnelReady());
}

TEST_F(ThroughProxy, Socks4AndSocks5OfDante) {
    DanteServer proxy(dir_.File("dante"), FreeTcpPort());
    ASSERT_TRUE(proxy.Start());
    TPeerConnection socks4;
    const TProxySettings four = Proxy(engine::kProxySocks4, proxy.Port());
    ASSERT_TRUE(socks4.Connect(kLoopback, webPort_, false, &four));
    ExpectWholeFile(socks4);

    TProxySettings five = Proxy(engine::kProxySocks5, proxy.Port());
    TPeerConnection byAddress;
    ASSERT_TRUE(byAddress.Connect(kLoopback, webPort_, false, &five));
    ExpectWholeFile(byAddress);

    five.remoteNames = true;
    TPeerConnection byName;
    ASSERT_TRUE(byName.ConnectTo("localhost", webPort_, false, &five));
    EXPECT_EQ(byName.HostText(), "localhost");
    ExpectWholeFile(byName);
}

TEST_F(ThroughProxy, DanteRefusesSocks4aNamesAndTheRefusalFails) {
    // dante serves SOCKS4 but not the 4a name extension: its rejection (91) must end the
    // connection rather than leave the peer waiting.
    DanteServer proxy(dir_.File("dante"), FreeTcpPort());
    ASSERT_TRUE(proxy.Start());
    TProxySettings settings = Proxy(engine::kProxySocks4a, proxy.Port());
    settings.remoteNames = true;
    TPeerConnection c;
    ASSERT_TRUE(c.ConnectTo("localhost", webPort_, false, &settings));
    const auto [status, body] = Fetch(c);
    EXPECT_EQ(status, "");
    EXPECT_FALSE(c.IsOpen());
}

TEST_F(ThroughProxy, Socks5LoginOfDante) {
    DanteServer proxy(dir_.File("dante"), FreeTcpPort(), true);
    if (!proxy.Start()) {
        GTEST_SKIP() << "danted with logins needs a private mount namespace";
    }
    TProxySettings settings = Proxy(engine::kProxySocks5, proxy.Port());
    settings.user = DanteServer::kUser;
    settings.password = DanteServer::kPassword;
    TPeerConnection c;
    ASSERT_TRUE(c.Connect(kLoopback, webPort_, false, &settings));
    ExpectWholeFile(c);

    settings.password = "not-the-password";
    TPeerConnection refused;
    EXPECT_FALSE(refused.Connect(kLoopback, webPort_, false, &settings));
    EXPECT_FALSE(refused.IsOpen());
    settings.user.clear();  // no login offered: the proxy accepts no method
    EXPECT_FALSE(refused.Connect(kLoopback, webPort_, false, &settings));
}

}  // namespace
}  // namespace koruvan::test
