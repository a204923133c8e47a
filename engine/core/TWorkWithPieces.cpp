// The task's view of its content: piece and storage events, the published bitfield and
// file table, publishing, and reads of target data served on the task thread.
#include "engine/core/TWorkWithPieces.h"

#include <algorithm>
#include <cstring>

#include "engine/core/TPieces.h"
#include "engine/core/base/LockGuard.h"

namespace koruvan::engine {

void TWorkWithPieces::Refresh() {
    const TPieces* map = Active();
    if (map == nullptr || map->TotalSize() == 0) {
        return;
    }
    const bool sizeChanged = work_.totalSize != map->TotalSize();
    CopyCounters(*map);
    if (sizeChanged || map->BytesOnDisk() != map->TotalSize()) {
        Publish(false, false);
    }
}

void TWorkWithPieces::CopyCounters(const TPieces& map) {
    work_.totalSize = map.TotalSize();
    work_.bytesDone = map.BytesDone();
    work_.bytesNeeded = map.BytesNeeded();
    work_.pieceCount = map.PieceCount();
    work_.piecesDone = map.PiecesDone();
    work_.piecesPending = map.PendingPieces();
    work_.pieceLength = map.PieceLength();
}

void TWorkWithPieces::SetTorrentBlob(std::string data) {
    LockGuard guard(&ThreadLock(), true);
    torrent_.data = std::move(data);
    torrent_.dirty = true;
}

void TWorkWithPieces::PublishStateCode() {
    // The writer may be waiting for disk space and not step for a while: the controller
    // must see the state now, not at the next publish.
    LockGuard guard(&ThreadLock(), true);
    published_.stateCode = work_.stateCode;
}

void TWorkWithPieces::OnPieceEvent(std::int32_t type, std::uint32_t flags, std::int32_t length,
                                   const void* data) {
    const auto bytes = [&] {
        return (data == nullptr || length <= 0)
                   ? std::string()
                   : std::string(static_cast<const char*>(data), static_cast<std::size_t>(length));
    };
    const TPieces* map = Active();
    switch (type) {
        case kEventPieceState:
            OnPieceState(length, flags != 0);
            break;
        case kEventBitfieldReset:
            RebuildBitfieldCopy();
            if (map != nullptr) {
                CopyCounters(*map);
            }
            break;
        case kEventPublish:
            Publish(flags != 0, true);
            break;
        case kEventPieceCount: {
            LockGuard guard(&ThreadLock(), true);
            publishedBitfield_.assign((static_cast<std::size_t>(std::max(length, 0)) + 7) / 8, 0);
            if (map != nullptr && !map->Name().empty()) {
                work_.displayName = map->Name();
                work_.texts[0] = map->Name();
            }
            break;
        }
        case kEventFileList: {
            LockGuard guard(&ThreadLock(), true);
            part_.data = bytes();
            part_.dirty = true;
            break;
        }
        case kEventResume: {
            if (length <= 0) {
                break;  // a save begins; the new record follows
            }
            LockGuard guard(&ThreadLock(), true);
            bits_.data = bytes();
            bits_.dirty = true;
            break;
        }
        case kEventDiskFull:
            // A mark, not a stop: the writer keeps waiting for space.
            work_.stateCode = kStateDiskFull;
            PublishStateCode();
            break;
        case kEventDiskAvailable:
            if (work_.stateCode == kStateDiskFull) {
                work_.stateCode = 0;
            }
            PublishStateCode();
            break;
        case kEventOpenFailed:
            work_.stateCode = kStateWriteFailed;
            PublishStateCode();
            RequestStop(nullptr);
            break;
        default:
            break;
    }
}

void TWorkWithPieces::OnPieceState(std::int32_t piece, bool have) {
    {
        LockGuard guard(&ThreadLock(), true);
        const auto byte = static_cast<std::size_t>(piece) / 8;
        if (piece >= 0 && byte < publishedBitfield_.size()) {
            const auto mask = static_cast<std::uint8_t>(0x80u >> (piece % 8));
            publishedBitfield_[byte] =
                have ? static_cast<std::uint8_t>(publishedBitfield_[byte] | mask)
                     : static_cast<std::uint8_t>(publishedBitfield_[byte] & ~mask);
        }
    }
    const TPieces* map = Active();
    if (map == nullptr) {
        return;
    }
    CopyCounters(*map);
    // Pieces completed while the storage is ready are announced to the peers, and no peer
    // needs to be asked for them any more.
    if (have && map->BytesOnDisk() >= map->TotalSize()) {
        requests_.Forget(piece);
        if (std::find(toAnnounce_.begin(), toAnnounce_.end(), piece) == toAnnounce_.end()) {
            toAnnounce_.push_back(piece);
        }
    }
}

void TWorkWithPieces::RebuildBitfieldCopy() {
    const TPieces* map = Active();
    LockGuard guard(&ThreadLock(), true);
    if (map == nullptr) {
        publishedBitfield_.clear();
        return;
    }
    publishedBitfield_ = map->Bitfield();
}

void TWorkWithPieces::RebuildPublishedFiles() {
    const TPieces* map = Active();
    if (map == nullptr) {
        return;
    }
    std::vector<PublishedFile> files;
    for (const auto& f : map->Storage().Files()) {
        files.push_back(
            {f.path, f.relativeName, f.temporary ? f.finalPath : std::string(), f.length});
    }
    LockGuard guard(&ThreadLock(), true);
    publishedFiles_ = std::move(files);
}

void TWorkWithPieces::Publish(bool refresh, bool force) {
    LockGuard guard(&ThreadLock(), false);
    if (force) {
        guard.Lock();
    } else if (!guard.TryLock()) {
        return;
    }
    if (refresh || force) {
        RebuildPublishedFiles();  // the peer and source tables join here with peer management
    }
    published_ = work_;
}

std::int32_t TWorkWithPieces::GetFileCount() {
    LockGuard guard(&ThreadLock(), true);
    return static_cast<std::int32_t>(publishedFiles_.size());
}

std::int64_t TWorkWithPieces::GetFileSize(std::int32_t index) {
    LockGuard guard(&ThreadLock(), true);
    if (index < 0 || static_cast<std::size_t>(index) >= publishedFiles_.size()) {
        return -1;
    }
    return static_cast<std::int64_t>(publishedFiles_[static_cast<std::size_t>(index)].size);
}

std::int32_t TWorkWithPieces::GetFileText(std::int32_t index, std::int32_t selector, char* buffer) {
    if (buffer == nullptr) {
        return -1;
    }
    LockGuard guard(&ThreadLock(), true);
    if (index < 0 || static_cast<std::size_t>(index) >= publishedFiles_.size()) {
        buffer[0] = '\0';
        return -1;
    }
    const PublishedFile& file = publishedFiles_[static_cast<std::size_t>(index)];
    const std::string* text = nullptr;
    switch (selector) {
        case 1:
            text = &file.path;
            break;
        case 2:
            text = &file.relativeName;
            break;
        case 3:
            text = &file.finalPath;
            break;
        default:
            break;
    }
    const std::size_t n = text == nullptr ? 0 : std::min(text->size(), kEngineTextSize - 1);
    if (n > 0) {
        std::memcpy(buffer, text->data(), n);
    }
    buffer[n] = '\0';
    return 0;
}

std::int32_t TWorkWithPieces::BitfieldSize() {
    LockGuard guard(&ThreadLock(), true);
    return static_cast<std::int32_t>(publishedBitfield_.size());
}

std::int32_t TWorkWithPieces::CopyBitfield(void* buffer, std::int32_t size) {
    if (buffer == nullptr || size <= 0) {
        return 0;
    }
    LockGuard guard(&ThreadLock(), true);
    const std::size_t n = std::min(static_cast<std::size_t>(size), publishedBitfield_.size());
    if (n > 0) {
        std::memcpy(buffer, publishedBitfield_.data(), n);
    }
    const std::int64_t bits = static_cast<std::int64_t>(publishedBitfield_.size()) * 8;
    return static_cast<std::int32_t>(std::min<std::int64_t>(bits, published_.pieceCount));
}

// ---- reads for other threads ------------------------------------------------------------

std::int32_t TWorkWithPieces::ReadRange(std::int32_t fileIndex, void* buffer, std::uint64_t offset,
                                        std::int32_t length, std::int32_t needed) {
    return reads_.Read(fileIndex, buffer, offset, length, needed,
                       [this] { return IsRunning() && !StopRequested(); });
}

void TWorkWithPieces::ServeReadRequests() {
    if (pieces_ == nullptr || pieces_->PieceLength() <= 0) {
        return;
    }
    reads_.Serve([this](ReadRequest& r) { ServeRead(r); });
}

void TWorkWithPieces::ServeRead(ReadRequest& r) {
    TPieces& map = *pieces_;
    const auto& files = map.Storage().Files();
    r.status = kReadFailed;
    if (r.fileIndex < 0 || static_cast<std::size_t>(r.fileIndex) >= files.size() || r.length <= 0 ||
        r.offset > files[static_cast<std::size_t>(r.fileIndex)].length ||
        static_cast<std::uint64_t>(r.length) >
            files[static_cast<std::size_t>(r.fileIndex)].length - r.offset) {
        return;
    }
    const auto pieceLength = static_cast<std::uint64_t>(map.PieceLength());
    const std::uint64_t start = files[static_cast<std::size_t>(r.fileIndex)].offset + r.offset;
    const std::uint64_t end = start + static_cast<std::uint64_t>(r.length);
    const auto first = static_cast<std::int32_t>(start / pieceLength);
    const auto last = static_cast<std::int32_t>((end - 1) / pieceLength);
    frontier_ = first;
    r.result = 0;
    const std::int64_t neededPieces =
        r.needed <= 0
            ? 0
            : (static_cast<std::int64_t>(r.needed) + map.PieceLength() - 1) / map.PieceLength();
    for (std::int64_t k = 0; k < neededPieces; ++k) {
        const std::int64_t piece = first + k;
        if (piece < map.PieceCount() && !map.Have(static_cast<std::int32_t>(piece))) {
            return;
        }
    }
    for (std::int32_t piece = first; piece <= last; ++piece) {
        const std::uint64_t pieceStart = map.PieceOffset(piece);
        const auto from = static_cast<std::int32_t>(piece == first ? start - pieceStart : 0);
        const auto to = static_cast<std::int32_t>(
            piece == last ? end - pieceStart : static_cast<std::uint64_t>(map.PieceSize(piece)));
        const std::int32_t got = map.ReadPiece(piece, from, to - from, r.buffer + r.result);
        if (got > 0) {
            r.result += got;
        }
        if (got < to - from) {
            r.status = r.result > 0 ? kReadDone : kReadFailed;
            return;
        }
    }
    r.status = kReadDone;
}

}  // namespace koruvan::engine
