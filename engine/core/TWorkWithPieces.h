// Third task layer: what the task keeps on disk and knows about its content — the metainfo
// and the piece map built from it, the four state blobs and the state file, the events of
// the storage layer, the published bitfield and file table, the web sources' work ranges,
// the shared block-request pool of the BitTorrent peers, and reads of target data for other
// threads.
//
// Locking: the piece map, the torrent, the ranges and the request planner belong to the task
// thread (other threads reach target data only through ReadRange's queue, guarded by its own
// lock). Blobs are written by the task thread under the thread lock and encoded under it, so
// queries never see half-updated blobs. The published bitfield, the published file table and
// the published record are guarded by the thread lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/PieceHost.h"
#include "engine/core/ReadRequests.h"
#include "engine/core/RequestPlanner.h"
#include "engine/core/ResumeRecord.h"
#include "engine/core/TWorkWithPeers.h"
#include "engine/core/WorkRanges.h"

namespace koruvan::engine {

class TPieces;
class TTorrent;
struct MetainfoLayout;

struct StateBlob {
    std::string data;
    bool dirty = false;
};

// Pieces of a download learned from a web source without metainfo.
inline constexpr std::int32_t kUnhashedPieceLength = 1024 * 1024;
// Memory budget units of a template layout.
inline constexpr std::int32_t kTemplateBudgetUnits = 128;

class TWorkWithPieces : public TWorkWithPeers {
  public:
    using FreeSpaceQuery = std::function<std::uint64_t(const std::string& folder)>;

    TWorkWithPieces();
    ~TWorkWithPieces() override;

    void Refresh() override;
    virtual bool HasMetainfo() const { return hasMetainfo_; }
    virtual void OnPieceEvent(std::int32_t type, std::uint32_t flags, std::int32_t length,
                              const void* data);
    // Copies the working record to the published one. Without force it skips when the
    // thread lock is busy, so the transfer loop never waits for a query.
    virtual void Publish(bool refresh, bool force);

    // File table queries (any thread, thread lock).
    virtual std::int32_t GetFileCount();
    virtual std::int64_t GetFileSize(std::int32_t index);
    virtual std::int32_t GetFileText(std::int32_t index, std::int32_t selector, char* buffer);
    // Reads target data through the task thread (any thread but the task's own). Returns
    // the bytes read, -3 when they are not all there, -5 when the task is not running or
    // stops, -7 when the task thread did not pick the request up within 3 seconds.
    virtual std::int32_t ReadRange(std::int32_t fileIndex, void* buffer, std::uint64_t offset,
                                   std::int32_t length, std::int32_t needed);

    // Bitfield copy (any thread, thread lock).
    std::int32_t BitfieldSize();
    std::int32_t CopyBitfield(void* buffer, std::int32_t size);

    // State file: the four blobs as one bencoded dictionary.
    bool LoadStateFile(const std::string& path);
    bool SaveStateFile(const std::string& path);
    void DeleteStateFile(const std::string& path);

    const StateBlob& TorrentBlob() const noexcept { return torrent_; }
    void SetTorrentBlob(std::string data);

    // ---- piece layer (task thread) ----
    // The piece map, null until a layout exists.
    [[nodiscard]] TPieces* Pieces() const noexcept { return pieces_; }
    // Loads the torrent blob of a BT or P2SP task into a piece layer once.
    bool LoadMetainfo();
    // A download without metainfo whose size a web source reported: one file (the task's
    // target file, else `fileName` in the target folder) in 1 MiB pieces without hashes.
    bool SetUnhashedLayout(std::uint64_t totalSize, const std::string& fileName = {});
    // The size the caller states for the file (0: unknown); set before the task starts.
    void SetExpectedSize(std::uint64_t size) noexcept { expectedSize_ = size; }
    // A metainfo document fetched by a source: taken as the torrent blob when it parses and
    // the task has none yet; the layout is built in the next pass.
    bool OfferMetainfo(std::string_view document);
    [[nodiscard]] const std::optional<InfoHashBytes>& InfoHash() const noexcept {
        return infoHash_;
    }
    [[nodiscard]] const std::vector<std::string>& MetainfoTrackers() const noexcept {
        return trackers_;
    }
    // Replaces the free-space query of the storage layer (tests simulate a full disk).
    void SetFreeSpaceQuery(FreeSpaceQuery query);

