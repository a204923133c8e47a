// The P2SP key template: a text that describes a download without metainfo, by markers:
// "$Hash$" and 40 hexadecimal digits of the info-hash, "$Size$" and the total size,
// "$Length$" and the piece length, "$Tracker$" and the tracker URL up to "$End$" (its first
// "$$$" stands for "://").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/core/ResumeRecord.h"

namespace koruvan::engine {

struct KeyTemplate {
    InfoHashBytes infoHash{};
    std::uint64_t totalSize = 0;
    std::int32_t pieceLength = 0;
    std::uint64_t pieceCount = 0;
    std::string tracker;
};

// Whether a key text is a template: "$End$" after its first character.
[[nodiscard]] bool IsKeyTemplate(std::string_view text) noexcept;

// Nullopt for a text without "$End$", a hash that is not 40 hexadecimal digits, a size or
// piece length that is missing, zero or too large, or more pieces than a piece map holds.
[[nodiscard]] std::optional<KeyTemplate> ParseKeyTemplate(std::string_view text);

}  // namespace koruvan::engine
