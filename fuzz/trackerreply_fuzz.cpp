// Fuzz target for tracker answers: HTTP replies and UDP tracker datagrams.
//
// The first byte picks the kind. HTTP: the rest is a reply, split at growing prefixes (the
// bytes arrive in pieces) from heap copies of exactly that many bytes, so AddressSanitizer
// catches a read past them; a complete reply never claims more bytes than there are, and its
// body is read as an announce answer. UDP: the rest is a datagram, read under each of the
// states a client can be in.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "engine/peers/TTrackerReply.h"

namespace {

using namespace koruvan::engine;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void CheckAnswer(const AnnounceReply& reply) {
    Check(reply.peers.size() <= kMaxLearnedPeers);
    Check(reply.interval >= kMinAnnounceInterval);
    Check(reply.seeds >= 0 && reply.completed >= 0);
    for (const LearnedPeer& peer : reply.peers) {
        Check(peer.port != 0 && peer.ip != 0 && peer.ip != 0xFFFFFFFFu);
    }
}

void CheckHttp(const std::uint8_t* data, std::size_t size) {
    const std::size_t step = size / 32 + 1;
    for (std::size_t cut = 0; cut <= size; cut += step) {
        for (const bool closed : {false, true}) {
            auto copy = std::make_unique<char[]>(cut == 0 ? 1 : cut);
            std::memcpy(copy.get(), data, cut);
            const HttpReplyParts parts =
                SplitHttpReply(copy.get(), static_cast<std::int32_t>(cut), closed);
            Check(parts.consumed >= -1 && parts.consumed <= static_cast<std::int32_t>(cut));
            if (parts.consumed > 0) {
                Check(parts.body.data() >= copy.get() &&
                      parts.body.data() + parts.body.size() <= copy.get() + cut);
                CheckAnswer(ReadAnnounceReply(parts.body));
            }
        }
    }
    // The whole input as a body on its own.
    auto body = std::make_unique<char[]>(size == 0 ? 1 : size);
    std::memcpy(body.get(), data, size);
    CheckAnswer(ReadAnnounceReply(std::string_view(body.get(), size)));
}

void CheckUdp(const std::uint8_t* data, std::size_t size) {
    auto copy = std::make_unique<std::uint8_t[]>(size == 0 ? 1 : size);
    std::memcpy(copy.get(), data, size);
    std::uint32_t tx = 0;
    if (size >= 8) {
        std::memcpy(&tx, data + 4, 4);
    }
    const UdpReplyExpectation states[] = {
        {true, tx, false, 0},
        {false, 0, true, tx},
        {true, tx ^ 1u, true, tx ^ 2u},
    };
    for (const UdpReplyExpectation& expected : states) {
        const UdpReply reply = ReadUdpReply(copy.get(), size, expected);
        Check(reply.peers.size() <= kMaxLearnedPeers);
        Check(reply.kind != UdpReplyKind::kConnected || size >= 16);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    if ((data[0] & 1) == 0) {
        CheckHttp(data + 1, size - 1);
    } else {
        CheckUdp(data + 1, size - 1);
    }
    return 0;
}
