// The piece cache file (state-file path + "df"): the data of pieces that were partly
// received in memory when the task stopped, so that a restart does not fetch them again.
//
// Records in piece order, each a 16-byte header of four little-endian u32 — data length,
// checksum, piece index, 0 — followed by the data. The checksum is the Adler-32 of the data,
// started with the Adler-32 of the 20-byte info-hash started with the piece index.
//
// The file is written under a temporary name and renamed, so a crash leaves the previous
// complete file. Reading stops at the first record that does not check out.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/ResumeRecord.h"

namespace koruvan::engine {

struct PieceCacheRecord {
    std::int32_t index = 0;
    std::string data;
};

[[nodiscard]] std::uint32_t PieceCacheChecksum(std::int32_t index, const InfoHashBytes& infoHash,
                                               std::string_view data) noexcept;

// Replaces the cache file with `records`. Writes are batched into about 1 MiB and take the
// engine-wide disk lock. False when the file could not be written completely (the previous
// file then stays).
[[nodiscard]] bool SavePieceCache(const std::string& path, const InfoHashBytes& infoHash,
                                  const std::vector<PieceCacheRecord>& records);

// Reads records in order and hands each one that checks out to `restore`, until the file
// ends, a record is malformed (length below 1 or not below `pieceLength` + 1 MiB, an index
// outside 0..pieceCount-1, short data, wrong checksum) or `restore` answers false. Returns
// the records handed over.
std::int32_t LoadPieceCache(const std::string& path, const InfoHashBytes& infoHash,
                            std::int32_t pieceLength, std::int32_t pieceCount,
                            const std::function<bool(std::int32_t, std::string_view)>& restore);

}  // namespace koruvan::engine
