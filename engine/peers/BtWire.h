// The BitTorrent peer wire format: the 68-byte handshake, length-prefixed messages with
// big-endian numbers, the HTTP-style disguise headers that may precede a handshake in
// either direction, and the private reject form of the piece message.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace koruvan::engine::bt {

inline constexpr std::int32_t kHandshakeSize = 68;
inline constexpr std::string_view kProtocol = "BitTorrent protocol";
// Messages longer than this close the connection.
inline constexpr std::int32_t kMaxMessageLength = 524288;
// Piece messages carrying more data than this drop the peer.
inline constexpr std::int32_t kMaxBlockLength = 131072;
// Bytes of a disguise header the receiver looks at beyond what it already holds.
inline constexpr std::int32_t kDisguiseLookahead = 1024;

enum MessageId : std::uint8_t {
    kChoke = 0,
    kUnchoke = 1,
    kInterested = 2,
    kNotInterested = 3,
    kHave = 4,
    kBitfield = 5,
    kRequest = 6,
    kPiece = 7,
    kCancel = 8,
};

using Bytes20 = std::array<std::uint8_t, 20>;

void Put32(std::uint8_t* at, std::uint32_t value) noexcept;
[[nodiscard]] std::uint32_t Get32(const std::uint8_t* at) noexcept;

// byte 19, "BitTorrent protocol", 8 zero bytes, info hash, peer id.
[[nodiscard]] std::array<std::uint8_t, kHandshakeSize> BuildHandshake(const Bytes20& infoHash,
                                                                      const Bytes20& peerId);
// Byte 0 is 19, the protocol text follows and (when `infoHash` is given) bytes 28..47 are
// that hash. Needs `size` >= 48 (>= 68 when the caller wants the peer id too).
[[nodiscard]] bool HandshakeMatches(const std::uint8_t* data, std::size_t size,
                                    const std::uint8_t* infoHash) noexcept;

// A message without payload (choke, unchoke, interested, not interested).
[[nodiscard]] std::string Simple(MessageId id);
[[nodiscard]] std::string Have(std::uint32_t piece);
// request or cancel: index, begin, length.
[[nodiscard]] std::string Request(MessageId id, std::uint32_t index, std::uint32_t begin,
                                  std::uint32_t length);
// The header of a piece message carrying `length` bytes (13 bytes; the block follows).
[[nodiscard]] std::string PieceHeader(std::uint32_t index, std::uint32_t begin,
                                      std::uint32_t length);
// The answer to a request whose block cannot be read: length 14, id 7, index 0, begin 2,
// the byte '5' and the piece index.
[[nodiscard]] std::string Reject(std::uint32_t piece);
[[nodiscard]] std::string BitfieldMessage(const std::uint8_t* bits, std::size_t size);

// The fake request line an outgoing disguised connection starts with: "GET / HTTP/1.0",
// the browser line when `withAgent`, and the host as the remote address written as one
// unsigned decimal number (network order read as a big-endian number) and port mod 6881.
[[nodiscard]] std::string DisguiseRequest(std::uint32_t remoteIpNetworkOrder,
                                          std::uint16_t remotePort, bool withAgent);
// The fake answer header to a disguised incoming connection.
[[nodiscard]] std::string DisguiseReply(bool closeConnection, bool contentEncoding);

// Result of looking for a disguise header at the start of received bytes.
enum class Disguise {
    kNone,        // the data starts with none of "HTTP", "POST", "GET"
    kHeader,      // a complete header; `headerSize` bytes to drop
    kIncomplete,  // starts like a header but its end has not arrived (or it is no header)
};
[[nodiscard]] Disguise FindDisguise(const std::uint8_t* data, std::size_t size,
                                    std::size_t& headerSize) noexcept;

// What a message handler tells the scanner.
enum class Verdict {
    kContinue,  // next message
    kSkipRest,  // a malformed message: the rest of the buffer is dropped with it
    kDrop,      // the peer is dropped
};

// Frames the length-prefixed messages at the front of `data`: keep-alives are consumed,
// a length above kMaxMessageLength drops the peer, and every complete message goes to
// `onMessage(id, payload, payloadSize)`. A piece message is checked as soon as its
// length is known: a block above kMaxBlockLength drops the peer; while the block is still
// arriving `onPartialPiece(complete=false)` is told (once the whole message is there,
// `onPartialPiece(true)`). Returns the bytes consumed (the whole buffer after kSkipRest),
// or -1 to drop the peer.
template <typename OnMessage, typename OnPartialPiece>
std::int32_t ScanMessages(const std::uint8_t* data, std::int32_t size, OnMessage&& onMessage,
                          OnPartialPiece&& onPartialPiece) {
    std::int32_t at = 0;
    while (size - at >= 4) {
        const std::uint32_t length = Get32(data + at);
        if (length == 0) {
            at += 4;
            continue;
        }
        if (length > static_cast<std::uint32_t>(kMaxMessageLength)) {
            return -1;
        }
        if (size - at < 5) {
            break;
        }
        const std::uint8_t id = data[at + 4];
        const auto whole = static_cast<std::int32_t>(length) + 4;
        if (id == kPiece && length > 9) {
            if (static_cast<std::int64_t>(length) - 9 > kMaxBlockLength) {
                return -1;
            }
            const bool complete = size - at >= whole;
            onPartialPiece(complete);
            if (!complete) {
                break;
            }
        } else if (size - at < whole) {
            break;
        }
        switch (onMessage(id, data + at + 5, length - 1)) {
            case Verdict::kContinue:
                break;
            case Verdict::kSkipRest:
                return size;
            case Verdict::kDrop:
                return -1;
        }
        at += whole;
    }
    return at;
}

}  // namespace koruvan::engine::bt
