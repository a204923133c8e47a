#include "engine/core/BlockBuffers.h"

#include "engine/peers/BufferPool.h"

namespace koruvan::engine {

void BlockReturn::operator()(std::uint8_t* block) const noexcept {
    BlockBufferPool().Give(block);
}

BlockBuffer TakeBlockBuffer() noexcept {
    return BlockBuffer(BlockBufferPool().Take(kBlockSize));
}

PieceBuffer::~PieceBuffer() {
    PieceBufferPool().Give(data_);
}

bool PieceBuffer::Reserve(std::size_t bytes) noexcept {
    if (bytes <= size_ && data_ != nullptr) {
        return true;
    }
    PieceBufferPool().Give(data_);
    size_ = 0;
    data_ = PieceBufferPool().Take(bytes, &size_);
    return data_ != nullptr;
}

void TrimPieceBuffers() noexcept {
    PieceBufferPool().Trim(0);
}

}  // namespace koruvan::engine
