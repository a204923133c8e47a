// Fuzz target for the BitTorrent message stream: the disguise header check and the
// handshake check a connection starts with, then the message framing over the rest,
// read from heap copies of exactly the bytes that arrived (in growing pieces, as they
// would from a socket), so AddressSanitizer catches a read past them. Every message the
// framing hands out must lie inside the buffer, and the bytes consumed never exceed it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "engine/peers/BtWire.h"

namespace {

using namespace koruvan::engine;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void Scan(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t* end = data + size;
    const std::int32_t consumed = bt::ScanMessages(
        data, static_cast<std::int32_t>(size),
        [&](std::uint8_t id, const std::uint8_t* payload, std::uint32_t length) {
            Check(payload >= data && payload + length <= end);
            Check(length + 1 <= static_cast<std::uint32_t>(bt::kMaxMessageLength));
            if (id == bt::kPiece && length > 8) {
                Check(length - 8 <= static_cast<std::uint32_t>(bt::kMaxBlockLength));
            }
            // A handler sees its payload whole: touch every byte.
            volatile std::uint8_t sum = 0;
            for (std::uint32_t i = 0; i < length; ++i) {
                sum = static_cast<std::uint8_t>(sum + payload[i]);
            }
            return (id & 3) == 3 ? bt::Verdict::kSkipRest : bt::Verdict::kContinue;
        },
        [](bool) {});
    Check(consumed >= -1 && consumed <= static_cast<std::int32_t>(size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 20)) {
        return 0;
    }
    const std::size_t step = size / 16 + 1;
    for (std::size_t cut = 0; cut <= size; cut += step) {
        auto copy = std::make_unique<std::uint8_t[]>(cut == 0 ? 1 : cut);
        std::memcpy(copy.get(), data, cut);
        std::size_t header = 0;
        const bt::Disguise found = bt::FindDisguise(copy.get(), cut, header);
        Check(found == bt::Disguise::kHeader ? header > 0 && header <= cut : header == 0);
        const std::size_t start = found == bt::Disguise::kHeader ? header : 0;
        const std::uint8_t* rest = copy.get() + start;
        const std::size_t left = cut - start;
        const bool handshake = bt::HandshakeMatches(rest, left, nullptr) && left >= 68;
        Scan(handshake ? rest + 68 : rest, handshake ? left - 68 : left);
    }
    return 0;
}
