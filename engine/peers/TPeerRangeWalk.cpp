// The web-source range walk: which piece a web-source connection fetches next, inside the
// work range it holds, from a freshly assigned range, from a fresh run when every range is
// done, or from a range started at the download frontier.
#include <memory>

#include "engine/peers/TPeerObject.h"

namespace koruvan::engine {

bool TPeerObject::WantedUnrequested(std::int32_t piece) const {
    return task_->PieceWanted(piece) && !HasRequestInPiece(piece);
}

bool TPeerObject::RangeStillWanted(const WorkRange& range) const {
    for (std::int32_t p = range.first; p <= range.last; ++p) {
        if (WantedUnrequested(p)) {
            return true;
        }
    }
    return false;
}

void TPeerObject::FinishRange() {
    WorkRange* range = range_;
    range_ = nullptr;
    range->done = true;
    range->owner = nullptr;
    range->restart = RangeStillWanted(*range);
    if (!range->restart) {
        task_->RemoveRange(range);
    }
}

std::int32_t TPeerObject::NextPiece() {
    if (task_->PieceCount() <= 0) {
        return -1;
    }
    if (task_->RangeCount() == 0) {
        task_->EnsureRanges();
    }
    if (range_ != nullptr) {
        for (std::int32_t p = record_.currentPiece + 1; p <= range_->last; ++p) {
            if (p >= range_->first && WantedUnrequested(p)) {
                record_.currentPiece = p;
                return p;
            }
        }
        if (!range_->done) {
            FinishRange();
        } else {
            range_ = nullptr;
        }
    }
    return NextPieceInRange(3);
}

std::int32_t TPeerObject::NextPieceInRange(std::int32_t tries) {
    if (tries - 1 < 0) {
        return -1;
    }
    WorkRange* range = task_->AssignRange(*this);
    if (range == nullptr) {
        if (task_->Complete()) {
            return -1;
        }
        const std::int32_t fresh = TakeFreshRange();
        record_.currentPiece = fresh;
        return fresh;
    }
    range_ = range;
    range->owner = this;
    ++record_.rangesTaken;
    if (range->current > range->first && WantedUnrequested(range->current - 1)) {
        --range->current;
    }
    if (range->restart) {
        range->current = range->first;
        range->restart = false;
        range->done = false;
    }
    for (std::int32_t p = range->current; p <= range->last; ++p) {
        if (WantedUnrequested(p)) {
            range->current = p;
            record_.currentPiece = p;
            return p;
        }
    }
    range_ = nullptr;
    task_->RemoveRange(range);
    return NextPieceInRange(tries - 1);
}

std::int32_t TPeerObject::TakeFreshRange() {
    for (std::size_t i = 0; i < task_->RangeCount(); ++i) {
        const WorkRange* r = task_->RangeAt(i);
        if (r != nullptr && !r->done) {
            return -1;
        }
    }
    const std::int32_t count = task_->PieceCount();
    std::int32_t start = 0;
    while (start < count && !WantedUnrequested(start)) {
        ++start;
    }
    if (start >= count) {
        return -1;
    }
    std::int32_t end = start;
    while (end + 1 < count && WantedUnrequested(end + 1)) {
        ++end;
    }
    auto range = std::make_unique<WorkRange>();
    range->first = range->current = start;
    range->last = end;
    range->changeTime = task_->PeerClock();
    range->owner = this;
    range_ = task_->AppendRange(std::move(range));
    ++record_.rangesTaken;
    return range_ != nullptr ? start : -1;
}

std::int32_t TPeerObject::JumpToFrontier() {
    const std::int32_t frontier = task_->DownloadFrontier();
    for (std::size_t i = 0; i < task_->RangeCount(); ++i) {
        WorkRange* old = task_->RangeAt(i);
        if (old == nullptr || old->done || old->splitOff || frontier < old->first ||
            frontier > old->last) {
            continue;
        }
        auto range = std::make_unique<WorkRange>();
        range->first = range->current = frontier;
        range->last = old->last;
        range->changeTime = task_->PeerClock();
        range->owner = this;
        old->last = std::max(frontier - 1, old->first);
        old->changeTime = task_->PeerClock();
        range_ = task_->AppendRange(std::move(range));
        ++record_.rangesTaken;
        return range_ != nullptr ? frontier : -1;
    }
    return -1;
}

void TPeerObject::ReleaseRange() {
    if (range_ == nullptr) {
        return;
    }
    WorkRange* range = range_;
    range_ = nullptr;
    if (range->splitOff) {
        // A run cut out of another range: dissolved; it is in no list.
        delete range;
        return;
    }
    requests_.clear();
    if (range->owner == this) {
        range->owner = nullptr;
    }
}

bool TPeerObject::CheckRangeEnd() {
    if (range_ == nullptr || range_->current != range_->last || task_->PieceWanted(range_->last)) {
        return false;
    }
    requests_.clear();
    FinishRange();
    return true;
}

bool TPeerObject::CheckFinished() {
    if (transferState_ == kTransferFinished || (requests_.empty() && task_->PieceCount() > 0)) {
        transferState_ = kTransferFinished;
        return true;
    }
    return false;
}

}  // namespace koruvan::engine
