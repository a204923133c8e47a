#include "engine/peers/TTrackerReply.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>

#include "engine/peers/BencodeCodec.h"
#include "engine/peers/IpAddress.h"
#include "engine/peers/Resolver.h"

namespace koruvan::engine {
namespace {

std::uint32_t GetBig32(const std::uint8_t* at) noexcept {
    return (static_cast<std::uint32_t>(at[0]) << 24) | (static_cast<std::uint32_t>(at[1]) << 16) |
           (static_cast<std::uint32_t>(at[2]) << 8) | at[3];
}

bool IsUsable(std::uint32_t ip, std::uint32_t port) noexcept {
    return IsValidIp(ip) && port > 0 && port <= 0xFFFFu;
}

// Where the header ends (after its empty line), or npos.
std::size_t HeaderEnd(std::string_view text) {
    const std::size_t crlf = text.find("\r\n\r\n");
    const std::size_t lf = text.find("\n\n");
    if (crlf == std::string_view::npos && lf == std::string_view::npos) {
        return std::string_view::npos;
    }
    return crlf < lf ? crlf + 4 : lf + 2;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

// The Content-Length value of a header: -1 without the field, -2 when it is not a number
// or beyond the reply limit.
std::int64_t ContentLengthOf(std::string_view header) {
    std::size_t line = 0;
    while (line < header.size()) {
        const std::size_t end = std::min(header.find('\n', line), header.size());
        const std::string_view text = header.substr(line, end - line);
        line = end + 1;
        if (!StartsWithNoCase(text, "Content-Length:")) {
            continue;
        }
        std::size_t at = 15;
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) {
            ++at;
        }
        std::int64_t value = 0;
        std::size_t digits = 0;
        for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at) {
            value = value * 10 + (text[at] - '0');
            if (value > kMaxTrackerReply) {
                return -2;
            }
            ++digits;
        }
        return digits == 0 ? -2 : value;
    }
    return -1;
}

// An integer key of the answer: its glued value, or nothing when absent or not a number.
bool IntegerOf(const QElement& root, const char* key, std::int64_t& value) {
    const QElement* e = root.Find(key);
    if (e == nullptr || !e->HasInteger()) {
        return false;
    }
    value = e->GetInteger();
    return true;
}

std::int64_t CountOf(const QElement& root, const char* key, const char* standardKey) {
    std::int64_t value = 0;
    if (IntegerOf(root, key, value) || IntegerOf(root, standardKey, value)) {
        return std::max<std::int64_t>(value, 0);
    }
    return 0;
}

// The dictionary form: entries with "ip" (dotted), "port" and, when at least 20 bytes long,
// "peer id".
void ReadPeerDictionaries(const QElement& list, std::vector<LearnedPeer>& out) {
    for (std::int32_t i = 0; i < list.Count() && out.size() < kMaxLearnedPeers; ++i) {
        const QElement* entry = list.At(i);
        if (entry == nullptr || entry->Type() != kElementDictionary) {
            continue;
        }
        const QElement* ip = entry->Find("ip");
        std::int64_t port = 0;
        if (ip == nullptr || ip->HasInteger() || !IntegerOf(*entry, "port", port)) {
            continue;
        }
        const std::uint32_t address = ParseDotted(ip->GetText());  // no host names
        if (address == kNoAddress || port <= 0 || port > 0xFFFF) {
            continue;
        }
        LearnedPeer peer;
        peer.ip = HostToNet32(address);
        peer.port = static_cast<std::uint16_t>(port);
        const QElement* id = entry->Find("peer id");
        if (id != nullptr && !id->HasInteger() && id->GetText().size() >= peer.peerId.size()) {
            std::memcpy(peer.peerId.data(), id->GetText().data(), peer.peerId.size());
            peer.hasPeerId = true;
        }
        if (IsUsable(peer.ip, peer.port)) {
            out.push_back(peer);
        }
    }
}

}  // namespace

std::int32_t AnnounceIntervalFrom(std::int64_t seconds, bool present) noexcept {
    if (!present || seconds < kMinAnnounceInterval) {
        return kDefaultAnnounceInterval;
    }
    return static_cast<std::int32_t>(
        std::min<std::int64_t>(seconds, std::numeric_limits<std::int32_t>::max()));
}

void ReadCompactPeers(const std::uint8_t* data, std::size_t size, std::vector<LearnedPeer>& out) {
    for (std::size_t at = 0; data != nullptr && size - at >= 6 && out.size() < kMaxLearnedPeers;
         at += 6) {
        LearnedPeer peer;
        std::memcpy(&peer.ip, data + at, 4);  // stays in network order
        peer.port = static_cast<std::uint16_t>((data[at + 4] << 8) | data[at + 5]);
        if (IsUsable(peer.ip, peer.port)) {
            out.push_back(peer);
        }
    }
}

