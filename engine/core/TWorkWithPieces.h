// Third task layer: what the task keeps on disk and knows about its content — the four
// state blobs and the state file, the events of the storage layer, the published bitfield
// and file table, and whether metainfo is known.
//
// Locking: blobs are written by the task thread and encoded under the thread lock, so
// queries never see half-updated blobs. The published bitfield is guarded by the thread
// lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/core/TWorkWithPeers.h"

namespace koruvan::engine {

// Storage and piece-map events delivered to OnPieceEvent.
constexpr std::int32_t kEventBitfieldReset = 2;
constexpr std::int32_t kEventPublish = 3;
constexpr std::int32_t kEventFileList = 1000;
constexpr std::int32_t kEventResume = 1001;
constexpr std::int32_t kEventDiskFull = 1002;
constexpr std::int32_t kEventDiskAvailable = 1003;
constexpr std::int32_t kEventOpenFailed = 1004;

struct StateBlob {
    std::string data;
    bool dirty = false;
};

class TWorkWithPieces : public TWorkWithPeers {
  public:
    TWorkWithPieces() = default;
    ~TWorkWithPieces() override = default;

    void Refresh() override;
    virtual bool HasMetainfo() const { return hasMetainfo_; }
    virtual void OnPieceEvent(std::int32_t type, std::uint32_t flags, std::int32_t length,
                              const void* data);

    // File table queries (any thread, thread lock).
    virtual std::int32_t GetFileCount();
    virtual std::int64_t GetFileSize(std::int32_t index);
    virtual std::int32_t GetFileText(std::int32_t index, std::int32_t selector, char* buffer);

    // Bitfield copy (any thread, thread lock).
    std::int32_t BitfieldSize();
    std::int32_t CopyBitfield(void* buffer, std::int32_t size);

    // State file: the four blobs as one bencoded dictionary.
    bool LoadStateFile(const std::string& path);
    bool SaveStateFile(const std::string& path);
    void DeleteStateFile(const std::string& path);

    const StateBlob& TorrentBlob() const noexcept { return torrent_; }
    void SetTorrentBlob(std::string data);

  protected:
    // Builds the piece layer from the torrent blob; false when there is no usable metainfo.
    bool BuildPieceLayer();
    // Writes out what the piece map buffers and closes the target files.
    void FlushAndCloseFiles(bool finishing);
    bool SizeKnown() const noexcept { return work_.totalSize > 0; }
    void ResetPieces(bool dropContent);

    StateBlob torrent_;
    StateBlob seeds_;
    StateBlob bits_;
    StateBlob part_;
    bool hasMetainfo_ = false;
    bool newMetainfo_ = false;
    bool saveRequested_ = false;
    std::uint64_t lastProgressTime_ = 0;  // task clock of the last piece progress

    // Guarded by the thread lock.
    std::vector<std::uint8_t> publishedBitfield_;

    struct PublishedFile {
        std::string path;
        std::string relativeName;
        std::string finalPath;
        std::uint64_t size = 0;
    };
    std::vector<PublishedFile> publishedFiles_;
};

}  // namespace koruvan::engine
