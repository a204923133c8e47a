// Wire helpers and constants shared by the UDP server, its rendezvous messages and the
// pseudo-socket transport: big-endian fields, the Winsock error numbers the pseudo-socket
// calls report, packet types and connection states.
#pragma once

#include <cstdint>
#include <cstring>

namespace koruvan::engine::udp {

inline std::uint32_t Get32(const std::uint8_t* p) noexcept {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}
inline void Put32(std::uint8_t* p, std::uint32_t v) noexcept {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}
inline std::uint16_t Get16(const std::uint8_t* p) noexcept {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline void Put16(std::uint8_t* p, std::uint16_t v) noexcept {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
// An IPv4 address kept in network order in a uint32: its four bytes are copied as they are.
inline std::uint32_t GetIp(const std::uint8_t* p) noexcept {
    std::uint32_t ip = 0;
    std::memcpy(&ip, p, 4);
    return ip;
}
inline void PutIp(std::uint8_t* p, std::uint32_t ip) noexcept {
    std::memcpy(p, &ip, 4);
}
// True when sequence a is after b (wrapping arithmetic).
inline bool SeqNewer(std::uint32_t a, std::uint32_t b) noexcept {
    return static_cast<std::int32_t>(a - b) > 0;
}

// Winsock error numbers, observable through UdpLastError().
inline constexpr int kWsaEintr = 10004;
inline constexpr int kWsaEinval = 10022;
inline constexpr int kWsaEwouldblock = 10035;
inline constexpr int kWsaEnotsock = 10038;
inline constexpr int kWsaEaddrinuse = 10048;
inline constexpr int kWsaEnetunreach = 10051;
inline constexpr int kWsaEnotconn = 10057;
inline constexpr int kWsaEconnrefused = 10061;
inline constexpr int kWsaNotInitialised = 10093;
// A send failure that is not "would block" (any other socket error).
inline constexpr int kWsaSendFailed = 10065;

// Sizes and limits.
inline constexpr int kMaxDatagram = 8192;
inline constexpr int kReceiveBuffer = 9216;
inline constexpr int kSocketBufferBytes = 131072;
inline constexpr int kIdentityBytes = 12;
inline constexpr int kNodeIdBytes = 8;
inline constexpr int kHeaderBytes = 64;
inline constexpr int kSlots = 12;
inline constexpr std::size_t kMaxPending = 2048;
inline constexpr std::size_t kMaxPunches = 512;
inline constexpr std::size_t kMaxFreeRecords = 256;
inline constexpr int kBatchFlushAt = 256;

// Rendezvous message types and markers.
inline constexpr std::uint32_t kRegisterType = 2;
inline constexpr std::uint32_t kLookupType = 3;
inline constexpr std::uint32_t kLookupReplyType = 0x80000003u;
inline constexpr std::uint32_t kConnectNoticeWord = 0x33333333u;
inline constexpr std::uint32_t kPlaceholderEchoPort = 0xFFFFFFFFu;

// Transport packet types.
inline constexpr std::uint32_t kConnect = 1;
inline constexpr std::uint32_t kAccept = 0x10001;
inline constexpr std::uint32_t kAcceptAck = 0x80010001u;
inline constexpr std::uint32_t kData = 2;
inline constexpr std::uint32_t kAck = 16;
inline constexpr std::uint32_t kProbe = 0x10002;
inline constexpr std::uint32_t kClose = 0x80000000u;
inline constexpr std::uint32_t kRefuse = 3;
inline constexpr std::uint32_t kSingleAck = 0x80000002u;

// Connection states.
enum UdpState : std::int32_t {
    kFresh = 0,
    kWaitLookup = 1,
    kPunching = 2,
    kAcceptSent = 3,
    kEstablished = 5,
    kClosed = 6,
    kBound = 7,
    kListening = 8,
};

// An address placeholder id: two zero bytes, the IPv4 address, the port (network order).
inline void MakePlaceholder(std::uint8_t* id, std::uint32_t ip, std::uint16_t port) noexcept {
    id[0] = id[1] = 0;
    PutIp(id + 2, ip);
    Put16(id + 6, port);
}
inline bool IsPlaceholder(const std::uint8_t* id) noexcept {
    return id[0] == 0 && id[1] == 0;
}

}  // namespace koruvan::engine::udp
