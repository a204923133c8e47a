// The base of every long-running engine activity (tasks, the engine clock, the DHT node,
// the UDP server, the telemetry upload). Waiting is done by polling in short steps, paced by
// the engine's time source, so a test clock can compress the waits.
//
// Locking: the thread lock (ThreadLock()) guards the start argument, the start generation,
// the start time and the refresh flag; subclasses also take it around their own published
// state. The id, running, stop-requested and paused words are atomics written under the
// thread lock and read without it by CheckStop (a stale read only delays the reaction by
// one step).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/core/base/Mutex.h"

namespace koruvan::engine {

// An object handed to Start and owned by the thread object until the run ends.
class ThreadArgument {
  public:
    virtual ~ThreadArgument() = default;
};

class QThread {
  public:
    QThread() = default;
    QThread(const QThread&) = delete;
    QThread& operator=(const QThread&) = delete;
    // Stops the thread and waits until it no longer touches this object.
    virtual ~QThread();

    virtual int Run() = 0;
    virtual void Refresh() = 0;
    // Sleeps in one-second steps, at most n; 0 after the last step, 1 when asked to stop
    // after an earlier step; n <= 0 sleeps one step and returns n - 1.
    virtual int SleepSeconds(int n);
    virtual void Notify(int) {}

    // Starts the body on a new thread. False when a thread of this object is running or
    // none could be created (the argument is then deleted).
    bool Start(const char* label, std::unique_ptr<ThreadArgument> arg = nullptr);
    // Asks the thread to stop and waits for it; from the thread itself returns at once.
    bool Stop(bool wait = true);
    bool RequestStop(std::uint32_t* threadId);
    bool HasStopped(std::uint32_t threadId);
    bool SetPaused(bool paused);
    bool IsPaused() const noexcept;
    bool IsRunning() const noexcept;
    bool CheckStop();
    bool CheckStopAndRefresh();
    std::uint32_t RunningThreadId() const noexcept;

    std::uint32_t StartGeneration() const;
    std::uint32_t StartTime() const;
    bool StopRequested() const noexcept { return stopRequested_.load(std::memory_order_acquire); }
    QTMutex& ThreadLock() noexcept { return lock_; }

  protected:
    // Runs first on a new thread, before it takes over from Start. Tests use it to hold a
    // thread back and provoke the start races the generation counter guards against.
    virtual void BeforeEntry() {}

  private:
    static void Entry(QThread* self, std::uint32_t id, std::string label) noexcept;
    // Back to Idle; the caller holds the thread lock.
    void ClearState() noexcept;
    // Parks while paused; the caller holds the thread lock once.
    void WaitWhilePaused();

    mutable QTMutex lock_;
    std::unique_ptr<ThreadArgument> startArg_;  // guarded by lock_
    std::atomic<std::uint32_t> threadId_{0};
    std::atomic<bool> running_{false};
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> paused_{false};
    std::uint32_t startTime_ = 0;   // guarded by lock_
    std::int32_t refreshing_ = 0;   // guarded by lock_
    std::uint32_t generation_ = 0;  // guarded by lock_
    std::uint32_t tookOver_ = 0;    // guarded by lock_: last generation whose thread ran
    // Operating-system threads that may still touch this object; the destructor waits for 0.
    std::atomic<std::int32_t> liveThreads_{0};
};

}  // namespace koruvan::engine
