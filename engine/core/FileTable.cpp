#include "engine/core/FileTable.h"

#include "platform/Paths.h"

namespace koruvan::engine {

std::string SanitizeTargetPath(std::string_view path) {
    std::string out(path);
    for (char& c : out) {
        if (c == '?' || c == '\r' || c == '\n') {
            c = '_';
        }
    }
    return out;
}

void PrepareFileTable(std::vector<TargetFile>& files, std::int32_t pieceLength) {
    const auto piece = static_cast<std::uint64_t>(pieceLength);
    std::uint64_t offset = 0;
    for (TargetFile& f : files) {
        f.offset = offset;
        f.firstPiece = static_cast<std::int32_t>(offset / piece);
        const std::uint64_t d = offset % piece;
        const std::uint64_t e = d > 0 ? piece - d : 0;
        if (f.length <= e) {
            f.pieceSpan = 1;
        } else {
            f.pieceSpan =
                static_cast<std::int32_t>((f.length - e + piece - 1) / piece + (d > 0 ? 1 : 0));
        }
        offset += f.length;
    }
}

void UseTemporaryName(TargetFile& file) {
    if (file.temporary || platform::FileExists(file.path)) {
        return;
    }
    file.finalPath = file.path;
    file.path += kTemporarySuffix;
    file.temporary = true;
}

}  // namespace koruvan::engine
