#include "engine/core/base/Mutex.h"

#include "engine/core/base/ThreadId.h"

namespace koruvan::engine {

bool OwnedLock::Acquire(bool wait) noexcept {
    const std::uint32_t me = CurrentThreadId();
    std::unique_lock<std::mutex> lk(m_);
    if (owner_ == me) {
        ++depth_;
        return true;
    }
    if (owner_ != 0) {
        if (!wait) {
            return false;
        }
        cv_.wait(lk, [this] { return owner_ == 0; });
    }
    owner_ = me;
    depth_ = 1;
    return true;
}

bool OwnedLock::Release() noexcept {
    const std::uint32_t me = CurrentThreadId();
    std::unique_lock<std::mutex> lk(m_);
    if (owner_ != me || depth_ == 0) {
        return false;
    }
    if (--depth_ == 0) {
        owner_ = 0;
        lk.unlock();
        cv_.notify_one();
    }
    return true;
}

// ---- QSMutex ----

bool QSMutex::Create() noexcept {
    if (!handle_) {
        handle_ = std::unique_ptr<OwnedLock>(new (std::nothrow) OwnedLock);
    }
    return handle_ != nullptr;
}

void QSMutex::Close() noexcept {
    if (!handle_) {
        return;
    }
    handle_->Acquire(true);
    auto closing = std::move(handle_);
    closing->Release();
}

bool QSMutex::Lock() noexcept {
    return handle_ && handle_->Acquire(true);
}

bool QSMutex::TryLock() noexcept {
    return handle_ && handle_->Acquire(false);
}

bool QSMutex::Unlock() noexcept {
    return handle_ && handle_->Release();
}

// ---- QTMutex ----

bool QTMutex::Create() noexcept {
    if (!handle_) {
        handle_ = std::unique_ptr<OwnedLock>(new (std::nothrow) OwnedLock);
    }
    owner_.store(0, std::memory_order_release);
    count_.store(0, std::memory_order_release);
    return handle_ != nullptr;
}

bool QTMutex::Lock() noexcept {
    const std::uint32_t me = CurrentThreadId();
    if (owner_.load(std::memory_order_acquire) == me) {
        count_.fetch_add(1, std::memory_order_acq_rel);
        return true;
    }
    if (!handle_ || !handle_->Acquire(true)) {
        return false;
    }
    owner_.store(me, std::memory_order_release);
    count_.store(1, std::memory_order_release);
    return true;
}

bool QTMutex::TryLock() noexcept {
    const std::uint32_t me = CurrentThreadId();
    const std::uint32_t owner = owner_.load(std::memory_order_acquire);
    if (owner != 0) {
        if (owner != me) {
            return false;
        }
        count_.fetch_add(1, std::memory_order_acq_rel);
        return true;
    }
    if (!handle_ || !handle_->Acquire(false)) {
        return false;
    }
    owner_.store(me, std::memory_order_release);
    count_.store(1, std::memory_order_release);
    return true;
}

bool QTMutex::Unlock() noexcept {
    const std::uint32_t me = CurrentThreadId();
    if (owner_.load(std::memory_order_acquire) != me) {
        return false;
    }
    const std::uint32_t before = count_.fetch_sub(1, std::memory_order_acq_rel);
    if (before > 1) {
        return true;
    }
    owner_.store(0, std::memory_order_release);
    if (!handle_ || !handle_->Release()) {
        // Could not give the lock back: keep the bookkeeping consistent with reality.
        owner_.store(me, std::memory_order_release);
        count_.store(1, std::memory_order_release);
        return false;
    }
    return true;
}

void QTMutex::Close() noexcept {
    if (!handle_) {
        return;
    }
    const std::uint32_t me = CurrentThreadId();
    if (owner_.load(std::memory_order_acquire) != me) {
        handle_->Acquire(true);
    }
    // The underlying lock is held once whatever the recursion count, so one Release frees it.
    owner_.store(0, std::memory_order_release);
    count_.store(0, std::memory_order_release);
    auto closing = std::move(handle_);
    closing->Release();
}

}  // namespace koruvan::engine
