// What a tracker client sends: the peer id of an HTTP announce, the announce path and
// request text of an HTTP tracker, and the connect and announce datagrams of a UDP tracker.
// Pure functions, so every byte can be checked on its own.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace koruvan::engine {

// Announce events. A regular announce carries none; the UDP datagram sends the value as it
// stands (0 none, 1 completed, 2 started, 3 stopped).
inline constexpr std::int32_t kAnnounceRegular = 0;
inline constexpr std::int32_t kAnnounceCompleted = 1;
inline constexpr std::int32_t kAnnounceStarted = 2;
inline constexpr std::int32_t kAnnounceStopped = 3;

// The fixed key every HTTP announce carries, and how many peers an announce asks for.
inline constexpr std::uint32_t kAnnounceKey = 5127;
inline constexpr std::int32_t kAnnounceNumWant = 200;

using PeerIdBytes = std::array<std::uint8_t, 20>;

// The peer id of an HTTP announce: the bytes 0x00 0x01 'K' 'v' and the MD5 digest of the
// announce URL, the thread handle, the task's address and the engine seconds (decimal) and
// the local address (dotted).
[[nodiscard]] PeerIdBytes BuildPeerId(std::string_view announceUrl, std::uint64_t threadHandle,
                                      std::uint64_t taskAddress, std::uint32_t engineSeconds,
                                      std::string_view localAddress);

// Bytes 0-9, A-Z and a-z as they are, every other byte as "%" and two lower-case hex digits.
[[nodiscard]] std::string PercentEncodeBytes(const std::uint8_t* data, std::size_t size);

// "completed", "started" or "stopped"; empty for a regular announce.
[[nodiscard]] std::string_view AnnounceEventName(std::int32_t event) noexcept;

struct HttpAnnounceFields {
    std::string infoHashUrl;  // the info hash, percent-encoded
    PeerIdBytes peerId{};
    std::uint16_t port = 0;  // the engine's listening port
    std::uint64_t uploaded = 0;
    std::uint64_t downloaded = 0;
    std::uint64_t left = 0;
    std::int32_t event = kAnnounceRegular;
};

// The tracker URL's path (its own query already cut off) followed by the announce query:
// "?info_hash=...&peer_id=...&port=...&uploaded=...&downloaded=...&left=...[&event=...]
// &key=5127&compact=1&numwant=200".
[[nodiscard]] std::string BuildAnnouncePath(std::string_view trackerPath,
                                            const HttpAnnounceFields& fields);

// "GET <path> HTTP/1.0", the User-Agent, the Host line (with ":port" unless the port is 80),
// "Accept-Encoding: gzip", "Connection: close" and the empty line.
[[nodiscard]] std::string BuildAnnounceRequest(std::string_view path, std::string_view host,
                                               std::uint16_t port);

// ---- UDP tracker protocol ----
inline constexpr std::uint64_t kUdpProtocolId = 0x41727101980ull;
inline constexpr std::uint32_t kUdpActionConnect = 0;
inline constexpr std::uint32_t kUdpActionAnnounce = 1;
inline constexpr std::uint32_t kUdpActionError = 3;
inline constexpr std::size_t kUdpConnectSize = 16;
inline constexpr std::size_t kUdpAnnounceSize = 104;

using UdpConnectRequest = std::array<std::uint8_t, kUdpConnectSize>;
using UdpAnnounceRequest = std::array<std::uint8_t, kUdpAnnounceSize>;

// Protocol id, action 0 and the transaction id, which travels in host byte order.
[[nodiscard]] UdpConnectRequest BuildUdpConnect(std::uint32_t transactionId) noexcept;

struct UdpAnnounceFields {
    std::array<std::uint8_t, 8> connectionId{};  // as the connect reply carried it
    std::uint32_t transactionId = 0;             // travels in host byte order
    std::array<std::uint8_t, 20> infoHash{};
    PeerIdBytes peerId{};
    std::uint64_t downloaded = 0;
    std::uint64_t left = 0;
    std::uint64_t uploaded = 0;
    std::int32_t event = kAnnounceRegular;
    std::uint32_t ip = 0;  // network order, 0 when none
    std::uint16_t port = 0;
};

// The 104-byte announce datagram; numbers big-endian unless said otherwise, key 0, 200
// peers wanted, the last 6 bytes zero.
[[nodiscard]] UdpAnnounceRequest BuildUdpAnnounce(const UdpAnnounceFields& fields) noexcept;

}  // namespace koruvan::engine