    // ---- what peers ask the task ----
    std::int32_t PutBlock(std::int32_t block, std::int32_t length, const std::uint8_t* data,
                          TPeerId* supplier, bool& accepted);
    void LayoutRanges(const std::vector<TPeerId*>& webSources);
    WorkRange* AssignRange(RangeWorker& peer);
    [[nodiscard]] WorkRanges& Ranges() noexcept { return ranges_; }
    bool PickBlocks(std::vector<BlockRequest>& out, std::span<const std::uint8_t> peerBitfield,
                    std::int32_t max, std::span<const std::int32_t> exclude);
    bool WantsPiece(std::int32_t piece);
    [[nodiscard]] bool FewPiecesLeft() const noexcept;
    bool MarkRequested(std::int32_t piece, bool add, bool cancel);
    [[nodiscard]] std::int32_t RandomStartPiece() const;
    [[nodiscard]] RequestPlanner& Requests() noexcept { return requests_; }
    [[nodiscard]] std::int32_t DownloadFrontier() const noexcept { return frontier_; }
    [[nodiscard]] const std::vector<std::int32_t>& PiecesToAnnounce() const noexcept {
        return toAnnounce_;
    }

  protected:
    // Builds the piece layer from the torrent blob or key; false when there is no usable
    // metainfo.
    bool BuildPieceLayer();
    // Writes out what the piece map buffers and closes the target files; complete files
    // take their final names when finishing.
    void FlushAndCloseFiles(bool finishing);
    // Every target file carries its final name (true while no piece map exists).
    [[nodiscard]] bool TargetsFinal() const noexcept;
    bool SizeKnown() const noexcept { return work_.totalSize > 0; }
    // End of a run: the piece map writes what it holds, saves its cache and resume record
    // and is released; with `dropContent` the blobs and published tables go too.
    void ResetPieces(bool dropContent);

    // Maintenance hooks of the work thread.
    void ServeReadRequests();
    // Writes buffered data, flushes it to the disk and renews the resume record and file
    // list (before the state file is saved).
    void FlushForSave();
    void SynchronizePieces();
    void RequestPoolUpkeep();
    // Per-second: drops pooled requests of complete pieces and announces new pieces.
    void PieceSecondTick();
    void AnnouncePieces();

    // Peer management provides these once peers exist.
    [[nodiscard]] virtual std::int32_t ConnectedPeerCount() const { return 0; }
    // Sends bytes (have batches) to every established BitTorrent peer.
    void SendToBitTorrentPeers(const std::string& bytes);

    StateBlob torrent_;
    StateBlob seeds_;
    StateBlob bits_;
    StateBlob part_;
    bool hasMetainfo_ = false;
    bool newMetainfo_ = false;
    std::uint64_t expectedSize_ = 0;  // set before the thread starts
    bool saveRequested_ = false;

    // Guarded by the thread lock.
    std::vector<std::uint8_t> publishedBitfield_;

    struct PublishedFile {
        std::string path;
        std::string relativeName;
        std::string finalPath;
        std::uint64_t size = 0;
    };
    std::vector<PublishedFile> publishedFiles_;

  private:
    class LayerHost;
    enum class LayoutKind { kMetainfo, kTemplate, kUnhashed };

    // TorrentHost and PieceHost callbacks.
    bool TakeLayout(const MetainfoLayout& layout, const std::optional<InfoHashBytes>& infoHash,
                    LayoutKind kind);
    bool LoadTemplate(const std::string& text);
    std::uint64_t FreeSpace(const std::string& folder);
    bool CheckProgress();
    void AdoptMetainfo(const TTorrent& torrent);
    void AddTrackerCandidates(const std::vector<std::string>& urls);
    // The map being built (during a build) or the current one.
    [[nodiscard]] TPieces* Active() const noexcept {
        return building_ != nullptr ? building_ : pieces_;
    }
    void CopyCounters(const TPieces& map);
    void OnPieceState(std::int32_t piece, bool have);
    void RebuildPublishedFiles();
    void RebuildBitfieldCopy();
    void PublishStateCode();
    void ServeRead(ReadRequest& request);
    void ReleasePieceMap();

    std::unique_ptr<LayerHost> host_;
    TPieces* pieces_ = nullptr;          // counted reference
    TPieces* building_ = nullptr;        // during a build only
    TTorrent* torrentObject_ = nullptr;  // counted reference
    TTorrent* loading_ = nullptr;        // during a load only
    std::optional<InfoHashBytes> infoHash_;
    std::vector<std::string> trackers_;
    WorkRanges ranges_;
    RequestPlanner requests_;
    ReadRequestQueue reads_;
    std::int32_t frontier_ = -1;
    std::vector<std::int32_t> toAnnounce_;
    std::uint32_t lastAnnounce_ = 0;
    FreeSpaceQuery freeSpace_;
};

}  // namespace koruvan::engine
