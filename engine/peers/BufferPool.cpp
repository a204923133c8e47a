#include "engine/peers/BufferPool.h"

#include <cstdlib>
#include <iterator>
#include <limits>

namespace koruvan::engine {

TBufferPool::~TBufferPool() {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& entry : free_) {
        std::free(entry.second);
    }
    // Blocks still in use belong to their holders; a pool that goes away first (only a
    // test's own pool can) leaves them allocated rather than pulling memory from under them.
    free_.clear();
}

std::uint8_t* TBufferPool::Take(std::size_t n, std::size_t* size) noexcept {
    if (n < 1) {
        n = 1;
    }
    if (n > std::numeric_limits<std::size_t>::max() / 2) {
        return nullptr;
    }
    try {
        std::lock_guard<std::mutex> guard(lock_);
        // Smallest free block of at least n bytes; it fits when the excess is below the slack.
        auto it = free_.lower_bound(n);
        if (it != free_.end() && (it->first == n || it->first - n < slack_)) {
            const std::size_t got = it->first;
            void* block = it->second;
            free_.erase(it);
            freeBytes_ -= got;
            inUse_.emplace(block, got);
            inUseBytes_ += got;
            // The zero byte sits after the size asked for, and after the whole block.
            static_cast<std::uint8_t*>(block)[n] = 0;
            static_cast<std::uint8_t*>(block)[got] = 0;
            if (size != nullptr) {
                *size = got;
            }
            return static_cast<std::uint8_t*>(block);
        }
        auto* block = static_cast<std::uint8_t*>(std::malloc(n + 1));
        if (block == nullptr) {
            return nullptr;
        }
        block[n] = 0;
        try {
            inUse_.emplace(block, n);
        } catch (...) {
            std::free(block);
            return nullptr;
        }
        inUseBytes_ += n;
        if (size != nullptr) {
            *size = n;
        }
        return block;
    } catch (...) {
        return nullptr;
    }
}

void TBufferPool::Give(void* block) noexcept {
    if (block == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(lock_);
    auto it = inUse_.find(block);
    if (it == inUse_.end()) {
        return;
    }
    const std::size_t size = it->second;
    inUse_.erase(it);
    inUseBytes_ -= size;
    try {
        free_.emplace(size, block);
        freeBytes_ += size;
    } catch (...) {
        std::free(block);
        return;
    }
    if (idleLimit_ != 0 && freeBytes_ > idleLimit_) {
        TrimLocked(idleLimit_);
    }
}

void TBufferPool::Trim(std::size_t limit) noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    TrimLocked(limit);
}

void TBufferPool::TrimLocked(std::size_t limit) noexcept {
    while (freeBytes_ > limit && !free_.empty()) {
        auto largest = std::prev(free_.end());
        freeBytes_ -= largest->first;
        std::free(largest->second);
        free_.erase(largest);
    }
}

BufferPoolTotals TBufferPool::Totals() const noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    return BufferPoolTotals{inUseBytes_, freeBytes_, inUse_.size(), free_.size()};
}

TBufferPool& SocketBufferPool() noexcept {
    static auto* pool = new TBufferPool(kSocketPoolSlack, kSocketPoolIdleLimit);
    return *pool;
}

TBufferPool& BlockBufferPool() noexcept {
    static auto* pool = new TBufferPool(kBlockPoolSlack, kBlockPoolIdleLimit);
    return *pool;
}

TBufferPool& RequestRecordPool() noexcept {
    static auto* pool = new TBufferPool(kRequestPoolSlack, kRequestPoolIdleLimit);
    return *pool;
}

TBufferPool& PieceBufferPool() noexcept {
    static auto* pool = new TBufferPool(kPiecePoolSlack, 0);
    return *pool;
}

}  // namespace koruvan::engine
