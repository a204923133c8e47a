// The storage side of a piece map: the target files, growing them ahead of the writes (or
// preallocating them whole), the wait on a full disk, reads and writes of content ranges
// across file boundaries, data sync, closing and the final renames.
//
// Files are written with positioned writes, never through memory mappings: a mapped write
// on a full disk would end the process instead of reporting the shortage.
//
// Not thread-safe: used by the task thread of its piece map. Growing files takes the
// engine-wide disk lock so that one task at a time extends a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "engine/core/FileTable.h"
#include "engine/core/PieceHost.h"

namespace koruvan::engine {

// Serialises growing files and writing piece caches across all tasks.
std::mutex& StorageDiskLock() noexcept;

class PieceStorage {
  public:
    // How far ahead of a write a file is grown when it is not preallocated whole.
    static constexpr std::uint64_t kGrowAhead = 16 * 1024 * 1024;
    // Pause between two looks at the free space while the disk is full.
    static constexpr std::uint32_t kDiskFullWaitMs = 2000;
    // Bytes written to a file between two early write-backs.
    static constexpr std::uint64_t kWritebackStep = 8 * 1024 * 1024;

    explicit PieceStorage(PieceHost& host) noexcept : host_(host) {}
    ~PieceStorage();
    PieceStorage(const PieceStorage&) = delete;
    PieceStorage& operator=(const PieceStorage&) = delete;

    void SetLayout(std::vector<TargetFile> files, std::int32_t pieceLength,
                   std::uint64_t totalSize);
    void SetPreallocate(bool whole) noexcept { preallocate_ = whole; }
    // While closing, waits give up at once.
    void SetClosing(bool closing) noexcept { closing_ = closing; }

    [[nodiscard]] std::vector<TargetFile>& Files() noexcept { return files_; }
    [[nodiscard]] const std::vector<TargetFile>& Files() const noexcept { return files_; }

    // Opens, grows or truncates a file so that `neededOffset` bytes can be read (or
    // written when `writable`). False when that cannot be done (open failure: event 1004;
    // disk full: waits with events 1002 and 1003 until space appears or the task stops).
    [[nodiscard]] bool EnsureFileReady(TargetFile& file, std::uint64_t neededOffset, bool writable);

    // Writes `size` bytes of piece data at content offset `offset`, across file boundaries;
    // returns the bytes written before the first failure.
    [[nodiscard]] std::size_t WritePiece(std::uint64_t offset, const std::uint8_t* data,
                                         std::size_t size);
    // The same for `total` bytes held in several buffers, in one call where they lie in
    // one file; the written range's disk writes are started at once.
    [[nodiscard]] std::size_t WriteSpans(std::uint64_t offset,
                                         const std::vector<platform::File::Span>& spans,
                                         std::size_t total);
    // Reads `size` bytes at content offset `offset`; returns the bytes read.
    [[nodiscard]] std::size_t Read(std::uint64_t offset, std::uint8_t* out, std::size_t size);

    // Flushes the data of every file open for writing to the disk; false when one failed.
    [[nodiscard]] bool SyncAll() noexcept;
    // Every target carries its final name (no temporary ".kvtmp" name is left).
    [[nodiscard]] bool AllFinal() const noexcept {
        for (const TargetFile& f : files_) {
            if (f.temporary) {
                return false;
            }
        }
        return true;
    }
    // Closes every file (syncing writable ones first). With `finishing`, files whose
    // content is complete (`complete(file)`) take their final names. True when a writable
    // file was closed.
    template <typename CompleteFn>
    bool CloseAll(bool finishing, CompleteFn&& complete);

    // True once when a data flush failed since the last call: what the files hold may not
    // be on the disk, so no record may vouch for it.
    [[nodiscard]] bool ConsumeSyncFailure() noexcept {
        const bool failed = syncFailed_;
        syncFailed_ = false;
        return failed;
    }

    // Bytes moved through this storage since it was made.
    [[nodiscard]] std::uint64_t BytesRead() const noexcept { return bytesRead_; }
    [[nodiscard]] std::uint64_t BytesWrittenToDisk() const noexcept { return bytesWritten_; }

  private:
    // Index of the file that holds content offset `offset` (the last file for the end).
    [[nodiscard]] std::size_t FileAt(std::uint64_t offset) const noexcept;
    [[nodiscard]] bool OpenFor(TargetFile& file, bool writable);
    [[nodiscard]] bool Grow(TargetFile& file, std::uint64_t size, std::uint64_t target);
    // Waits while fewer than `needed` bytes are free; false when the wait was given up.
    [[nodiscard]] bool WaitForSpace(const TargetFile& file, std::uint64_t needed);
    bool CloseFile(TargetFile& file) noexcept;
    void FinishFile(TargetFile& file) noexcept;
    void ReportWriteFailure(int error);

    PieceHost& host_;
    std::vector<TargetFile> files_;
    std::int32_t pieceLength_ = 0;
    std::uint64_t totalSize_ = 0;
    bool preallocate_ = false;
    bool closing_ = false;
    bool diskFullReported_ = false;
    bool syncFailed_ = false;
    std::uint64_t bytesRead_ = 0;
    std::uint64_t bytesWritten_ = 0;
    std::vector<std::uint8_t> staging_;  // a run that crosses a file boundary
};

template <typename CompleteFn>
bool PieceStorage::CloseAll(bool finishing, CompleteFn&& complete) {
    bool closedWritable = false;
    for (TargetFile& f : files_) {
        closedWritable = CloseFile(f) || closedWritable;
        if (finishing && f.temporary && complete(f)) {
            FinishFile(f);
        }
    }
    return closedWritable;
}

}  // namespace koruvan::engine
