#include "engine/core/TWorkWithPieces.h"

#include <algorithm>
#include <cstring>

#include "engine/core/base/LockGuard.h"

namespace koruvan::engine {

void TWorkWithPieces::Refresh() {
    // The piece map's counters are copied here once a piece layer exists; a task without
    // one has nothing newer than its working record.
}

void TWorkWithPieces::SetTorrentBlob(std::string data) {
    LockGuard guard(&ThreadLock(), true);
    torrent_.data = std::move(data);
    torrent_.dirty = true;
}

void TWorkWithPieces::OnPieceEvent(std::int32_t type, std::uint32_t /*flags*/, std::int32_t length,
                                   const void* data) {
    const auto bytes = [&] {
        return (data == nullptr || length <= 0)
                   ? std::string()
                   : std::string(static_cast<const char*>(data), static_cast<std::size_t>(length));
    };
    switch (type) {
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
            work_.stateCode = kStateDiskFull;
            publishPending_ = true;
            break;
        case kEventDiskAvailable:
            if (work_.stateCode == kStateDiskFull) {
                work_.stateCode = 0;
            }
            publishPending_ = true;
            break;
        case kEventOpenFailed:
            work_.stateCode = kStateWriteFailed;
            publishPending_ = true;
            RequestStop(nullptr);
            break;
        case kEventBitfieldReset:
        case kEventPublish:
            publishPending_ = true;
            break;
        default:
            break;
    }
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

bool TWorkWithPieces::BuildPieceLayer() {
    // Metainfo is turned into a piece layout by the piece map; without one the task learns
    // nothing from its torrent blob.
    hasMetainfo_ = false;
    return false;
}

void TWorkWithPieces::FlushAndCloseFiles(bool /*finishing*/) {
    // Target files exist only once a piece map has opened them.
}

void TWorkWithPieces::ResetPieces(bool dropContent) {
    newMetainfo_ = false;
    saveRequested_ = false;
    if (dropContent) {
        LockGuard guard(&ThreadLock(), true);
        torrent_ = {};
        seeds_ = {};
        bits_ = {};
        part_ = {};
        hasMetainfo_ = false;
        publishedBitfield_.clear();
        publishedFiles_.clear();
    }
}

}  // namespace koruvan::engine
