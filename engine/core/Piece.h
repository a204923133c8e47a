// One piece of a download: its state flags, the prefix already written and hashed, the
// running hash over that prefix, and the 16 KiB blocks received after it and held in
// memory until they can be written in order.
//
// Not thread-safe: owned by a piece map and used by its task thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/core/BlockBuffers.h"
#include "engine/core/Sha1State.h"

namespace koruvan::engine {

class TPeerId;

class Piece {
  public:
    Piece() = default;
    ~Piece();
    Piece(const Piece&) = delete;
    Piece& operator=(const Piece&) = delete;

    void Init(std::int32_t index, std::int32_t length, const std::uint8_t* expectedHash) noexcept;

    [[nodiscard]] std::int32_t Index() const noexcept { return index_; }
    [[nodiscard]] std::int32_t Length() const noexcept { return length_; }
    [[nodiscard]] std::int32_t BlockCount() const noexcept {
        return (length_ + kBlockSize - 1) / kBlockSize;
    }
    // Length of block `slot` of this piece (the last one may be shorter).
    [[nodiscard]] std::int32_t BlockLength(std::int32_t slot) const noexcept;
    [[nodiscard]] const std::uint8_t* ExpectedHash() const noexcept { return expected_; }

    // Block map.
    [[nodiscard]] bool HasBlock(std::int32_t slot) const noexcept;
    [[nodiscard]] const std::uint8_t* BlockData(std::int32_t slot) const noexcept;
    // Stores a copy of a whole block; false when there is no memory for it.
    [[nodiscard]] bool StoreBlock(std::int32_t slot, const std::uint8_t* data);
    void DropBlock(std::int32_t slot) noexcept;
    [[nodiscard]] std::int32_t BufferedBytes() const noexcept { return buffered_; }
    // Bytes buffered contiguously from the hashed prefix on.
    [[nodiscard]] std::int32_t ContiguousFromPrefix() const noexcept;
    // True when every byte after the hashed prefix is buffered.
    [[nodiscard]] bool CompleteInMemory() const noexcept {
        return buffered_ == length_ - hashedBytes_;
    }
    void ReleaseBuffers() noexcept;

    // Hashed prefix and running hash.
    [[nodiscard]] std::int32_t HashedBytes() const noexcept { return hashedBytes_; }
    [[nodiscard]] Sha1State* Hash() noexcept { return hash_.get(); }
    [[nodiscard]] const Sha1State* Hash() const noexcept { return hash_.get(); }
    // The running hash, created fresh when the piece has none yet.
    [[nodiscard]] Sha1State& EnsureHash();
    // Feeds `size` bytes that were just written into the running hash and moves the
    // prefix on.
    void AdvancePrefix(const std::uint8_t* data, std::int32_t size);
    // Takes up a stored prefix (resume record).
    void RestorePrefix(std::int32_t hashedBytes, const Sha1State& hash);

    // Back to empty: buffers released, prefix 0, no hash, flags clear.
    void Reset() noexcept;

    // Supplier of the data (counted reference).
    [[nodiscard]] TPeerId* Supplier() const noexcept { return supplier_; }
    // Records `peer` as supplier; a change releases the previous one and restarts the count.
    void SetSupplier(TPeerId* peer) noexcept;
    std::int32_t supplierBlocks = 0;

    bool busy = false;          // being written or read by the storage layer
    bool pending = false;       // complete in memory, waiting to be written
    bool verified = false;      // the complete piece matched its hash (or has none)
    std::uint32_t lastUse = 0;  // engine seconds

  private:
    std::int32_t index_ = 0;
    std::int32_t length_ = 0;
    const std::uint8_t* expected_ = nullptr;
    std::int32_t hashedBytes_ = 0;
    std::unique_ptr<Sha1State> hash_;
    std::vector<BlockBuffer> blocks_;  // one slot per block; empty while nothing is held
    std::int32_t buffered_ = 0;
    TPeerId* supplier_ = nullptr;
};

}  // namespace koruvan::engine
