// The piece and file layout a torrent's info dictionary describes, as a plain value the
// piece map takes over: piece length and hashes, and one record per target file.
#pragma once

#include "engine/peers/QElement.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace koruvan::engine {

// Name of the single file of a metainfo that gives none.
inline constexpr std::string_view kUnnamedFileName = "strRecommend";

struct MetainfoFile {
    std::string fullPath;      // target folder + relative name, or the explicit target file
    std::string relativeName;  // as the metainfo names it; path components joined with "/"
    std::uint64_t size = 0;
    std::int32_t index = 0;        // position among the file records
    std::uint64_t offset = 0;      // where the file starts in the whole download
    std::uint64_t firstPiece = 0;  // offset / piece length
};

struct MetainfoLayout {
    std::string name;          // the converted "name" ("strRecommend" for an unnamed file)
    std::string targetFolder;  // ends with "/" unless empty
    std::int32_t pieceLength = 0;
    std::string pieceHashes;  // 20-byte SHA-1 per piece
    std::uint64_t pieceCount = 0;
    bool multiFile = false;
    std::vector<MetainfoFile> files;
    std::uint64_t totalSize = 0;
    // Full paths of the empty folder entries of a multi-file metainfo; they get no file
    // record and are created when the layout is taken.
    std::vector<std::string> folders;
};

// Builds the layout from an info dictionary. `targetFolder` is where the download goes;
// `targetFile`, when not empty, is the explicit path of a single-file download. False for a
// missing or unusable dictionary, a piece length that is not positive (or beyond 32 bits),
// a "pieces" string that is not a positive multiple of 20 bytes, a single file without a
// positive length, a multi-file metainfo without a usable "files" list, and for names that
// would leave the target folder ("." or ".." components, "/" or NUL inside a name) or name
// the same file twice.
[[nodiscard]] bool BuildMetainfoLayout(const QElement* info, std::string_view targetFolder,
                                       std::string_view targetFile, MetainfoLayout& out);

}  // namespace koruvan::engine
