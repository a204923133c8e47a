// Fuzz target for the rendezvous server's parser: a sequence of datagrams from a few source
// addresses. Every answer must fit one datagram and go to a usable address; the tables
// stay within their limits.
//
// Input: records of [source (1 byte)][length (2 bytes)][bytes].
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "tools/koruvan-rendezvous/RendezvousCore.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace koruvan::rendezvous;
    Limits limits;
    limits.maxRegistrations = 8;
    limits.maxSources = 4;
    RendezvousCore core(limits, [](const std::string& line) {
        if (line.empty()) {
            std::abort();
        }
    });
    std::size_t at = 0;
    std::int64_t now = 0;
    while (at + 3 <= size) {
        const std::uint8_t source = data[at];
        std::size_t length = (std::size_t{data[at + 1]} << 8) | data[at + 2];
        at += 3;
        length = std::min(length, size - at);
        const Endpoint from{0x0A000000u | (source & 0x7u),
                            static_cast<std::uint16_t>(1000 + (source >> 3))};
        for (const Datagram& d : core.Handle(data + at, length, from, now)) {
            if (d.bytes.empty() || d.bytes.size() > 8192 || d.to.ip == 0 || d.to.port == 0) {
                std::abort();
            }
        }
        at += length;
        now += 5000;
        core.Expire(now);
        if (core.Registrations() > 8 || core.Sources() > 4) {
            std::abort();
        }
    }
    return 0;
}
