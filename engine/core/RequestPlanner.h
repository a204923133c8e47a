// Block requests of the BitTorrent peers, as far as the task keeps them: the shared request
// pool (requests a peer gave up or could not send yet, handed to other peers), the list of
// pieces requested from peers (a piece may be listed more than once near the end), the
// endgame flag, the start piece of a peer's scan, and the HAVE messages that announce new
// pieces.
//
// Not thread-safe: used by the task thread only.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/peers/BlockRequest.h"

namespace koruvan::engine {

class TPieces;

class RequestPlanner {
  public:
    static constexpr std::int32_t kDefaultPick = 16;

    // Requests a peer gave up go to the front, in their order, so others take them first.
    void ReturnToPool(std::span<const BlockRequest> requests);
    // A request a peer planned beyond what it may have outstanding.
    void AddToPool(const BlockRequest& request);
    [[nodiscard]] bool PoolHolds(std::int32_t block, std::int32_t length) const noexcept;
    // Removes one matching record; false when there is none.
    bool TakeFromPool(std::int32_t block, std::int32_t length) noexcept;
    [[nodiscard]] const std::vector<BlockRequest>& Pool() const noexcept { return pool_; }

    // Moves the pooled requests of one piece the peer has (and that is neither excluded nor
    // unwanted) into `out`, up to `max` entries (16 when max <= 0). True when a piece was
    // chosen and `out` is not empty.
    bool PickBlocks(std::vector<BlockRequest>& out, std::span<const std::uint8_t> peerBitfield,
                    std::int32_t max, std::span<const std::int32_t> exclude, const TPieces& pieces);
    // Every fourth maintenance round: an oversized pool is sorted by block; once every
    // piece is done the pool is emptied.
    void Upkeep(const TPieces& pieces, std::int32_t pieceLength);
    // Frees the pooled requests of pieces that are complete.
    void DropCompleted(const TPieces& pieces);

    // Endgame: at least as many requested-list entries as pieces are missing.
    bool UpdateEndgame(std::int32_t missingPieces) noexcept;
    [[nodiscard]] bool Endgame() const noexcept { return endgame_; }
    [[nodiscard]] bool EndgameReached() const noexcept { return endgameReached_; }
    // Whether a peer may request `piece` now.
    bool WantsPiece(std::int32_t piece, const TPieces& pieces);
    // add: list the piece once more if allowed (false when refused); cancel: forget the
    // piece's progress (unless stopping, or in endgame with more than 3 pieces missing) and
    // drop all its entries; otherwise drop one entry.
    bool MarkRequested(std::int32_t piece, bool add, bool cancel, std::int32_t connectedPeers,
                       bool stopping, TPieces& pieces);
    // A written piece leaves the requested list.
    void Forget(std::int32_t piece);
    // A piece nobody fetches any longer (its data failed the check) leaves the requested
    // list, so that any peer may take it again at once.
    void Reoffer(std::int32_t piece);
    // Counts the pieces given back (MarkRequested's removals, Reoffer): a peer that found
    // nothing to take looks again when it moved.
    [[nodiscard]] std::uint32_t OfferSerial() const noexcept { return offerSerial_; }
    [[nodiscard]] std::int32_t TimesRequested(std::int32_t piece) const noexcept;

    void Reset();

  private:
    std::vector<BlockRequest> pool_;
    std::vector<std::int32_t> requested_;
    bool endgame_ = false;
    bool endgameReached_ = false;
    std::uint32_t offerSerial_ = 0;
};

// Where a peer starts scanning for pieces: pseudo-random among the first 20 × done + 6
// pieces (shifted by the pieces done when more than one is), 0 without random start.
[[nodiscard]] std::int32_t RandomStartPiece(bool randomStart, std::int32_t pieceCount,
                                            std::int32_t piecesDone, std::uint32_t tick) noexcept;

// BitTorrent HAVE messages (length 5, id 4, piece index; big-endian) for `pieces`, in
// batches of at most kHaveBatch messages each.
inline constexpr std::size_t kHaveBatch = 4097;
[[nodiscard]] std::vector<std::string> BuildHaveBatches(const std::vector<std::int32_t>& pieces);

}  // namespace koruvan::engine
