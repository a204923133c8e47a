#include "engine/peers/BtWire.h"

#include <cstring>

namespace koruvan::engine::bt {

void Put32(std::uint8_t* at, std::uint32_t value) noexcept {
    at[0] = static_cast<std::uint8_t>(value >> 24);
    at[1] = static_cast<std::uint8_t>(value >> 16);
    at[2] = static_cast<std::uint8_t>(value >> 8);
    at[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t Get32(const std::uint8_t* at) noexcept {
    return (static_cast<std::uint32_t>(at[0]) << 24) | (static_cast<std::uint32_t>(at[1]) << 16) |
           (static_cast<std::uint32_t>(at[2]) << 8) | at[3];
}

std::array<std::uint8_t, kHandshakeSize> BuildHandshake(const Bytes20& infoHash,
                                                        const Bytes20& peerId) {
    std::array<std::uint8_t, kHandshakeSize> h{};
    h[0] = 19;
    std::memcpy(h.data() + 1, kProtocol.data(), kProtocol.size());
    std::memcpy(h.data() + 28, infoHash.data(), 20);
    std::memcpy(h.data() + 48, peerId.data(), 20);
    return h;
}

bool HandshakeMatches(const std::uint8_t* data, std::size_t size,
                      const std::uint8_t* infoHash) noexcept {
    return data != nullptr && size >= 48 && data[0] == 19 &&
           std::memcmp(data + 1, kProtocol.data(), kProtocol.size()) == 0 &&
           (infoHash == nullptr || std::memcmp(data + 28, infoHash, 20) == 0);
}

namespace {

std::string Header(std::uint32_t length, MessageId id) {
    std::string out(5, '\0');
    Put32(reinterpret_cast<std::uint8_t*>(out.data()), length);
    out[4] = static_cast<char>(id);
    return out;
}

void Append32(std::string& out, std::uint32_t value) {
    std::uint8_t b[4];
    Put32(b, value);
    out.append(reinterpret_cast<const char*>(b), 4);
}

}  // namespace

std::string Simple(MessageId id) {
    return Header(1, id);
}

std::string Have(std::uint32_t piece) {
    std::string out = Header(5, kHave);
    Append32(out, piece);
    return out;
}

std::string Request(MessageId id, std::uint32_t index, std::uint32_t begin, std::uint32_t length) {
    std::string out = Header(13, id);
    Append32(out, index);
    Append32(out, begin);
    Append32(out, length);
    return out;
}

std::string PieceHeader(std::uint32_t index, std::uint32_t begin, std::uint32_t length) {
    std::string out = Header(length + 9, kPiece);
    Append32(out, index);
    Append32(out, begin);
    return out;
}

std::string Reject(std::uint32_t piece) {
    std::string out = Header(14, kPiece);
    Append32(out, 0);
    Append32(out, 2);
    out.push_back('5');
    Append32(out, piece);
    return out;
}

std::string BitfieldMessage(const std::uint8_t* bits, std::size_t size) {
    std::string out = Header(static_cast<std::uint32_t>(size + 1), kBitfield);
    out.append(reinterpret_cast<const char*>(bits), size);
    return out;
}

std::string DisguiseRequest(std::uint32_t remoteIpNetworkOrder, std::uint16_t remotePort,
                            bool withAgent) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&remoteIpNetworkOrder);
    const std::uint32_t asNumber = (static_cast<std::uint32_t>(b[0]) << 24) |
                                   (static_cast<std::uint32_t>(b[1]) << 16) |
                                   (static_cast<std::uint32_t>(b[2]) << 8) | b[3];
    std::string out = "GET / HTTP/1.0\r\n";
    if (withAgent) {
        out += "User-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n";
    }
    out +=
        "Host: " + std::to_string(asNumber) + ":" + std::to_string(remotePort % 6881) + "\r\n\r\n";
    return out;
}

std::string DisguiseReply(bool closeConnection, bool contentEncoding) {
    std::string out = "HTTP/1.0 200 OK\r\nConnection: ";
    out += closeConnection ? "Close\r\n" : "Keep-Alive\r\n";
    if (contentEncoding) {
        out += "Content-Encoding: none\r\n";
    }
    out += "\r\n";
    return out;
}

Disguise FindDisguise(const std::uint8_t* data, std::size_t size,
                      std::size_t& headerSize) noexcept {
    headerSize = 0;
    if (data == nullptr || size == 0) {
        return Disguise::kNone;
    }
    for (const std::string_view word :
         {std::string_view("HTTP"), std::string_view("POST"), std::string_view("GET")}) {
        if (data[0] != static_cast<std::uint8_t>(word[0])) {
            continue;
        }
        if (size < word.size()) {
            return Disguise::kIncomplete;
        }
        if (std::memcmp(data, word.data(), word.size()) != 0) {
            return Disguise::kIncomplete;  // starts like a header word but is none
        }
        const std::string_view text(reinterpret_cast<const char*>(data), size);
        const std::size_t crlf = text.find("\r\n\r\n");
        const std::size_t lf = text.find("\n\n");
        if (crlf == std::string_view::npos && lf == std::string_view::npos) {
            return Disguise::kIncomplete;
        }
        headerSize = crlf != std::string_view::npos && (lf == std::string_view::npos || crlf < lf)
                         ? crlf + 4
                         : lf + 2;
        return Disguise::kHeader;
    }
    return Disguise::kNone;
}

}  // namespace koruvan::engine::bt
