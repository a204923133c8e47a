// A manual-reset event: once set it stays set (every waiter passes) until it is reset.
// Thread-safe; `lock_` guards `set_`.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace koruvan::net {

class ManualResetEvent {
  public:
    void Set() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            set_ = true;
        }
        changed_.notify_all();
    }
    void Reset() {
        std::lock_guard<std::mutex> guard(lock_);
        set_ = false;
    }
    // True when the event is (or becomes) set within `limit`.
    [[nodiscard]] bool WaitFor(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, limit, [this] { return set_; });
    }
    [[nodiscard]] bool IsSet() const {
        std::lock_guard<std::mutex> guard(lock_);
        return set_;
    }

  private:
    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool set_ = false;
};

}  // namespace koruvan::net
