#include "engine/peers/ConnectionBuffer.h"

#include <cstring>

namespace koruvan::engine {
namespace {

constexpr std::int32_t kShrinkFrom = 4097;
constexpr std::int32_t kShrinkRatio = 6;
constexpr std::int32_t kSmallBlock = 1024;
constexpr std::int64_t kLargeUnused = 2101249;
constexpr std::int32_t kLargeRestLimit = 21012479;

const std::uint8_t kEmpty[1] = {0};

}  // namespace

const std::uint8_t* ConnectionBuffer::Data() const noexcept {
    return data_ != nullptr ? data_ : kEmpty;
}

bool ConnectionBuffer::MoveTo(std::int32_t capacity, std::int32_t from) noexcept {
    const std::int32_t keep = used_ - from;
    std::uint8_t* block = pool_->Take(static_cast<std::size_t>(capacity));
    if (block == nullptr) {
        return false;
    }
    if (keep > 0) {
        std::memcpy(block, data_ + from, static_cast<std::size_t>(keep));
    }
    block[keep] = 0;
    pool_->Give(data_);
    data_ = block;
    used_ = keep;
    capacity_ = capacity;
    return true;
}

bool ConnectionBuffer::MakeRoom(std::int32_t room) noexcept {
    if (room < 0) {
        return false;
    }
    if (data_ != nullptr && capacity_ - used_ >= room) {
        return true;
    }
    const std::int64_t wanted = static_cast<std::int64_t>(used_) + room + kGrowthMargin;
    if (wanted > kMaxCapacity) {
        return false;
    }
    return MoveTo(static_cast<std::int32_t>(wanted), 0);
}

bool ConnectionBuffer::Append(const std::uint8_t* bytes, std::int32_t n) noexcept {
    if (n <= 0) {
        return n == 0;
    }
    if (bytes == nullptr || !MakeRoom(n)) {
        return false;
    }
    std::memcpy(data_ + used_, bytes, static_cast<std::size_t>(n));
    Commit(n);
    return true;
}

void ConnectionBuffer::Commit(std::int32_t n) noexcept {
    if (data_ == nullptr || n <= 0) {
        return;
    }
    used_ += n < capacity_ - used_ ? n : capacity_ - used_;
    data_[used_] = 0;
}

void ConnectionBuffer::RemoveFront(std::int32_t n, bool keepBlock) noexcept {
    if (data_ == nullptr) {
        return;
    }
    if (n < 0 || n > used_) {
        n = used_;
    }
    const std::int32_t rest = used_ - n;
    if (!keepBlock) {
        if (rest == 0) {
            Release();
            return;
        }
        const std::int32_t cap = capacity_;
        std::int32_t smaller = 0;
        if (cap >= kShrinkFrom && cap / rest >= kShrinkRatio) {
            smaller = rest >= kSmallBlock ? rest + kSmallBlock : kSmallBlock;
        } else if (static_cast<std::int64_t>(cap) - rest >= kLargeUnused &&
                   rest <= kLargeRestLimit) {
            smaller = rest + rest / 10;
        }
        if (smaller != 0 && MoveTo(smaller, n)) {
            return;
        }
    }
    if (rest > 0 && n > 0) {
        std::memmove(data_, data_ + n, static_cast<std::size_t>(rest));
    }
    used_ = rest;
    data_[used_] = 0;
}

void ConnectionBuffer::Release() noexcept {
    if (data_ != nullptr) {
        pool_->Give(data_);
    }
    data_ = nullptr;
    used_ = 0;
    capacity_ = 0;
}

}  // namespace koruvan::engine
