// The piece map of a task: pieces of equal length (the last one shorter) over the whole
// download, 16 KiB blocks inside them, the bitfield of written pieces, the counters the task
// publishes, and the storage the pieces are written to.
//
// Received blocks are buffered per piece and written in piece order: the contiguous data
// after a piece's written prefix is written once it reaches 128 KiB and fed into the
// piece's running SHA-1, so a complete piece only hashes its last bytes, and a stopped
// download resumes from the stored hash state without rereading what it wrote. A piece
// without an expected hash (template layouts, HTTP downloads without metainfo) is accepted
// unverified; the final MD5 check of the controller guards those files.
//
// Changes are reported to the task through PieceHost::OnPieceEvent.
//
// Not thread-safe: a piece map is used by its task's thread only (the task serves other
// threads' reads on that thread). It is reference counted; holders Release it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/core/Piece.h"
#include "engine/core/PieceHost.h"
#include "engine/core/PieceStorage.h"
#include "engine/core/ResumeRecord.h"
#include "engine/core/base/TRefObject.h"
#include "engine/peers/MetainfoLayout.h"

namespace koruvan::engine {

class TPeerId;

// Results of PutBlock besides 0 (stored, or refused: see `accepted`).
inline constexpr std::int32_t kPieceCompleted = 1;
inline constexpr std::int32_t kPieceFailed = -99;

// Contiguous data is written early from this size on; stored hash prefixes are whole
// multiples of min(piece length, this).
inline constexpr std::int32_t kFlushMinimum = 128 * 1024;
inline constexpr std::int64_t kBudgetUnitBytes = 256 * 1024;

struct PieceMapOptions {
    bool verify = true;          // check pieces against their hashes when they have one
    bool preallocate = false;    // grow files to their whole length at the first write
    bool trustExisting = false;  // complete files on disk decide instead of the record
    bool keepPieceCache = true;
    bool acceptResume = true;
    std::int32_t budgetUnits = 64;  // memory budget in units of 256 KiB
    std::string pieceCachePath;
    std::string resumeBlob;  // "bits"
    std::string targetName;  // named in verification-failure reports
};

class TPieces final : public TRefObject {
  public:
    explicit TPieces(PieceHost& host);

    // Takes a layout over, then loads the resume record and piece cache (or checks the
    // files on disk). False for a layout that does not add up or a failed file check.
    [[nodiscard]] bool Build(const MetainfoLayout& layout,
                             const std::optional<InfoHashBytes>& infoHash,
                             const PieceMapOptions& options);

    // Layout.
    [[nodiscard]] const std::string& Name() const noexcept { return name_; }
    [[nodiscard]] std::int32_t PieceLength() const noexcept { return pieceLength_; }
    [[nodiscard]] std::int32_t PieceCount() const noexcept { return pieceCount_; }
    [[nodiscard]] std::uint64_t TotalSize() const noexcept { return totalSize_; }
    [[nodiscard]] bool HasHashes() const noexcept { return !hashes_.empty(); }
    [[nodiscard]] const std::optional<InfoHashBytes>& InfoHash() const noexcept {
        return infoHash_;
    }
    [[nodiscard]] std::int32_t PieceSize(std::int32_t piece) const noexcept;
    // Where a piece starts in the whole download.
    [[nodiscard]] std::uint64_t PieceOffset(std::int32_t piece) const noexcept;

    // Counters.
    [[nodiscard]] std::int32_t PiecesDone() const noexcept { return piecesDone_; }
    [[nodiscard]] std::uint64_t BytesDone() const noexcept { return bytesDone_; }
    [[nodiscard]] std::uint64_t BytesNeeded() const noexcept;
    [[nodiscard]] std::uint64_t BytesOnDisk() const noexcept { return bytesOnDisk_; }
    [[nodiscard]] std::int32_t PendingPieces() const noexcept { return pendingCount_; }
    [[nodiscard]] std::int32_t LastCompleted() const noexcept { return lastCompleted_; }
    [[nodiscard]] std::uint32_t LastProgress() const noexcept { return lastProgress_; }
    [[nodiscard]] std::int64_t BufferedBytes() const noexcept { return buffered_; }
    [[nodiscard]] std::int64_t BudgetBytes() const noexcept { return budgetBytes_; }
    [[nodiscard]] bool AllDone() const noexcept {
        return pieceCount_ > 0 && piecesDone_ >= pieceCount_;
    }
    [[nodiscard]] const std::vector<std::uint8_t>& Bitfield() const noexcept { return bits_; }

    // Piece states; all false for an index outside the map or a piece of length 0.
    [[nodiscard]] bool Valid(std::int32_t piece) const noexcept;
    [[nodiscard]] bool Have(std::int32_t piece) const noexcept;
    // Not written, not being written, not complete in memory.
    [[nodiscard]] bool Wanted(std::int32_t piece) const noexcept;
    [[nodiscard]] bool Partial(std::int32_t piece) const noexcept;
    [[nodiscard]] bool HasBlockAt(std::int32_t piece, std::int32_t offset,
                                  std::int32_t length) const noexcept;
    [[nodiscard]] bool HasBlock(std::int32_t block) const noexcept;
    // Bytes of `piece` still to fetch and the first offset to fetch (peers plan with it).
    [[nodiscard]] std::int32_t MissingBytes(std::int32_t piece,
                                            std::int32_t* firstOffset) const noexcept;
    // Block arithmetic (16 KiB units over the whole download); -1 / 0 when out of range or
    // when the piece length is not a multiple of 16 KiB.
    [[nodiscard]] std::int32_t PieceOfBlock(std::int32_t block) const noexcept;
    [[nodiscard]] std::int32_t BlockLength(std::int32_t block) const noexcept;
    [[nodiscard]] std::int32_t FirstBlockOf(std::int32_t piece) const noexcept;

