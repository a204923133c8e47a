// Readiness of the pseudo-sockets: what UdpSelect reports, and how waiters learn of a
// change without looking again and again. The server signals after every burst and timer
// pass that changed a record: callers in UdpSelect wait on a condition variable for the
// readiness generation to move; threads that wait in poll() are armed with a wake-up
// descriptor per record.
#include <algorithm>

#include "engine/core/base/LockGuard.h"
#include "engine/dht/QUInternalServer.h"

namespace koruvan::engine {

using namespace udp;

bool QUInternalServer::IsReady(std::uint32_t handle, Interest interest) noexcept {
    UdpConnection* c = Find(main_, handle);
    if (c == nullptr) {
        c = Find(bound_, handle);
    }
    if (c == nullptr) {
        return false;
    }
    switch (interest) {
        case Interest::kRead:
            if (c->state == kListening) {
                return std::any_of(acceptQueue_.begin(), acceptQueue_.end(), [c](auto& q) {
                    return q->state == kEstablished && q->listenPort == c->listenPort;
                });
            }
            return c->state == kClosed || (c->state == kEstablished && c->HasReadable());
        case Interest::kWrite:
            return c->state == kClosed ||
                   (c->connected && c->state == kEstablished && c->usedSendSlots < kSlots);
        case Interest::kError:
            return c->state == kClosed;
    }
    return false;
}

void QUInternalServer::Touch(const UdpConnection& c) noexcept {
    if (touched_.empty() || touched_.back() != c.handle) {
        touched_.push_back(c.handle);
    }
}

void QUInternalServer::TouchListener(int listenPort) noexcept {
    for (auto& r : bound_) {
        if (r->state == kListening && r->listenPort == listenPort) {
            Touch(*r);
        }
    }
}

void QUInternalServer::FlushSignals() noexcept {
    if (touched_.empty()) {
        return;
    }
    for (auto it = arms_.begin(); it != arms_.end();) {
        const std::uint32_t h = it->handle;
        const bool changed = std::find(touched_.begin(), touched_.end(), h) != touched_.end();
        const bool gone = Find(main_, h) == nullptr && Find(bound_, h) == nullptr;
        if (changed && (gone || IsReady(h, it->forWrite ? Interest::kWrite : Interest::kRead) ||
                        IsReady(h, Interest::kError))) {
            it->wake->Signal();
            it = arms_.erase(it);
        } else {
            ++it;
        }
    }
    touched_.clear();
    WakeSelectors();
}

void QUInternalServer::WakeSelectors() noexcept {
    {
        std::lock_guard<std::mutex> lock(readyMutex_);
        ++readyGeneration_;
        if (selectWaiters_ == 0) {
            return;
        }
    }
    readyCv_.notify_all();
}

void QUInternalServer::UdpArmWake(std::uint32_t handle, bool forWrite,
                                  const std::shared_ptr<UdpWakeFd>& wake) noexcept {
    if (!wake) {
        return;
    }
    LockGuard guard(&ThreadLock(), true);
    const bool gone = Find(main_, handle) == nullptr && Find(bound_, handle) == nullptr;
    if (gone || IsReady(handle, forWrite ? Interest::kWrite : Interest::kRead) ||
        IsReady(handle, Interest::kError)) {
        wake->Signal();
        return;
    }
    for (const WakeArm& arm : arms_) {
        if (arm.handle == handle && arm.forWrite == forWrite && arm.wake == wake) {
            return;
        }
    }
    try {
        arms_.push_back(WakeArm{handle, forWrite, wake});
    } catch (...) {
        wake->Signal();  // no room to remember it: the caller looks again at once
    }
}

int QUInternalServer::UdpSelect(std::vector<std::uint32_t>* readSet,
                                std::vector<std::uint32_t>* writeSet,
                                std::vector<std::uint32_t>* errorSet,
                                const timeval* timeout) noexcept {
    if (readSet == nullptr && writeSet == nullptr && errorSet == nullptr) {
        return 0;
    }
    const std::int64_t limitMs =
        timeout == nullptr ? -1 : std::int64_t{timeout->tv_sec} * 1000 + timeout->tv_usec / 1000;
    const std::uint32_t start = clock_->Tick();
    LockGuard guard(&ThreadLock(), true);
    while (true) {
        std::vector<std::uint32_t> ready[3];
        std::vector<std::uint32_t>* sets[3] = {readSet, writeSet, errorSet};
        const Interest interests[3] = {Interest::kRead, Interest::kWrite, Interest::kError};
        std::size_t total = 0;
        for (int k = 0; k < 3; ++k) {
            for (std::uint32_t h : sets[k] != nullptr ? *sets[k] : std::vector<std::uint32_t>{}) {
                if (IsReady(h, interests[k])) {
                    ready[k].push_back(h);
                }
            }
            total += ready[k].size();
        }
        const std::int64_t waited = static_cast<std::uint32_t>(clock_->Tick() - start);
        const bool gone = StopRequested() || (limitMs < 0 && !IsRunning());
        if (total > 0 || (limitMs >= 0 && waited >= limitMs) || gone) {
            for (int k = 0; k < 3; ++k) {
                if (sets[k] != nullptr) {
                    *sets[k] = std::move(ready[k]);
                }
            }
            SetUdpLastError(0);
            return static_cast<int>(total);
        }
        // Whatever changes a record after this look moves the generation: no change is
        // missed between the look and the wait.
        std::unique_lock<std::mutex> lock(readyMutex_);
        const std::uint64_t seen = readyGeneration_;
        guard.Unlock();
        ++selectWaiters_;
        clock_->Wait(readyCv_, lock, limitMs < 0 ? -1 : limitMs - waited,
                     [this, seen] { return readyGeneration_ != seen; });
        --selectWaiters_;
        lock.unlock();
        guard.Lock();
    }
}

}  // namespace koruvan::engine
