// Scoped holders: every lock of the engine is taken through one of these, so that an
// exception leaving a body still unlocks.
#pragma once

#include <mutex>

#include "engine/core/base/Mutex.h"

namespace koruvan::engine {

class LockGuard {
  public:
    LockGuard(QBaseMutex* mutex, bool lockNow) noexcept : mutex_(mutex) {
        if (lockNow && mutex_ != nullptr) {
            held_ = mutex_->Lock();
        }
    }
    ~LockGuard() {
        if (mutex_ != nullptr && held_) {
            mutex_->Unlock();
        }
    }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

    // Takes the lock only when it is free now (or already ours); true when held.
    bool TryLock() noexcept {
        if (!held_ && mutex_ != nullptr) {
            held_ = mutex_->TryLock();
        }
        return held_;
    }
    // Takes the lock again after an early release.
    bool Lock() noexcept {
        if (!held_ && mutex_ != nullptr) {
            held_ = mutex_->Lock();
        }
        return held_;
    }
    // Early release; the destructor then does nothing.
    void Unlock() noexcept {
        if (held_ && mutex_ != nullptr) {
            mutex_->Unlock();
        }
        held_ = false;
    }
    bool Held() const noexcept { return held_; }

  private:
    QBaseMutex* mutex_;
    bool held_ = false;
};

// The log's lock: a recursive section entered and left by its owner.
class CriticalSection {
  public:
    void Enter() { m_.lock(); }
    void Leave() { m_.unlock(); }

  private:
    std::recursive_mutex m_;
};

class CriticalSectionGuard {
  public:
    CriticalSectionGuard(CriticalSection* section, bool lockNow) : section_(section) {
        if (lockNow && section_ != nullptr) {
            section_->Enter();
            held_ = true;
        }
    }
    ~CriticalSectionGuard() { Leave(); }
    CriticalSectionGuard(const CriticalSectionGuard&) = delete;
    CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

    void Leave() {
        if (held_) {
            held_ = false;
            section_->Leave();
        }
    }

  private:
    bool held_ = false;
    CriticalSection* section_;
};

}  // namespace koruvan::engine