    // Stores a received block. `accepted` tells whether the data was taken; the result is
    // kPieceCompleted when the block completed its piece, kPieceFailed when the completed
    // piece failed its check (it is then reset), else 0.
    std::int32_t PutBlock(std::int32_t block, std::int32_t length, const std::uint8_t* data,
                          TPeerId* supplier, bool& accepted);
    // Writes the contiguous data after the prefix when there is at least `minimum` of it
    // (whole multiples of the flush unit); verifies the piece when that completes it.
    std::int32_t FlushContiguous(Piece& piece, std::int32_t minimum);
    // Writes a complete piece; true when all its bytes reached the disk (it is then have).
    bool WritePendingPiece(Piece& piece);
    // Periodic synchronisation: early writes and the memory budget.
    void Synchronize();
    // Writes every complete piece and the contiguous data of partial ones, then flushes
    // the files' data to the disk. False when a flush failed.
    bool FlushAll();
    // Forgets what a piece holds (cancel); pieces that are have or complete stay.
    void ResetPiece(std::int32_t piece);
    void SetPieceState(std::int32_t piece, bool have);

    // Reads bytes of a written or buffered piece; returns the bytes read.
    std::int32_t ReadPiece(std::int32_t piece, std::int32_t offset, std::int32_t length,
                           std::uint8_t* out);
    std::int32_t ReadBlock(std::int32_t block, std::int32_t length, std::uint8_t* out);

    // Persistence. SaveResume sends an empty 1001 event, then the record (unless the data
    // on disk is not accounted for yet). SaveFileList sends 1000.
    void SaveResume();
    void SaveFileList();
    // Writes the piece cache file (deleted when every piece is done).
    bool SavePieceCacheFile();
    // Closes the files (renaming complete ones when finishing), then saves the resume
    // record when a writable file was closed or `saveResume` is set.
    void CloseFiles(bool saveResume, bool finishing);
    void SetClosing(bool closing) noexcept { storage_.SetClosing(closing); }

    [[nodiscard]] PieceStorage& Storage() noexcept { return storage_; }
    [[nodiscard]] const PieceStorage& Storage() const noexcept { return storage_; }
    [[nodiscard]] Piece* At(std::int32_t piece) noexcept;
    // True when the data on disk is fully described by the piece states (no interrupted
    // check): only then may a resume record be written.
    [[nodiscard]] bool ResumeWritable() const noexcept { return !checkInterrupted_; }

  private:
    // Writes the piece's buffered blocks from `firstSlot` up to byte `end` of the piece in
    // few large writes (runs of blocks are gathered into one buffer first); calls
    // `written(slot, data, length)` for every block that reached the disk, in order. False
    // when a write came up short.
    template <typename OnWritten>
    bool WriteBlocks(Piece& piece, std::int32_t firstSlot, std::int32_t end, OnWritten written);
    ~TPieces() override;

    [[nodiscard]] bool TakeLayout(const MetainfoLayout& layout);
    std::int32_t CompletePiece(Piece& piece);
    void FailPiece(Piece& piece);
    void WriteAllPending();
    void EnforceBudget();
    [[nodiscard]] std::int64_t KeepLimit() const noexcept;
    void ResetCounters() noexcept;
    void SetBit(std::int32_t piece, bool on) noexcept;
    // Marks a piece have without an event (bulk loads end with one bitfield event).
    void MarkHaveQuietly(std::int32_t piece) noexcept;

    // Resume (PieceResume.cpp).
    [[nodiscard]] bool LoadResume();
    [[nodiscard]] bool ApplyRecord(const ResumeReader& reader,
                                   const std::vector<std::int64_t>& recordedSizes);
    [[nodiscard]] bool DataWithin(std::int32_t piece, std::uint64_t bytes,
                                  const std::vector<std::int64_t>& sizes) const;
    void LoadPieceCacheFile();
    [[nodiscard]] bool RestoreCached(std::int32_t piece, std::string_view data);
    // Checks (PieceCheck.cpp).
    void RecheckExistingData();
    [[nodiscard]] bool CheckExistingFiles();
    [[nodiscard]] bool AnyTargetData() const;

    PieceHost& host_;
    PieceStorage storage_;
    std::string name_;
    std::string targetName_;
    std::int32_t pieceLength_ = 0;
    std::int32_t pieceCount_ = 0;
    std::uint64_t totalSize_ = 0;
    std::string hashes_;
    std::optional<InfoHashBytes> infoHash_;
    std::unique_ptr<Piece[]> pieces_;
    std::vector<std::uint8_t> bits_;
    std::vector<std::int32_t> pendingOrder_;  // complete pieces waiting to be written

    bool verify_ = true;
    bool keepPieceCache_ = true;
    bool acceptResume_ = true;
    bool trustExisting_ = false;
    std::string pieceCachePath_;
    std::string resumeBlob_;
    bool checkInterrupted_ = false;

    std::int32_t piecesDone_ = 0;
    std::uint64_t bytesDone_ = 0;
    std::uint64_t bytesOnDisk_ = 0;
    std::int32_t lastCompleted_ = -1;
    std::int32_t pendingCount_ = 0;
    std::int64_t buffered_ = 0;
    std::int64_t budgetBytes_ = 64 * kBudgetUnitBytes;
    std::uint32_t lastProgress_ = 0;
    std::vector<platform::File::Span> spans_;  // gathers blocks for one large write
};

}  // namespace koruvan::engine
