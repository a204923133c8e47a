#include "engine/core/PieceStorage.h"

#include <algorithm>

#include "engine/core/StorageObserver.h"
#include "engine/core/base/EngineClock.h"
#include "platform/Paths.h"

namespace koruvan::engine {
namespace {

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// The folders a metainfo names below the target folder ("Name/sub/file" has two) must be
// real folders: a link planted in their place would carry the writes outside the save folder.
bool ThroughPlantedLink(const TargetFile& file) noexcept {
    const auto levels = static_cast<std::size_t>(
        std::count(file.relativeName.begin(), file.relativeName.end(), '/'));
    return levels > 0 && platform::LinkAmongLastFolders(FolderOf(file.path), levels);
}

}  // namespace

std::mutex& StorageDiskLock() noexcept {
    static std::mutex lock;
    return lock;
}

PieceStorage::~PieceStorage() {
    for (TargetFile& f : files_) {
        CloseFile(f);
    }
}

void PieceStorage::SetLayout(std::vector<TargetFile> files, std::int32_t pieceLength,
                             std::uint64_t totalSize) {
    files_ = std::move(files);
    pieceLength_ = pieceLength;
    totalSize_ = totalSize;
}

std::size_t PieceStorage::FileAt(std::uint64_t offset) const noexcept {
    const auto it =
        std::upper_bound(files_.begin(), files_.end(), offset,
                         [](std::uint64_t value, const TargetFile& f) { return value < f.offset; });
    return it == files_.begin() ? 0 : static_cast<std::size_t>(it - files_.begin()) - 1;
}

bool PieceStorage::OpenFor(TargetFile& file, bool writable) {
    if (!writable) {
        return file.file.Open(file.path, true);
    }
    // A file made here gets a lasting name at once: records will count its data by it.
    if (ThroughPlantedLink(file)) {
        return false;
    }
    const bool existed = platform::FileExists(file.path);
    bool opened = file.file.Open(file.path, false);
    if (!opened) {
        // A folder of the path may be missing (multi-file layouts, a removed save folder).
        (void)platform::CreateFolders(FolderOf(file.path));
        opened = !ThroughPlantedLink(file) && file.file.Open(file.path, false);
    }
    if (opened && !existed) {
        (void)FlushFolderOf(file.path);
    }
    return opened;
}

bool PieceStorage::EnsureFileReady(TargetFile& file, std::uint64_t neededOffset, bool writable) {
    if (writable && file.file.IsOpen() && file.file.IsReadOnly()) {
        file.file.Close();
    }
    if (!file.file.IsOpen() && !OpenFor(file, writable)) {
        host_.OnPieceEvent(kEventOpenFailed, 0, 0, nullptr);
        return false;
    }
    const auto size = file.file.Size();
    if (!size) {
        host_.OnPieceEvent(kEventOpenFailed, 0, 0, nullptr);
        return false;
    }
    if (*size > file.length) {
        // Longer than the layout says (an older, larger download): cut to the length.
        if (!file.file.IsWritable()) {
            file.file.Close();
            if (!OpenFor(file, true)) {
                host_.OnPieceEvent(kEventOpenFailed, 0, 0, nullptr);
                return false;
            }
        }
        const auto cut = file.file.SetEndOfFile(file.length) ? file.file.Size() : std::nullopt;
        return cut && *cut == file.length && neededOffset <= file.length;
    }
    if (!writable) {
        return *size >= neededOffset;
    }
    std::uint64_t target =
        preallocate_ ? file.length
                     : neededOffset + kGrowAhead + static_cast<std::uint64_t>(pieceLength_);
    if (file.Skipped() || closing_) {
        target = neededOffset;
    }
    target = std::min(target, file.length);
    // Grown only once the needed bytes pass the end, then well ahead (a growth costs a free
    // space check and an allocation, so it must not happen for every write).
    if (neededOffset > *size && target > *size && !Grow(file, *size, target)) {
        return false;
    }
    const auto now = file.file.Size();
    return now && *now >= neededOffset;
}

bool PieceStorage::Grow(TargetFile& file, std::uint64_t size, std::uint64_t target) {
    for (;;) {
        if (!WaitForSpace(file, target - size)) {
            return false;
        }
        bool grown = false;
        {
            std::lock_guard<std::mutex> guard(StorageDiskLock());
            grown = file.file.Grow(size, target);
        }
        if (grown) {
            return true;
        }
        if (!IsDiskFullError(file.file.LastError())) {
            return false;
        }
        // The space went elsewhere between the look and the growth: wait again.
        if (!diskFullReported_) {
            diskFullReported_ = true;
            host_.OnPieceEvent(kEventDiskFull, 0, 0, nullptr);
        }
        SleepMs(kDiskFullWaitMs);
        if (closing_ || host_.StopRequested()) {
            return false;
        }
    }
}

bool PieceStorage::WaitForSpace(const TargetFile& file, std::uint64_t needed) {
    const std::string folder = FolderOf(file.path);
    while (host_.FreeDiskBytes(folder) < needed) {
        if (closing_) {
            return false;
        }
        if (!diskFullReported_) {
            diskFullReported_ = true;
            host_.OnPieceEvent(kEventDiskFull, 0, 0, nullptr);
        }
        SleepMs(kDiskFullWaitMs);
        if (host_.StopRequested()) {
            return false;
        }
    }
    if (diskFullReported_) {
        diskFullReported_ = false;
        host_.OnPieceEvent(kEventDiskAvailable, 0, 0, nullptr);
    }
    return true;
}

void PieceStorage::ReportWriteFailure(int error) {
    if (IsDiskFullError(error) && !diskFullReported_) {
        diskFullReported_ = true;
        host_.OnPieceEvent(kEventDiskFull, 0, 0, nullptr);
    }
}

std::size_t PieceStorage::WritePiece(std::uint64_t offset, const std::uint8_t* data,
                                     std::size_t size) {
    std::size_t done = 0;
    for (std::size_t i = FileAt(offset); done < size && i < files_.size(); ++i) {
        TargetFile& f = files_[i];
        const std::uint64_t at = offset + done;
        if (f.length == 0 || at < f.offset || at >= f.offset + f.length) {
            continue;
        }
        const std::uint64_t fileOffset = at - f.offset;
        const auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - done, f.length - fileOffset));
        if (f.Skipped() && fileOffset >= static_cast<std::uint64_t>(pieceLength_)) {
            done += n;  // never written: only boundary pieces reach into a skipped file
            continue;
        }
        if (!EnsureFileReady(f, fileOffset + n, true)) {
            break;
        }
        const std::int64_t written = f.file.WriteAt(fileOffset, data + done, n);
        if (written != static_cast<std::int64_t>(n)) {
            ReportWriteFailure(f.file.LastError());
            break;
        }
        done += n;
        bytesWritten_ += n;
    }
    if (done == size && diskFullReported_) {
        diskFullReported_ = false;
        host_.OnPieceEvent(kEventDiskAvailable, 0, 0, nullptr);
    }
    return done;
}

