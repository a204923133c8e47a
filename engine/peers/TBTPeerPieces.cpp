// Piece choice of a BitTorrent peer: the download frontier, runs cut from the tail of the
// web sources' work ranges (so that peers and web sources fill a file from opposite ends),
// the priority pieces and finally a scan over the whole download.
#include <algorithm>
#include <memory>

#include "engine/core/base/EngineClock.h"
#include "engine/peers/TBTPeer.h"

namespace koruvan::engine {

bool TBTPeer::Usable(std::int32_t piece) const {
    return RemoteHas(piece) && !IsExcluded(piece) && task_->PieceWanted(piece) &&
           !HasRequestInPiece(piece);
}

bool TBTPeer::Takeable(std::int32_t piece) {
    return Usable(piece) && bt_->WantsPiece(piece) && bt_->MarkTaken(piece);
}

std::int32_t TBTPeer::NextPiece() {
    const std::int32_t count = task_->PieceCount();
    if (!IsEstablished() || count <= 0 || !task_->P2PEnabled()) {
        return -1;
    }
    nothingToRequest_ = false;
    const std::int32_t frontier = task_->DownloadFrontier();
    for (std::int32_t p = std::max(frontier, 0); frontier >= 0 && p < count; ++p) {
        if (Takeable(p)) {
            return p;
        }
    }
    if (bt_->HasWebSources() && task_->RangeCount() == 0 && bt_->SecondsRunning() < 60) {
        return -1;  // the web sources lay their ranges out first
    }
    if (task_->RangeCount() > 0 || (range_ != nullptr && range_->splitOff)) {
        const std::int32_t stolen = StealFromRanges();
        if (stolen >= 0) {
            return stolen;
        }
    }
    for (const std::int32_t p : bt_->PriorityPieces()) {
        if (p >= 0 && p < count && Takeable(p)) {
            return p;
        }
    }
    const std::int32_t found = PickByFiles();
    if (found >= 0) {
        return found;
    }
    if (starvedSince_ == 0) {
        starvedSince_ = task_->PeerClock();
    }
    nothingToRequest_ = true;
    offerSerial_ = bt_->OfferSerial();
    return -1;
}

// Steps down through this peer's run; at its first piece the run ends and another is cut.
std::int32_t TBTPeer::StealFromRanges() {
    if (range_ != nullptr && range_->splitOff) {
        while (range_->current > range_->first) {
            const std::int32_t p = --range_->current;
            if (Usable(p)) {  // the run's pieces are marked taken already
                return p;
            }
            if (!HasRequestInPiece(p)) {
                bt_->Untake(p);  // not to be had from this remote: others may take it
            }
        }
        range_->done = true;
        ReleaseRange();  // a split-off run is deleted
    }
    if (range_ == nullptr) {
        const std::size_t ranges = task_->RangeCount();
        const std::size_t start = ranges > 0 ? TickCount() % ranges : 0;
        for (std::size_t n = 0; n < ranges; ++n) {
            WorkRange* source = task_->RangeAt((start + n) % ranges);
            if (source == nullptr || source->done || source->splitOff) {
                continue;
            }
            const std::int32_t high = CutRun(*source);
            if (high >= 0) {
                return high;
            }
        }
    }
    return ScanRangesForPiece();
}

std::int32_t TBTPeer::CutRun(WorkRange& source) {
    const std::int32_t floor = source.owner != nullptr ? source.current + 1 : source.current;
    std::int32_t high = -1;
    std::int32_t low = -1;
    const std::int64_t pieceLength = task_->PieceLength();
    const auto blocks = [&]() {
        return high < 0 ? 0 : pieceLength * (high - low + 1) / kBlockSize;
    };
    for (std::int32_t p = source.last; p >= floor; --p) {
        // Only pieces nobody has taken: a run is this peer's alone.
        if (Usable(p) && bt_->WantsPiece(p)) {
            if (high < 0) {
                high = p;
            }
            low = p;
        } else if (blocks() < kStealBlocks) {
            high = low = -1;
        } else {
            break;  // the run has its length: it ends here
        }
    }
    if (blocks() < kStealBlocks) {
        return -1;
    }
    for (std::int32_t p = high; p >= low; --p) {
        if (!bt_->MarkTaken(p)) {
            low = p + 1;  // the run ends above a piece it could not mark
            break;
        }
    }
    if (low > high) {
        return -1;
    }
    auto run = std::make_unique<WorkRange>();
    run->first = low;
    run->current = run->last = high;
    run->splitOff = true;
    run->owner = this;
    run->changeTime = task_->PeerClock();
    // The web source stops short of the run rather than fetching it twice.
    source.last = std::max(low - 1, source.current);
    source.changeTime = task_->PeerClock();
    range_ = run.release();
    ++record_.rangesTaken;
    return high;
}

void TBTPeer::ReleaseRange() {
    if (range_ != nullptr && range_->splitOff) {
        // The pieces below the one reached were marked taken when the run was cut, and the
        // web range gave them up: nobody would fetch them before the end game.
        for (std::int32_t p = range_->current - 1; p >= range_->first; --p) {
            bt_->Untake(p);
        }
    }
    TPeerObject::ReleaseRange();
}

// Any usable piece in the tail of a range that is still open.
std::int32_t TBTPeer::ScanRangesForPiece() {
    const std::size_t ranges = task_->RangeCount();
    const std::size_t start = ranges > 0 ? TickCount() % ranges : 0;
    for (std::size_t n = 0; n < ranges; ++n) {
        WorkRange* r = task_->RangeAt((start + n) % ranges);
        if (r == nullptr || (r->done && !r->restart) || r->splitOff) {
            continue;
        }
        const bool faster = r->owner != nullptr && counters_.downRate >= 3 * r->owner->Rate() &&
                            counters_.downRate > 0;
        const std::int32_t floor = r->owner != nullptr && !faster ? r->current + 1 : r->current;
        for (std::int32_t p = r->last; p >= floor; --p) {
            if (Takeable(p)) {
                return p;
            }
        }
    }
    return -1;
}

// The whole download from the remote's last announced piece, else from the task's start
// piece, wrapping round.
std::int32_t TBTPeer::PickByFiles() {
    const std::int32_t count = task_->PieceCount();
    if (have_.lastHave >= 0 && have_.lastHave < count && Takeable(have_.lastHave)) {
        return have_.lastHave;
    }
    const std::int32_t start = std::clamp(bt_->StartPiece(), 0, count - 1);
    for (std::int32_t n = 0; n < count; ++n) {
        const std::int32_t p = (start + n) % count;
        if (Takeable(p)) {
            return p;
        }
    }
    return -1;
}

}  // namespace koruvan::engine
