// Work ranges of the web sources: runs of consecutive pieces that one HTTP or FTP connection
// fetches with long range requests. The task lays them out over its usable web sources and
// hands them to connections that ask for work, taking over stalled ranges and splitting the
// slowest one for a new connection.
//
// Not thread-safe: used by the task thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engine/peers/WorkRange.h"

namespace koruvan::engine {

// What range assignment reads from the task at the moment of the request.
struct RangeContext {
    std::int32_t pieceLength = 0;
    std::int32_t missingPieces = 0;
    std::function<bool(std::int32_t)> wanted;
    std::int64_t now = 0;    // task clock, seconds
    std::uint32_t tick = 0;  // tick count, for the pseudo-random start
};

class WorkRanges {
  public:
    // Seconds a range may sit without progress before another connection takes it over.
    static constexpr std::int64_t kStallSeconds = 10;

    WorkRanges() = default;
    ~WorkRanges();
    WorkRanges(const WorkRanges&) = delete;
    WorkRanges& operator=(const WorkRanges&) = delete;

    // Splits `pieceCount` pieces over the sources (in order) and each source's segment
    // into ranges of at least five pieces where possible, one per connection; lowers each
    // source's connection count to its number of ranges.
    void Layout(const std::vector<TPeerId*>& sources, std::int32_t pieceCount, std::int64_t now);
    // A range for `peer`, or null when none can be given.
    [[nodiscard]] WorkRange* Assign(RangeWorker& peer, const RangeContext& context);
    // Appends a range made by a connection (fresh runs, frontier jumps); the list owns it.
    WorkRange* Append(std::unique_ptr<WorkRange> range);
    // Removes and deletes a listed range.
    void Remove(WorkRange* range);
    void Clear();

    [[nodiscard]] std::size_t Count() const noexcept { return ranges_.size(); }
    [[nodiscard]] WorkRange* At(std::size_t i) const noexcept {
        return i < ranges_.size() ? ranges_[i].get() : nullptr;
    }

  private:
    WorkRange* Take(WorkRange& range, RangeWorker& peer, std::int64_t now);
    [[nodiscard]] WorkRange* ChooseToSplit(const RangeWorker& peer, const RangeContext& context,
                                           bool relaxed) const;
    WorkRange* Split(WorkRange& range, RangeWorker& peer, const RangeContext& context);

    std::vector<std::unique_ptr<WorkRange>> ranges_;
};

}  // namespace koruvan::engine
