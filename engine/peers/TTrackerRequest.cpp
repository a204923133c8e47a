#include "engine/peers/TTrackerRequest.h"

#include <openssl/evp.h>

#include <cstring>

namespace koruvan::engine {
namespace {

void PutBig(std::uint8_t* at, std::uint64_t value, int bytes) noexcept {
    for (int i = bytes - 1; i >= 0; --i) {
        at[i] = static_cast<std::uint8_t>(value & 0xFFu);
        value >>= 8;
    }
}

}  // namespace

PeerIdBytes BuildPeerId(std::string_view announceUrl, std::uint64_t threadHandle,
                        std::uint64_t taskAddress, std::uint32_t engineSeconds,
                        std::string_view localAddress) {
    std::string text(announceUrl);
    text += std::to_string(threadHandle);
    text += std::to_string(taskAddress);
    text += std::to_string(engineSeconds);
    text += localAddress;
    PeerIdBytes id{0x00, 0x01, 'K', 'v'};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr) == 1 &&
        length == 16) {
        std::memcpy(id.data() + 4, digest, 16);
    }
    return id;
}

std::string PercentEncodeBytes(const std::uint8_t* data, std::size_t size) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 3);
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t b = data[i];
        if ((b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z')) {
            out += static_cast<char>(b);
        } else {
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 0xFu];
        }
    }
    return out;
}

std::string_view AnnounceEventName(std::int32_t event) noexcept {
    switch (event) {
        case kAnnounceRegular:
            return {};
        case kAnnounceCompleted:
            return "completed";
        case kAnnounceStarted:
            return "started";
        default:
            return "stopped";
    }
}

std::string BuildAnnouncePath(std::string_view trackerPath, const HttpAnnounceFields& fields) {
    std::string path(trackerPath);
    path += "?info_hash=";
    path += fields.infoHashUrl;
    path += "&peer_id=";
    path += PercentEncodeBytes(fields.peerId.data(), fields.peerId.size());
    path += "&port=" + std::to_string(fields.port);
    path += "&uploaded=" + std::to_string(fields.uploaded);
    path += "&downloaded=" + std::to_string(fields.downloaded);
    path += "&left=" + std::to_string(fields.left);
    // A regular announce names no event: "stopped" would take this client out of the
    // tracker's swarm on every re-announce.
    const std::string_view event = AnnounceEventName(fields.event);
    if (!event.empty()) {
        path += "&event=";
        path += event;
    }
    path += "&key=" + std::to_string(kAnnounceKey);
    path += "&compact=1&numwant=" + std::to_string(kAnnounceNumWant);
    return path;
}

std::string BuildAnnounceRequest(std::string_view path, std::string_view host, std::uint16_t port) {
    std::string request = "GET ";
    request += path;
    request += " HTTP/1.0\r\nUser-Agent: BitTorrent/4.1.2\r\nHost: ";
    request += host;
    if (port != 80) {
        request += ":" + std::to_string(port);
    }
    request += "\r\nAccept-Encoding: gzip\r\nConnection: close\r\n\r\n";
    return request;
}

UdpConnectRequest BuildUdpConnect(std::uint32_t transactionId) noexcept {
    UdpConnectRequest out{};
    PutBig(out.data(), kUdpProtocolId, 8);
    PutBig(out.data() + 8, kUdpActionConnect, 4);
    std::memcpy(out.data() + 12, &transactionId, 4);  // host byte order
    return out;
}

UdpAnnounceRequest BuildUdpAnnounce(const UdpAnnounceFields& f) noexcept {
    UdpAnnounceRequest out{};
    std::memcpy(out.data(), f.connectionId.data(), 8);
    PutBig(out.data() + 8, kUdpActionAnnounce, 4);
    std::memcpy(out.data() + 12, &f.transactionId, 4);  // host byte order
    std::memcpy(out.data() + 16, f.infoHash.data(), 20);
    std::memcpy(out.data() + 36, f.peerId.data(), 20);
    PutBig(out.data() + 56, f.downloaded, 8);
    PutBig(out.data() + 64, f.left, 8);
    PutBig(out.data() + 72, f.uploaded, 8);
    PutBig(out.data() + 80, static_cast<std::uint32_t>(f.event), 4);
    std::memcpy(out.data() + 84, &f.ip, 4);  // already in network order
    // 88: key 0.
    PutBig(out.data() + 92, static_cast<std::uint32_t>(kAnnounceNumWant), 4);
    PutBig(out.data() + 96, f.port, 2);
    // 98..103 stay zero.
    return out;
}

}  // namespace koruvan::engine
