#include "engine/core/RequestPlanner.h"

#include <algorithm>

#include "engine/core/TPieces.h"

namespace koruvan::engine {
namespace {

bool PeerHas(std::span<const std::uint8_t> bits, std::int32_t piece) noexcept {
    const auto byte = static_cast<std::size_t>(piece) / 8;
    return piece >= 0 && byte < bits.size() && (bits[byte] & (0x80u >> (piece % 8))) != 0;
}

}  // namespace

void RequestPlanner::ReturnToPool(std::span<const BlockRequest> requests) {
    pool_.insert(pool_.begin(), requests.begin(), requests.end());
}

void RequestPlanner::AddToPool(const BlockRequest& request) {
    pool_.push_back(request);
}

bool RequestPlanner::PoolHolds(std::int32_t block, std::int32_t length) const noexcept {
    return std::any_of(pool_.begin(), pool_.end(), [&](const BlockRequest& r) {
        return r.block == block && r.length == length;
    });
}

bool RequestPlanner::TakeFromPool(std::int32_t block, std::int32_t length) noexcept {
    const auto it = std::find_if(pool_.begin(), pool_.end(), [&](const BlockRequest& r) {
        return r.block == block && r.length == length;
    });
    if (it == pool_.end()) {
        return false;
    }
    pool_.erase(it);
    return true;
}

bool RequestPlanner::PickBlocks(std::vector<BlockRequest>& out,
                                std::span<const std::uint8_t> peerBitfield, std::int32_t max,
                                std::span<const std::int32_t> exclude, const TPieces& pieces) {
    std::int32_t chosen = -1;
    std::int32_t previous = -2;
    for (const BlockRequest& r : pool_) {
        const std::int32_t piece = pieces.PieceOfBlock(r.block);
        if (piece == previous) {
            continue;  // this piece already failed the test
        }
        previous = piece;
        if (PeerHas(peerBitfield, piece) &&
            std::find(exclude.begin(), exclude.end(), piece) == exclude.end() &&
            pieces.Wanted(piece)) {
            chosen = piece;
            break;
        }
    }
    if (chosen < 0) {
        return false;
    }
    const std::size_t limit = static_cast<std::size_t>(max <= 0 ? kDefaultPick : max);
    auto keep = pool_.begin();
    for (auto it = pool_.begin(); it != pool_.end(); ++it) {
        const bool move = out.size() < limit && pieces.PieceOfBlock(it->block) == chosen &&
                          std::find_if(out.begin(), out.end(), [&](const BlockRequest& r) {
                              return r.block == it->block && r.length == it->length;
                          }) == out.end();
        if (move) {
            out.push_back(*it);
        } else {
            *keep++ = *it;
        }
    }
    pool_.erase(keep, pool_.end());
    return !out.empty();
}

void RequestPlanner::Upkeep(const TPieces& pieces, std::int32_t pieceLength) {
    const auto oversized =
        static_cast<std::size_t>(std::max(pieceLength, 0) / kBlockSize) * 64 + 64;
    if (!endgame_ && pool_.size() > oversized) {
        std::sort(pool_.begin(), pool_.end(),
                  [](const BlockRequest& a, const BlockRequest& b) { return a.block < b.block; });
        return;
    }
    if (pieces.AllDone() && !pool_.empty()) {
        pool_.clear();
        pool_.shrink_to_fit();
    }
}

void RequestPlanner::DropCompleted(const TPieces& pieces) {
    pool_.erase(std::remove_if(pool_.begin(), pool_.end(),
                               [&](const BlockRequest& r) {
                                   return pieces.Have(pieces.PieceOfBlock(r.block));
                               }),
                pool_.end());
}

bool RequestPlanner::UpdateEndgame(std::int32_t missingPieces) noexcept {
    endgame_ = static_cast<std::int64_t>(requested_.size()) >= missingPieces;
    endgameReached_ = endgameReached_ || endgame_;
    return endgame_;
}

bool RequestPlanner::WantsPiece(std::int32_t piece, const TPieces& pieces) {
    if (!pieces.Wanted(piece)) {
        return false;
    }
    if (UpdateEndgame(pieces.PieceCount() - pieces.PiecesDone())) {
        return true;
    }
    return TimesRequested(piece) == 0;
}

bool RequestPlanner::MarkRequested(std::int32_t piece, bool add, bool cancel,
                                   std::int32_t connectedPeers, bool stopping, TPieces& pieces) {
    const std::int32_t missing = pieces.PieceCount() - pieces.PiecesDone();
    if (add) {
        const std::int32_t allowed = std::max(std::max(connectedPeers / 3, 64) - missing, 1);
        if (TimesRequested(piece) >= allowed) {
            return false;
        }
        requested_.push_back(piece);
        return true;
    }
    if (cancel) {
        if (!stopping && (!endgame_ || missing <= 3)) {
            pieces.ResetPiece(piece);
        }
        Forget(piece);
        return true;
    }
    const auto it = std::find(requested_.begin(), requested_.end(), piece);
    if (it != requested_.end()) {
        requested_.erase(it);
        ++offerSerial_;
    }
    return true;
}

void RequestPlanner::Forget(std::int32_t piece) {
    requested_.erase(std::remove(requested_.begin(), requested_.end(), piece), requested_.end());
}

void RequestPlanner::Reoffer(std::int32_t piece) {
    Forget(piece);
    ++offerSerial_;
}

std::int32_t RequestPlanner::TimesRequested(std::int32_t piece) const noexcept {
    return static_cast<std::int32_t>(std::count(requested_.begin(), requested_.end(), piece));
}

void RequestPlanner::Reset() {
    pool_.clear();
    pool_.shrink_to_fit();
    requested_.clear();
    endgame_ = false;
    endgameReached_ = false;
}

std::int32_t RandomStartPiece(bool randomStart, std::int32_t pieceCount, std::int32_t piecesDone,
                              std::uint32_t tick) noexcept {
    if (!randomStart || pieceCount <= 0) {
        return 0;
    }
    const std::uint64_t span = 20ull * static_cast<std::uint64_t>(std::max(piecesDone, 0)) + 6;
    std::uint64_t r = (tick % span) % static_cast<std::uint64_t>(pieceCount);
    if (piecesDone > 1) {
        r = (r + static_cast<std::uint64_t>(piecesDone)) % static_cast<std::uint64_t>(pieceCount);
    }
    return static_cast<std::int32_t>(r);
}

std::vector<std::string> BuildHaveBatches(const std::vector<std::int32_t>& pieces) {
    std::vector<std::string> batches;
    for (std::size_t i = 0; i < pieces.size(); i += kHaveBatch) {
        const std::size_t n = std::min(kHaveBatch, pieces.size() - i);
        std::string batch;
        batch.reserve(n * 9);
        for (std::size_t k = 0; k < n; ++k) {
            const auto piece = static_cast<std::uint32_t>(pieces[i + k]);
            const char message[9] = {0,
                                     0,
                                     0,
                                     5,
                                     4,
                                     static_cast<char>(piece >> 24),
                                     static_cast<char>(piece >> 16),
                                     static_cast<char>(piece >> 8),
                                     static_cast<char>(piece)};
            batch.append(message, sizeof message);
        }
        batches.push_back(std::move(batch));
    }
    return batches;
}

}  // namespace koruvan::engine
