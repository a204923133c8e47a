// The file table of a piece map: one record per target file in metainfo order, with where
// each file lies in the whole download and which pieces it touches, and the temporary
// ".kvtmp" names an unfinished file is written under.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/EngineFile.h"

namespace koruvan::engine {

inline constexpr std::string_view kTemporarySuffix = ".kvtmp";
inline constexpr std::int32_t kPrioritySkipped = -3;

struct TargetFile {
    EngineFile file;
    std::int32_t index = 0;
    std::int32_t priority = 0;  // -3 skipped, -2..2 priority levels
    std::string path;           // where the data is written now
    std::string relativeName;   // as the metainfo names it
    std::string finalPath;      // while written under the temporary name, else empty
    bool temporary = false;
    std::uint64_t length = 0;
    std::uint64_t offset = 0;      // where the file starts in the whole download
    std::int32_t firstPiece = -1;  // offset / piece length
    std::int32_t pieceSpan = 0;    // number of pieces the file touches
    std::uint64_t unsynced = 0;    // bytes written since the last early write-back

    [[nodiscard]] bool Skipped() const noexcept { return priority == kPrioritySkipped; }
    // The name the file has once the download is complete.
    [[nodiscard]] const std::string& FinalPath() const noexcept {
        return temporary ? finalPath : path;
    }
};

// "?", CR and LF cannot be part of a file name the old way; each becomes "_".
[[nodiscard]] std::string SanitizeTargetPath(std::string_view path);

// Offsets, first pieces and the number of pieces each file touches. A file of length 0
// touches one piece.
void PrepareFileTable(std::vector<TargetFile>& files, std::int32_t pieceLength);

// A file that does not exist under its final name yet is written as final + ".kvtmp" until
// the download completes; one that exists is written in place.
void UseTemporaryName(TargetFile& file);

}  // namespace koruvan::engine
