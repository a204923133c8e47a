// Owning handles for the pooled buffers of the piece layer: 16 KiB block buffers and whole
// piece buffers, taken from the process-wide pools and given back when dropped.
#pragma once

#include "engine/peers/BlockRequest.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace koruvan::engine {

struct BlockReturn {
    void operator()(std::uint8_t* block) const noexcept;
};
// A block buffer of kBlockSize bytes that goes back to the block pool when dropped.
using BlockBuffer = std::unique_ptr<std::uint8_t[], BlockReturn>;

// A block buffer from the pool; null only when memory is exhausted.
[[nodiscard]] BlockBuffer TakeBlockBuffer() noexcept;

// A buffer for a whole piece (reads and checks) from the piece-buffer pool.
class PieceBuffer {
  public:
    PieceBuffer() = default;
    ~PieceBuffer();
    PieceBuffer(const PieceBuffer&) = delete;
    PieceBuffer& operator=(const PieceBuffer&) = delete;

    // Holds at least `bytes` afterwards; false when memory is exhausted.
    [[nodiscard]] bool Reserve(std::size_t bytes) noexcept;
    [[nodiscard]] std::uint8_t* Data() noexcept { return data_; }

  private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// Gives the idle piece buffers back to the system (after a check of the files on disk).
void TrimPieceBuffers() noexcept;

}  // namespace koruvan::engine
