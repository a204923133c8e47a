// Checks of data already on disk: the re-check of target data that no resume record vouches
// for, and the trust-existing-files check that takes complete files as they are.
#include <cstring>

#include "engine/core/TPieces.h"
#include "platform/Paths.h"

namespace koruvan::engine {
namespace {

// Pieces checked between two progress refreshes.
constexpr std::int32_t kCheckRefreshPieces = 8;

}  // namespace

bool TPieces::AnyTargetData() const {
    for (const TargetFile& f : storage_.Files()) {
        const auto size = platform::FileSize(f.path);
        if (size && *size > 0) {
            return true;
        }
    }
    return false;
}

void TPieces::RecheckExistingData() {
    const auto& files = storage_.Files();
    std::vector<std::uint64_t> sizes;
    sizes.reserve(files.size());
    for (const TargetFile& f : files) {
        sizes.push_back(platform::FileSize(f.path).value_or(0));
    }
    PieceBuffer buffer;
    if (!buffer.Reserve(static_cast<std::size_t>(pieceLength_))) {
        checkInterrupted_ = true;
        return;
    }
    for (std::int32_t i = 0; i < pieceCount_; ++i) {
        if (i % kCheckRefreshPieces == 0 && host_.CheckStopAndRefresh()) {
            // The rest was not looked at: no record may describe this state.
            checkInterrupted_ = true;
            return;
        }
        const std::uint64_t start = PieceOffset(i);
        const std::uint64_t end = start + static_cast<std::uint64_t>(PieceSize(i));
        bool present = true;
        for (std::size_t k = 0; present && k < files.size(); ++k) {
            const TargetFile& f = files[k];
            if (f.length > 0 && f.offset < end && f.offset + f.length > start) {
                present = sizes[k] >= std::min(end, f.offset + f.length) - f.offset;
            }
        }
        if (!present) {
            continue;
        }
        const auto size = static_cast<std::size_t>(PieceSize(i));
        if (storage_.Read(start, buffer.Data(), size) != size) {
            continue;
        }
        const Sha1State::Digest digest = Sha1State::Of(buffer.Data(), size);
        if (std::memcmp(digest.data(), pieces_[static_cast<std::size_t>(i)].ExpectedHash(),
                        digest.size()) == 0) {
            MarkHaveQuietly(i);
        }
    }
}

bool TPieces::CheckExistingFiles() {
    if (host_.StopRequested()) {
        return false;
    }
    bytesOnDisk_ = 0;
    for (const TargetFile& f : storage_.Files()) {
        if (f.length == 0) {
            continue;
        }
        EngineFile probe;
        const auto size = probe.Open(f.path, true) ? probe.Size() : std::nullopt;
        if (!size || *size != f.length) {
            continue;
        }
        bytesOnDisk_ += f.length;
        if (f.index % 100 == 0 && host_.CheckStopAndRefresh()) {
            break;
        }
    }
    if (bytesOnDisk_ != totalSize_) {
        return false;
    }
    // Complete files are taken as they are, after reading the first, last and middle piece
    // to make sure the data can be read at all.
    PieceBuffer buffer;
    if (!buffer.Reserve(static_cast<std::size_t>(pieceLength_))) {
        return false;
    }
    bool first = true;
    for (const std::int32_t i : {0, pieceCount_ - 1, pieceCount_ / 2}) {
        if (first || i != 0) {
            first = false;
            const auto size = static_cast<std::size_t>(PieceSize(i));
            if (storage_.Read(PieceOffset(i), buffer.Data(), size) != size) {
                return false;
            }
        }
    }
    for (std::int32_t i = 0; i < pieceCount_; ++i) {
        MarkHaveQuietly(i);
    }
    bytesDone_ = totalSize_;
    host_.OnPieceEvent(kEventBitfieldReset, 0, 0, nullptr);
    return !host_.CheckStopAndRefresh();
}

}  // namespace koruvan::engine
