#include "engine/core/WorkRanges.h"

#include <algorithm>
#include <limits>

#include "engine/peers/TPeerId.h"

namespace koruvan::engine {
namespace {

constexpr std::int32_t kPiecesPerRange = 5;
constexpr std::int64_t kRelaxedAgeSeconds = 3;
constexpr std::int64_t kShortEstimateSeconds = 10;
constexpr std::int32_t kManyMissing = 4;

void SetSource(WorkRange& range, TPeerId* source) {
    if (source != nullptr) {
        source->AddRef();
    }
    if (range.source != nullptr) {
        range.source->Release();
    }
    range.source = source;
}

}  // namespace

WorkRanges::~WorkRanges() {
    Clear();
}

void WorkRanges::Clear() {
    for (auto& r : ranges_) {
        SetSource(*r, nullptr);
    }
    ranges_.clear();
}

void WorkRanges::Layout(const std::vector<TPeerId*>& sources, std::int32_t pieceCount,
                        std::int64_t now) {
    Clear();
    const auto n = static_cast<std::int32_t>(sources.size());
    if (n == 0 || pieceCount <= 0) {
        return;
    }
    for (std::int32_t k = 0; k < n && (n < pieceCount || k < pieceCount); ++k) {
        std::int32_t start = k;
        std::int32_t end = k;
        if (n < pieceCount) {
            const std::int32_t share = pieceCount / n;
            start = share * k;
            end = k == n - 1 ? pieceCount - 1 : share * (k + 1) - 1;
        }
        TPeerId* source = sources[static_cast<std::size_t>(k)];
        const std::int32_t length = end - start + 1;
        // A source that ignores byte ranges streams the file from its start: one range.
        const bool wholeFileOnly = source != nullptr && source->DetailsIfAny() != nullptr &&
                                   source->DetailsIfAny()->rangesIgnored;
        const std::int32_t connections =
            source != nullptr && !wholeFileOnly ? std::max(source->maxConnections, 1) : 1;
        const std::int32_t count = std::max(
            1, std::min({(length + kPiecesPerRange - 1) / kPiecesPerRange, connections, length}));
        const std::int32_t each = length / count;
        for (std::int32_t j = 0; j < count; ++j) {
            auto range = std::make_unique<WorkRange>();
            range->first = start + j * each;
            range->last = j == count - 1 ? end : range->first + each - 1;
            range->current = range->first;
            range->changeTime = now;
            SetSource(*range, source);
            ranges_.push_back(std::move(range));
        }
        if (source != nullptr) {
            source->maxConnections = count;
        }
    }
}

WorkRange* WorkRanges::Append(std::unique_ptr<WorkRange> range) {
    if (!range) {
        return nullptr;
    }
    if (range->source != nullptr) {
        range->source->AddRef();  // the list holds its own reference
    }
    ranges_.push_back(std::move(range));
    return ranges_.back().get();
}

void WorkRanges::Remove(WorkRange* range) {
    const auto it = std::find_if(ranges_.begin(), ranges_.end(),
                                 [range](const auto& r) { return r.get() == range; });
    if (it != ranges_.end()) {
        SetSource(**it, nullptr);
        ranges_.erase(it);
    }
}

WorkRange* WorkRanges::Take(WorkRange& range, RangeWorker& peer, std::int64_t now) {
    range.owner = &peer;
    range.changeTime = now;
    return &range;
}

WorkRange* WorkRanges::Assign(RangeWorker& peer, const RangeContext& context) {
    const std::int32_t last = peer.LastPiece();
    // 1. Continue right after the last piece this connection fetched.
    if (last >= 0) {
        for (auto& r : ranges_) {
            if (r->Free() && r->current == last + 1) {
                return Take(*r, peer, context.now);
            }
        }
    }
    // 2. Any free range, from a pseudo-random start.
    if (!ranges_.empty()) {
        const std::size_t start = context.tick % ranges_.size();
        for (std::size_t i = 0; i < ranges_.size(); ++i) {
            WorkRange& r = *ranges_[(start + i) % ranges_.size()];
            if (r.Free()) {
                return Take(r, peer, context.now);
            }
        }
    }
    // 3. A range given up for a restart, or one that has not moved for too long.
    for (auto& r : ranges_) {
        if (r->owner == nullptr && r->restart) {
            return Take(*r, peer, context.now);
        }
        if (r->owner != nullptr && r->owner != &peer && r->current == r->first && !r->restart &&
            !r->busy && !r->done && context.now - r->changeTime > kStallSeconds) {
            r->owner->ReleaseRange();
            return Take(*r, peer, context.now);
        }
    }
    // 4. Split the range that will take longest.
    WorkRange* busiest = ChooseToSplit(peer, context, false);
    if (busiest == nullptr && !peer.HasTakenRange()) {
        busiest = ChooseToSplit(peer, context, true);
    }
    return busiest != nullptr ? Split(*busiest, peer, context) : nullptr;
}

WorkRange* WorkRanges::ChooseToSplit(const RangeWorker& peer, const RangeContext& context,
                                     bool relaxed) const {
    const std::int64_t newRate = peer.Rate();
    WorkRange* best = nullptr;
    std::int64_t bestEstimate = -1;
    for (const auto& r : ranges_) {
        if (r->owner == nullptr || r->owner == &peer || r->done) {
            continue;
        }
        const std::int64_t ownerRate = r->owner->Rate();
        const std::int64_t remaining = static_cast<std::int64_t>(r->last) - r->current + 1;
        const std::int64_t age = context.now - r->changeTime;
        if (remaining <= 0 ||
            (age <= (relaxed ? kRelaxedAgeSeconds : kStallSeconds) && ownerRate == 0)) {
            continue;
        }
        if (remaining == 1 && (relaxed || (ownerRate != 0 && newRate < 2 * ownerRate))) {
            continue;
        }
        const std::int64_t estimate = ownerRate == 0 ? std::numeric_limits<std::int64_t>::max()
                                                     : remaining * context.pieceLength / ownerRate;
        if (estimate <= kShortEstimateSeconds && context.missingPieces >= kManyMissing) {
            continue;
        }
        if (estimate > bestEstimate) {
            bestEstimate = estimate;
            best = r.get();
        }
    }
    return best;
}

WorkRange* WorkRanges::Split(WorkRange& range, RangeWorker& peer, const RangeContext& context) {
    while (range.last > range.current && context.wanted && !context.wanted(range.last)) {
        --range.last;
    }
    const std::int64_t ownerRate = range.owner->Rate();
    const std::int64_t newRate = peer.Rate();
    const std::int64_t remaining = static_cast<std::int64_t>(range.last) - range.current + 1;
    std::int64_t share = 50;
    if (peer.HasTakenRange() && ownerRate + newRate > 0) {
        share = newRate * 100 / (ownerRate + newRate);
    }
    const bool muchFaster = ownerRate * 2 < newRate;
    if (share < 100 && muchFaster) {
        ++share;
    }
    std::int64_t tail = remaining > 1 ? remaining * share / 100 : 1;
    if (muchFaster && tail < remaining) {
        ++tail;
    }
    if (tail <= 0) {
        return nullptr;
    }
    auto piece = std::make_unique<WorkRange>();
    piece->first = static_cast<std::int32_t>(range.last - tail + 1);
    piece->current = piece->first;
    piece->last = range.last;
    piece->owner = &peer;
    piece->changeTime = context.now;
    SetSource(*piece, peer.Source());
    range.last = std::max(piece->first - 1, range.current);
    range.changeTime = context.now;
    // A stalled owner left with the very piece the newcomer starts on gives way to a much
    // faster connection.
    if (range.current == range.first && range.last == range.current && range.last == piece->first &&
        newRate >= 3 * ownerRate) {
        range.owner->ReleaseRange();
    }
    ranges_.push_back(std::move(piece));
    return ranges_.back().get();
}

}  // namespace koruvan::engine