HttpReplyParts SplitHttpReply(const char* data, std::int32_t len, bool closed) {
    HttpReplyParts parts;
    if (data == nullptr || len <= 0) {
        parts.consumed = closed ? -1 : 0;
        return parts;
    }
    if (len > kMaxTrackerReply) {
        parts.consumed = -1;
        return parts;
    }
    const std::string_view text(data, static_cast<std::size_t>(len));
    const std::size_t headerEnd = HeaderEnd(text);
    if (headerEnd == std::string_view::npos) {
        parts.consumed = closed ? -1 : 0;
        return parts;
    }
    const std::int64_t length = ContentLengthOf(text.substr(0, headerEnd));
    if (length == -2) {
        parts.consumed = -1;
        return parts;
    }
    const std::size_t available = text.size() - headerEnd;
    if (length < 0) {
        // No length given: the tracker ends the body by closing the connection.
        if (!closed) {
            return parts;
        }
        parts.body = text.substr(headerEnd);
        parts.consumed = len;
        return parts;
    }
    if (available < static_cast<std::size_t>(length)) {
        parts.consumed = closed ? -1 : 0;
        return parts;
    }
    parts.body = text.substr(headerEnd, static_cast<std::size_t>(length));
    parts.consumed = static_cast<std::int32_t>(headerEnd + static_cast<std::size_t>(length));
    return parts;
}

bool InflateGzip(std::string_view data, std::string& out, std::size_t limit) {
    out.clear();
    if (data.size() < 2 || static_cast<std::uint8_t>(data[0]) != 0x1F ||
        static_cast<std::uint8_t>(data[1]) != 0x8B) {
        return false;
    }
    z_stream stream{};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) {
        return false;
    }
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    char chunk[4096];
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof chunk;
        result = inflate(&stream, Z_NO_FLUSH);
        const std::size_t produced = sizeof chunk - stream.avail_out;
        if (out.size() + produced > limit) {
            result = Z_MEM_ERROR;
            break;
        }
        out.append(chunk, produced);
        if (result == Z_BUF_ERROR && stream.avail_in == 0) {
            break;  // truncated input
        }
    }
    inflateEnd(&stream);
    return result == Z_STREAM_END;
}

AnnounceReply ReadAnnounceReply(std::string_view body) {
    AnnounceReply reply;
    std::string inflated;
    if (InflateGzip(body, inflated, kMaxTrackerReply)) {
        body = inflated;
    }
    if (body.size() > static_cast<std::size_t>(kMaxTrackerReply)) {
        return reply;
    }
    const auto root = ParseBencode(body.data(), static_cast<std::int32_t>(body.size()));
    if (root == nullptr || root->Type() != kElementDictionary) {
        return reply;
    }
    reply.bencoded = true;
    std::int64_t interval = 0;
    const bool hasInterval = IntegerOf(*root, "interval", interval);
    reply.interval = AnnounceIntervalFrom(interval, hasInterval);
    reply.seeds = CountOf(*root, "done peers", "complete");
    reply.completed = CountOf(*root, "num completed", "downloaded");
    if (const QElement* failure = root->Find("failure reason");
        failure != nullptr && !failure->HasInteger()) {
        reply.failureReason = std::string(failure->GetText());
    }
    const QElement* peers = root->Find("peers");
    if (peers == nullptr || peers->HasInteger()) {
        return reply;
    }
    if (peers->Type() == kElementString) {
        const std::string_view compact = peers->GetText();
        ReadCompactPeers(reinterpret_cast<const std::uint8_t*>(compact.data()), compact.size(),
                         reply.peers);
    } else if (peers->Type() == kElementList) {
        ReadPeerDictionaries(*peers, reply.peers);
    }
    return reply;
}

UdpReply ReadUdpReply(const std::uint8_t* data, std::size_t size,
                      const UdpReplyExpectation& expected) {
    UdpReply reply;
    if (data == nullptr || size < 8) {
        return reply;
    }
    const std::uint32_t action = GetBig32(data);
    std::uint32_t transaction = 0;
    std::memcpy(&transaction, data + 4, 4);  // as it was sent
    const bool forConnect = expected.awaitingConnect && transaction == expected.connectTransaction;
    const bool forAnnounce = expected.connected && transaction == expected.announceTransaction;
    if (action == kUdpActionConnect) {
        if (forConnect && size >= 16) {
            std::memcpy(reply.connectionId.data(), data + 8, 8);
            reply.kind = UdpReplyKind::kConnected;
        }
        return reply;
    }
    if (action == kUdpActionError && (forConnect || forAnnounce)) {
        reply.kind = UdpReplyKind::kFailed;
        reply.error.assign(reinterpret_cast<const char*>(data + 8), size - 8);
        return reply;
    }
    if (action != kUdpActionAnnounce || !forAnnounce) {
        return reply;
    }
    reply.kind = UdpReplyKind::kAnnounced;
    if (size >= 20) {
        reply.interval = AnnounceIntervalFrom(GetBig32(data + 8), true);
        reply.seeds = GetBig32(data + 16);
        ReadCompactPeers(data + 20, size - 20, reply.peers);
    }
    return reply;
}

}  // namespace koruvan::engine
