// What a tracker client reads: the HTTP reply around an announce answer, the bencoded answer
// itself (interval, counts, peers in compact or dictionary form, a failure reason), and the
// datagrams of a UDP tracker. Every input comes from the network: nothing here reads past
// the bytes it was given, and every count is bounded.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/peers/TTrackerRequest.h"

namespace koruvan::engine {

// Largest HTTP reply taken, header and body; a tracker answer with 200 peers in the
// dictionary form is well under 20 KiB.
inline constexpr std::int32_t kMaxTrackerReply = 256 * 1024;
// Peers taken from one answer: as many as an announce asks for.
inline constexpr std::size_t kMaxLearnedPeers = kAnnounceNumWant;
// The announce interval a tracker's answer sets, in seconds: values below the minimum (or
// none) give the default; values beyond 32 bits are held at the largest one.
inline constexpr std::int32_t kDefaultAnnounceInterval = 600;
inline constexpr std::int32_t kMinAnnounceInterval = 61;

[[nodiscard]] std::int32_t AnnounceIntervalFrom(std::int64_t seconds, bool present) noexcept;

struct LearnedPeer {
    std::uint32_t ip = 0;  // network order
    std::uint16_t port = 0;
    bool hasPeerId = false;  // the dictionary form names the peer's id
    PeerIdBytes peerId{};
};

// 6-byte entries (IPv4 address, big-endian port) while at least 6 bytes remain; entries
// whose address or port is not usable are skipped; at most kMaxLearnedPeers in `out`.
void ReadCompactPeers(const std::uint8_t* data, std::size_t size, std::vector<LearnedPeer>& out);

struct HttpReplyParts {
    // Bytes the whole reply takes; 0 while it is not complete; -1 when it never will be.
    std::int32_t consumed = 0;
    std::string_view body;  // points into the data given
};

// One HTTP reply in data[0..len): the header up to the first "\r\n\r\n" (or "\n\n") and a
// body of Content-Length bytes. Without that field the body is everything after the header
// once the tracker has closed the connection (`closed`). Refused (-1): a Content-Length
// that is not a number or beyond kMaxTrackerReply, more data than that limit, and a
// connection closed before the reply was whole.
[[nodiscard]] HttpReplyParts SplitHttpReply(const char* data, std::int32_t len, bool closed);

struct AnnounceReply {
    bool bencoded = false;  // the body was a bencoded dictionary
    std::int32_t interval = kDefaultAnnounceInterval;
    std::int64_t seeds = 0;
    std::int64_t completed = 0;
    std::string failureReason;  // read, not acted on
    std::vector<LearnedPeer> peers;
};

// The answer of an HTTP announce. A body compressed with gzip (the request offers it) is
// inflated first; anything that is not bencode gives an answer without peers.
[[nodiscard]] AnnounceReply ReadAnnounceReply(std::string_view body);

// Inflates a gzip member into `out`, at most `limit` bytes; false when it is not gzip, is
// damaged, or inflates beyond the limit.
[[nodiscard]] bool InflateGzip(std::string_view data, std::string& out, std::size_t limit);

// ---- UDP tracker datagrams ----
enum class UdpReplyKind {
    kIgnored,    // not for the request under way
    kConnected,  // connect answer: connection id
    kAnnounced,  // announce answer: peers
    kFailed,     // error answer for the request under way
};

struct UdpReplyExpectation {
    bool awaitingConnect = false;  // a connect request is under way
    std::uint32_t connectTransaction = 0;
    bool connected = false;  // a connection id is known
    std::uint32_t announceTransaction = 0;
};

struct UdpReply {
    UdpReplyKind kind = UdpReplyKind::kIgnored;
    std::array<std::uint8_t, 8> connectionId{};
    std::int32_t interval = 0;  // 0: not reported (an answer cut short)
    std::int64_t seeds = -1;    // -1: not reported
    std::vector<LearnedPeer> peers;
    std::string error;  // the error answer's message
};

// Transaction ids are compared as they were sent (host byte order).
[[nodiscard]] UdpReply ReadUdpReply(const std::uint8_t* data, std::size_t size,
                                    const UdpReplyExpectation& expected);

}  // namespace koruvan::engine
