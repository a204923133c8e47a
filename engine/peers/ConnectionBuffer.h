// The growable send or receive buffer of one connection, taken from the socket buffer pool.
// The byte after the used ones is always 0, so received text can be searched as a string.
// Not thread-safe: a buffer belongs to its connection's thread.
#pragma once

#include <cstdint>

#include "engine/peers/BufferPool.h"

namespace koruvan::engine {

class ConnectionBuffer {
  public:
    // Bytes added on top of the asked-for room when a buffer grows.
    static constexpr std::int32_t kGrowthMargin = 2048;
    // Upper bound of one buffer; a connection asking for more is refused, not overflowed.
    static constexpr std::int32_t kMaxCapacity = 64 * 1024 * 1024;

    explicit ConnectionBuffer(TBufferPool& pool = SocketBufferPool()) noexcept : pool_(&pool) {}
    ~ConnectionBuffer() { Release(); }
    ConnectionBuffer(const ConnectionBuffer&) = delete;
    ConnectionBuffer& operator=(const ConnectionBuffer&) = delete;

    // The bytes; a constant empty text while no block is held.
    [[nodiscard]] const std::uint8_t* Data() const noexcept;
    [[nodiscard]] std::uint8_t* End() noexcept { return data_ + used_; }
    [[nodiscard]] std::int32_t Used() const noexcept { return used_; }
    [[nodiscard]] std::int32_t Capacity() const noexcept { return capacity_; }

    // Makes room for `room` more bytes; when fewer are free the buffer grows to
    // used + room + 2048. False when that would pass kMaxCapacity or memory runs out.
    [[nodiscard]] bool MakeRoom(std::int32_t room) noexcept;
    // Appends n bytes (growing by the rule above).
    [[nodiscard]] bool Append(const std::uint8_t* bytes, std::int32_t n) noexcept;
    // Counts n bytes written at End() (at most the free room).
    void Commit(std::int32_t n) noexcept;
    // Drops n bytes from the front (all when n < 0 or n >= Used()) and tidies: an emptied
    // buffer goes back to the pool; a mostly unused one moves to a smaller block (capacity
    // >= 4097 and at least six times the rest: rest + 1024, at least 1024; or 2101249 or
    // more bytes unused with at most 21012479 left: rest + rest / 10); otherwise the rest
    // only moves to the front. keepBlock skips the tidying and only moves the bytes.
    void RemoveFront(std::int32_t n, bool keepBlock) noexcept;
    // Gives the block back to the pool.
    void Release() noexcept;

  private:
    // Moves the used bytes from offset `from` into a new block of `capacity` bytes.
    [[nodiscard]] bool MoveTo(std::int32_t capacity, std::int32_t from) noexcept;

    TBufferPool* pool_;
    std::uint8_t* data_ = nullptr;
    std::int32_t used_ = 0;
    std::int32_t capacity_ = 0;  // the size asked of the pool (the block may be larger)
};

}  // namespace koruvan::engine