std::size_t PieceStorage::WriteSpans(std::uint64_t offset,
                                     const std::vector<platform::File::Span>& spans,
                                     std::size_t total) {
    const std::size_t i = FileAt(offset);
    TargetFile* f = i < files_.size() ? &files_[i] : nullptr;
    const bool oneFile = f != nullptr && f->length > 0 && offset >= f->offset &&
                         offset + total <= f->offset + f->length && !f->Skipped();
    if (!oneFile) {
        // Rare (a run across a file boundary): copied together and written piecewise.
        staging_.clear();
        for (const platform::File::Span& s : spans) {
            const auto* data = static_cast<const std::uint8_t*>(s.data);
            staging_.insert(staging_.end(), data, data + s.size);
        }
        return WritePiece(offset, staging_.data(), staging_.size());
    }
    const std::uint64_t fileOffset = offset - f->offset;
    if (!EnsureFileReady(*f, fileOffset + total, true)) {
        return 0;
    }
    const std::int64_t written = f->file.WriteAtV(fileOffset, spans.data(), spans.size());
    if (written != static_cast<std::int64_t>(total)) {
        ReportWriteFailure(f->file.LastError());
        return 0;
    }
    // The disk writes start early, in large steps, so that the flush before the final
    // rename finds little left to do.
    f->unsynced += total;
    if (f->unsynced >= kWritebackStep) {
        const std::uint64_t end = fileOffset + total;
        f->file.StartWriteback(end - std::min(end, f->unsynced), f->unsynced);
        f->unsynced = 0;
    }
    bytesWritten_ += total;
    if (diskFullReported_) {
        diskFullReported_ = false;
        host_.OnPieceEvent(kEventDiskAvailable, 0, 0, nullptr);
    }
    return total;
}

std::size_t PieceStorage::Read(std::uint64_t offset, std::uint8_t* out, std::size_t size) {
    std::size_t done = 0;
    for (std::size_t i = FileAt(offset); done < size && i < files_.size(); ++i) {
        TargetFile& f = files_[i];
        const std::uint64_t at = offset + done;
        if (f.length == 0 || at < f.offset || at >= f.offset + f.length) {
            continue;
        }
        const std::uint64_t fileOffset = at - f.offset;
        const auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - done, f.length - fileOffset));
        if (!EnsureFileReady(f, fileOffset + n, false)) {
            break;
        }
        const std::int64_t got = f.file.ReadAt(fileOffset, out + done, n);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
            bytesRead_ += static_cast<std::uint64_t>(got);
        }
        if (got != static_cast<std::int64_t>(n)) {
            break;
        }
    }
    return done;
}

bool PieceStorage::SyncAll() noexcept {
    bool ok = true;
    for (TargetFile& f : files_) {
        if (f.file.IsWritable()) {
            ok = f.file.SyncData() && ok;
        }
    }
    syncFailed_ = syncFailed_ || !ok;
    return ok;
}

bool PieceStorage::CloseFile(TargetFile& file) noexcept {
    if (!file.file.IsOpen()) {
        return false;
    }
    const bool writable = file.file.IsWritable();
    if (writable && !file.file.SyncData()) {
        syncFailed_ = true;
    }
    if (!file.file.Close() && writable) {
        syncFailed_ = true;  // a late write error surfaces at close
    }
    return writable;
}

void PieceStorage::FinishFile(TargetFile& file) noexcept {
    try {
        // A file of length 0 is complete once it exists.
        if (file.length == 0 && !platform::FileExists(file.path)) {
            if (!OpenFor(file, true)) {
                return;
            }
            file.file.Close();
        }
        // The data was flushed when the file was closed, so the new name never shows data
        // that is not on the disk; the folder is flushed so that the name itself survives
        // a power cut once records count the file under it.
        if (!ThroughPlantedLink(file) &&
            StorageAllow(StorageOp::kRename, file.path, file.finalPath) &&
            platform::RenameFile(file.path, file.finalPath)) {
            StorageDone(StorageOp::kRename, file.path, file.finalPath);
            (void)FlushFolderOf(file.finalPath);
            file.path = file.finalPath;
            file.finalPath.clear();
            file.temporary = false;
        }
    } catch (...) {
        // Out of memory while renaming: the file keeps its temporary name for now.
    }
}

}  // namespace koruvan::engine
