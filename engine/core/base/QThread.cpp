#include "engine/core/base/QThread.h"

#include <chrono>
#include <system_error>
#include <thread>

#include "engine/core/base/EngineClock.h"
#include "engine/core/base/LockGuard.h"
#include "engine/core/base/ThreadId.h"
#include "platform/Thread.h"

namespace koruvan::engine {
namespace {

constexpr std::uint32_t kPollMs = 50;
constexpr std::uint32_t kPauseStepMs = 1000;
constexpr std::uint32_t kEntryDelayMs = 5;

}  // namespace

QThread::~QThread() {
    Stop(true);
    // The exiting thread may still be leaving its entry routine; it touches nothing after
    // the count drops.
    while (liveThreads_.load(std::memory_order_acquire) > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

int QThread::SleepSeconds(int n) {
    if (n <= 0) {
        SleepMs(kPauseStepMs);
        return n - 1;
    }
    for (int step = 1; step <= n; ++step) {
        SleepMs(kPauseStepMs);
        if (step == n) {
            return 0;
        }
        if (CheckStop()) {
            return 1;
        }
    }
    return 0;
}

bool QThread::Start(const char* label, std::unique_ptr<ThreadArgument> arg) {
    LockGuard guard(&lock_, true);
    if (IsRunning()) {
        return false;
    }
    ClearState();
    ++generation_;
    const std::uint32_t id = AllocateThreadId();
    threadId_.store(id, std::memory_order_release);
    liveThreads_.fetch_add(1, std::memory_order_acq_rel);
    try {
        std::thread(&QThread::Entry, this, id, std::string(label != nullptr ? label : "")).detach();
    } catch (const std::system_error&) {
        liveThreads_.fetch_sub(1, std::memory_order_acq_rel);
        threadId_.store(0, std::memory_order_release);
        return false;  // arg goes out of scope and is deleted
    }
    startArg_ = std::move(arg);
    const std::uint32_t generation = generation_;
    while (!running_.load(std::memory_order_acquire) &&
           threadId_.load(std::memory_order_acquire) == id) {
        guard.Unlock();
        SleepMs(kPollMs);
        guard.Lock();
    }
    // A body that already ended still counts as started: its thread did take over.
    return tookOver_ == generation;
}

void QThread::Entry(QThread* self, std::uint32_t id, std::string label) noexcept {
    if (self == nullptr) {
        return;
    }
    AdoptThreadId(id);
    platform::SetCurrentThreadName(label);
    try {
        self->BeforeEntry();
    } catch (...) {
    }
    bool stopEarly = true;
    std::uint32_t generation = 0;
    try {
        const std::uint32_t now = EngineSeconds();  // before the lock: may start the clock
        {
            LockGuard guard(&self->lock_, true);
            if (self->threadId_.load(std::memory_order_acquire) == id) {
                generation = self->generation_;
                self->tookOver_ = generation;
                self->running_.store(true, std::memory_order_release);
                self->startTime_ = now;
                stopEarly = self->stopRequested_.load(std::memory_order_acquire);
            } else {
                generation = 0;  // a newer Start replaced this thread
            }
        }
        if (generation != 0) {
            SleepMs(kEntryDelayMs);
            if (!stopEarly) {
                try {
                    self->Run();
                } catch (...) {
                    // The body's failure is its own; the thread ends normally.
                }
            }
            LockGuard guard(&self->lock_, true);
            if (self->generation_ == generation && self->threadId_.load() == id) {
                self->ClearState();
            }
        }
    } catch (...) {
    }
    self->liveThreads_.fetch_sub(1, std::memory_order_acq_rel);
}

void QThread::ClearState() noexcept {
    startArg_.reset();
    threadId_.store(0, std::memory_order_release);
    running_.store(false, std::memory_order_release);
    stopRequested_.store(false, std::memory_order_release);
    paused_.store(false, std::memory_order_release);
    refreshing_ = 0;
}

bool QThread::Stop(bool wait) {
    LockGuard guard(&lock_, true);
    if (!IsRunning()) {
        return true;
    }
    const std::uint32_t seen = threadId_.load(std::memory_order_acquire);
    stopRequested_.store(true, std::memory_order_release);
    if (seen == CurrentThreadId() || !wait) {
        return false;  // the thread stops itself once its loop sees the flag
    }
    while (threadId_.load(std::memory_order_acquire) == seen &&
           running_.load(std::memory_order_acquire)) {
        guard.Unlock();
        SleepMs(kPollMs);
        guard.Lock();
    }
    if (threadId_.load(std::memory_order_acquire) == seen) {
        ClearState();
    }
    return true;
}

bool QThread::RequestStop(std::uint32_t* threadId) {
    LockGuard guard(&lock_, true);
    if (threadId != nullptr) {
        *threadId = threadId_.load(std::memory_order_acquire);
    }
    const bool running = IsRunning();
    if (running) {
        stopRequested_.store(true, std::memory_order_release);
    }
    return running;
}

bool QThread::HasStopped(std::uint32_t threadId) {
    LockGuard guard(&lock_, true);
    if (threadId_.load(std::memory_order_acquire) != threadId || threadId == 0) {
        return true;
    }
    if (running_.load(std::memory_order_acquire)) {
        return false;
    }
    // Same id but no longer running: the thread ended without clearing up after itself.
    ClearState();
    return true;
}

bool QThread::SetPaused(bool paused) {
    LockGuard guard(&lock_, true);
    const bool running = IsRunning();
    paused_.store(running && paused, std::memory_order_release);
    return running;
}

bool QThread::IsPaused() const noexcept {
    return IsRunning() && paused_.load(std::memory_order_acquire);
}

bool QThread::IsRunning() const noexcept {
    return threadId_.load(std::memory_order_acquire) != 0 &&
           running_.load(std::memory_order_acquire);
}

std::uint32_t QThread::RunningThreadId() const noexcept {
    return IsRunning() ? threadId_.load(std::memory_order_acquire) : 0;
}

std::uint32_t QThread::StartGeneration() const {
    LockGuard guard(&lock_, true);
    return generation_;
}

std::uint32_t QThread::StartTime() const {
    LockGuard guard(&lock_, true);
    return startTime_;
}

void QThread::WaitWhilePaused() {
    while (IsRunning() && !stopRequested_.load(std::memory_order_acquire) &&
           paused_.load(std::memory_order_acquire)) {
        lock_.Unlock();
        SleepMs(kPauseStepMs);
        lock_.Lock();
    }
}

bool QThread::CheckStop() {
    if (!paused_.load(std::memory_order_acquire)) {
        return stopRequested_.load(std::memory_order_acquire);
    }
    LockGuard guard(&lock_, true);
    WaitWhilePaused();
    return stopRequested_.load(std::memory_order_acquire);
}

bool QThread::CheckStopAndRefresh() {
    LockGuard guard(&lock_, true);
    if (IsRunning() && refreshing_ == 0) {
        refreshing_ = 1;
        Refresh();
        refreshing_ = 0;
    }
    if (paused_.load(std::memory_order_acquire)) {
        WaitWhilePaused();
    }
    return !IsRunning() || stopRequested_.load(std::memory_order_acquire);
}

}  // namespace koruvan::engine
