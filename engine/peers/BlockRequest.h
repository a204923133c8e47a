// A block request: one 16 KiB block (or the shorter last block of a piece) asked from a
// peer, kept by value in the peers' lists and the task's shared pool.
#pragma once

#include <cstdint>

namespace koruvan::engine {

// All transfer is planned in blocks of this many bytes.
inline constexpr std::int32_t kBlockSize = 16384;

// One block asked from a peer: block index over the whole download (16 KiB units), length
// (1..16384) and when it was asked (engine seconds).
struct BlockRequest {
    std::int32_t block = 0;
    std::int32_t length = 0;
    std::uint32_t issueTime = 0;

    friend bool operator==(const BlockRequest&, const BlockRequest&) = default;
};

}  // namespace koruvan::engine
