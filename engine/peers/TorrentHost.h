// What a torrent needs from the task that owns it: where the download goes, the task's
// phase marks and failure state, and the piece map that takes the layout over.
#pragma once

#include "engine/core/base/TRefObject.h"
#include "engine/peers/MetainfoLayout.h"

#include <string>

namespace koruvan::engine {

// Task phase marks set while a metainfo loads.
inline constexpr int kPhaseParsingMetainfo = 3;
inline constexpr int kPhaseMetainfoParsed = 4;

class TorrentHost {
  public:
    virtual ~TorrentHost() = default;

    // The folder the download goes to.
    [[nodiscard]] virtual std::string TargetFolder() const = 0;
    // The explicit target file of the task, or empty when it has none.
    [[nodiscard]] virtual std::string TargetFile() const = 0;
    virtual void SetPhase(int phase) = 0;
    // A "file://" metainfo source could not be read; the task takes the matching state
    // code and stops.
    virtual void OnSourceUnreadable() = 0;
    // Hands the layout to the piece map; `previousPieces` (may be null) is a piece map
    // restored from a resume file, to start from. True when the piece map took the layout.
    [[nodiscard]] virtual bool BuildLayout(const MetainfoLayout& layout,
                                           TRefObject* previousPieces) = 0;
    // A key text (a template ending in "$End$") read by the piece map's template reader.
    [[nodiscard]] virtual bool LoadKeyText(const std::string& keyText) = 0;
    // Creates a folder entry of a multi-file layout with its missing parents. The default
    // uses the file system; failures are not fatal to the layout.
    virtual bool CreateFolder(const std::string& path);
};

}  // namespace koruvan::engine
