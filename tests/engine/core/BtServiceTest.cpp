// The P2P service and the connection openings on the wire: the disguised outgoing
// handshake (with the engine-wide switch on and off), the fake HTTP answer to a disguised
// incoming connection, and the local discovery datagram's layout and refusals.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/sha.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "BtSwarmSupport.h"
#include "engine/core/P2PService.h"
#include "engine/peers/BencodeCodec.h"
#include "engine/peers/BtWire.h"
#include "integration/TorrentMaker.h"

namespace koruvan::engine {
namespace {

int Socket(const char* address, int port, bool listen) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address, &a.sin_addr);
    if (listen) {
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(fd, 4), 0);
    }
    return fd;
}

// Reads from fd until `n` bytes arrived or `ms` passed.
std::string ReadSome(int fd, std::size_t n, int ms) {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    pollfd p{fd, POLLIN, 0};
    while (out.size() < n && std::chrono::steady_clock::now() < end) {
        if (::poll(&p, 1, 20) > 0) {
            char buffer[4096];
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) {
                break;
            }
            out.append(buffer, static_cast<std::size_t>(got));
        }
    }
    return out;
}

class BtServiceTest : public test::SwarmTest {
  protected:
    void SetUp() override {
        SwarmTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        hash_ =
            test::TorrentInfoHash(test::ReadFile(WriteTorrent(test::SwarmContent(200000), 16384)));
        ASSERT_EQ(std::system(("mkdir -p " + dir_.File("get")).c_str()), 0);
    }
    std::string HandshakeHead() const {
        return std::string(
                   "\x13"
                   "BitTorrent protocol") +
               std::string(8, '\0') + std::string(reinterpret_cast<const char*>(hash_.data()), 20);
    }
    // What the engine sends first on an outgoing connection to a listener of the test.
    std::string FirstBytes(std::int32_t disguise, const std::string& folder) {
        SetBtPeerFlag(disguise);
        EXPECT_EQ(std::system(("mkdir -p " + dir_.File(folder)).c_str()), 0);
        const int port = test::FreeTcpPort();
        const int listener = Socket("127.0.0.4", port, true);
        const TaskHandle task =
            StartTask(dir_.File(folder), "btnode://127.0.0.4:" + std::to_string(port), 0, false,
                      CopyTorrent(folder));
        std::string bytes;
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, 10000) > 0) {
            const int c = ::accept(listener, nullptr, nullptr);
            bytes = ReadSome(c, 200, 1500);
            ::close(c);
        }
        ::close(listener);
        EXPECT_EQ(StopTask(task, true), 0);
        return bytes;
    }
    // The same torrent under another name: a second task over it is no duplicate.
    std::string CopyTorrent(const std::string& name) {
        const std::string path = dir_.File(name + ".torrent");
        test::WriteFile(path, test::ReadFile(dir_.File("swarm.torrent")));
        return path;
    }
    std::array<std::uint8_t, 20> hash_{};
};

TEST_F(BtServiceTest, OutgoingHandshakeIsDisguisedOnlyWhileTheSwitchIsOn) {
    const std::string on = FirstBytes(1, "on");
    const std::string expected =
        "GET / HTTP/1.0\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n"
        "Host: 2130706436:";
    ASSERT_GE(on.size(), expected.size() + 68);
    EXPECT_EQ(on.substr(0, expected.size()), expected);
    const std::size_t end = on.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(on.substr(end + 4, 48), HandshakeHead());
    // The peer id: "%00%01Kv" and then the digest and node id.
    EXPECT_EQ(on.substr(end + 4 + 48, 4), std::string("\0\1Kv", 4));

    const std::string off = FirstBytes(0, "off");
    ASSERT_GE(off.size(), 68u);
    EXPECT_EQ(off.substr(0, 48), HandshakeHead());
}

TEST_F(BtServiceTest, DisguisedIncomingConnectionIsAnsweredWithAFakeHttpHeader) {
    const TaskHandle task = StartTask(dir_.File("get"), "");
    ASSERT_TRUE(test::WaitFor([&] { return Swarm(task).listenPort == port_; }));
    const int fd = Socket("127.0.0.4", 0, false);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.4", &from.sin_addr);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port_));
    ::inet_pton(AF_INET, "127.0.0.3", &to.sin_addr);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    const std::string hello =
        "GET / HTTP/1.0\r\nHost: 1:2\r\n\r\n" + HandshakeHead() + std::string(20, 'p');
    ASSERT_EQ(::send(fd, hello.data(), hello.size(), 0), static_cast<ssize_t>(hello.size()));
    const std::string answer = ReadSome(fd, 140, 3000);
    ::close(fd);
    ASSERT_EQ(answer.rfind("HTTP/1.0 200 OK\r\nConnection: ", 0), 0u) << answer;
    const std::size_t end = answer.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos);
    const std::string header = answer.substr(0, end + 4);
    EXPECT_TRUE(
        header == "HTTP/1.0 200 OK\r\nConnection: Close\r\n\r\n" ||
        header == "HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\n\r\n" ||
        header == "HTTP/1.0 200 OK\r\nConnection: Close\r\nContent-Encoding: none\r\n\r\n" ||
        header == "HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Encoding: none\r\n\r\n")
        << header;
    EXPECT_EQ(answer.substr(end + 4, 48), HandshakeHead());
    EXPECT_EQ(StopTask(task, true), 0);
}

TEST(DiscoveryDatagramTest, LayoutAndRefusals) {
    DiscoveryDatagram d;
    d.ip = 0x026433C6;  // 198.51.100.2 in network order
    d.port = 6881;
    d.reply = true;
    d.infoHash.fill(0x11);
    d.peerId.fill(0x22);
    const auto bytes = EncodeDiscovery(d);
    const std::string expected = std::string(4, '\0') +
                                 "\xC6\x33\x64\x02"
                                 "\x1A\xE1" +
                                 std::string(2, '\0') + std::string("\0\0\0\1", 4) +
                                 std::string(20, '\x11') + std::string(20, '\x22');
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()), expected);
    DiscoveryDatagram back;
    ASSERT_TRUE(DecodeDiscovery(bytes.data(), bytes.size(), back));
    EXPECT_EQ(back.ip, d.ip);
    EXPECT_EQ(back.port, 6881);
    EXPECT_TRUE(back.reply);
    EXPECT_EQ(back.peerId, d.peerId);
    EXPECT_FALSE(DecodeDiscovery(bytes.data(), 55, back));
    auto marked = bytes;
    marked[3] = 1;
    EXPECT_FALSE(DecodeDiscovery(marked.data(), marked.size(), back));
}

}  // namespace
}  // namespace koruvan::engine
