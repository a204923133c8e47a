// Process-wide pools of reusable memory blocks. Connections take their send and receive
// buffers from one, peers their 16 KiB block buffers and request records from others, the
// storage layer its piece buffers from a fourth. Each pool has its own lock, so threads of
// different tasks never wait on one another for long.
//
// Every block carries one extra byte past its size; the byte after the size asked for (and
// after the whole block) is zero when handed out, so a buffer filled to its size can still
// be read as a terminated text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <unordered_map>

namespace koruvan::engine {

struct BufferPoolTotals {
    std::size_t inUseBytes = 0;
    std::size_t freeBytes = 0;
    std::size_t inUseBlocks = 0;
    std::size_t freeBlocks = 0;
};

class TBufferPool {
  public:
    // slack: a free block is reused for a request of n bytes when it is exactly n bytes, or
    // larger by less than slack. idleLimit: when the free blocks exceed this many bytes after
    // a Give, the pool trims itself back to it (0: only explicit Trim calls free memory).
    TBufferPool(std::size_t slack, std::size_t idleLimit) noexcept
        : slack_(slack), idleLimit_(idleLimit) {}
    ~TBufferPool();
    TBufferPool(const TBufferPool&) = delete;
    TBufferPool& operator=(const TBufferPool&) = delete;

    // A block of at least n bytes (n < 1 counts as 1); its usable size goes to *size when
    // given. Null when memory runs out.
    [[nodiscard]] std::uint8_t* Take(std::size_t n, std::size_t* size = nullptr) noexcept;
    // Returns a block taken from this pool. Null, or a block this pool does not know as in
    // use (given twice, or from elsewhere), is ignored.
    void Give(void* block) noexcept;
    // Frees free blocks, largest first, until the free bytes total at most limit.
    void Trim(std::size_t limit) noexcept;
    [[nodiscard]] BufferPoolTotals Totals() const noexcept;

    std::size_t Slack() const noexcept { return slack_; }
    std::size_t IdleLimit() const noexcept { return idleLimit_; }

  private:
    void TrimLocked(std::size_t limit) noexcept;

    const std::size_t slack_;
    const std::size_t idleLimit_;
    mutable std::mutex lock_;
    std::unordered_map<void*, std::size_t> inUse_;  // guarded by lock_: block -> size
    std::multimap<std::size_t, void*> free_;        // guarded by lock_: size -> block
    std::size_t inUseBytes_ = 0;                    // guarded by lock_
    std::size_t freeBytes_ = 0;                     // guarded by lock_
};

// The process-wide pools (created on first use, never destroyed, so threads still running
// at exit can give their blocks back).
TBufferPool& SocketBufferPool() noexcept;   // connection send and receive buffers
TBufferPool& BlockBufferPool() noexcept;    // 16384-byte block buffers
TBufferPool& RequestRecordPool() noexcept;  // 12-byte block request records
TBufferPool& PieceBufferPool() noexcept;    // piece buffers; their owner trims them

// Sizes of the pools above, chosen for a downloader that keeps a few dozen connections with
// 256 KiB reads each: enough idle memory for every connection to find a buffer again after a
// reconnect, and far below the 64 MiB the whole process aims at.
inline constexpr std::size_t kSocketPoolSlack = 32 * 1024;
inline constexpr std::size_t kSocketPoolIdleLimit = 8 * 1024 * 1024;
inline constexpr std::size_t kBlockPoolSlack = 1;
inline constexpr std::size_t kBlockPoolIdleLimit = 4 * 1024 * 1024;
inline constexpr std::size_t kRequestPoolSlack = 1;
inline constexpr std::size_t kRequestPoolIdleLimit = 256 * 1024;
inline constexpr std::size_t kPiecePoolSlack = 1;

}  // namespace koruvan::engine
