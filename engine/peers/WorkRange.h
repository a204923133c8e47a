// A work range of a web source: a run of consecutive pieces one HTTP or FTP connection
// fetches with long range requests, and what the range rules need from that connection.
// The task keeps the list (WorkRanges); the peers fill the ranges.
#pragma once

#include <cstdint>

namespace koruvan::engine {

class TPeerId;

// What the range rules need from a web-source connection (implemented by the peer classes).
class RangeWorker {
  public:
    // Download rate over the last evaluation, bytes per second.
    [[nodiscard]] virtual std::int32_t Rate() const = 0;
    // The last piece this connection worked on, -1 when none.
    [[nodiscard]] virtual std::int32_t LastPiece() const = 0;
    // Whether it has taken a range before.
    [[nodiscard]] virtual bool HasTakenRange() const = 0;
    // The web source it belongs to (may be null).
    [[nodiscard]] virtual TPeerId* Source() const = 0;
    // Lets go of the range it holds: clears the range's owner and holds none afterwards.
    virtual void ReleaseRange() = 0;

  protected:
    ~RangeWorker() = default;
};

struct WorkRange {
    std::int32_t first = 0;
    std::int32_t last = 0;
    std::int32_t current = 0;
    bool done = false;
    bool busy = false;
    bool restart = false;          // given up by its connection while pieces were still wanted
    bool splitOff = false;         // cut out of another range by a BitTorrent peer (not listed)
    std::int64_t changeTime = 0;   // task clock, seconds
    TPeerId* source = nullptr;     // the web source it was laid out for (counted)
    RangeWorker* owner = nullptr;  // the connection working on it

    [[nodiscard]] bool Free() const noexcept { return owner == nullptr && !done && !busy; }
};

}  // namespace koruvan::engine
