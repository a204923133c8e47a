// A periodic step on a thread of its own: the window's 100 ms and 1 s timers. Deadlines are
// absolute on the steady clock, so the period does not drift with the time a step takes; a
// step that overruns one or more periods is followed at once by the next one, and the missed
// deadlines are skipped rather than run in a burst.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace koruvan::ui {

class StepTimer {
  public:
    StepTimer(std::string name, std::chrono::milliseconds period, std::function<void()> step);
    ~StepTimer();  // stops
    StepTimer(const StepTimer&) = delete;
    StepTimer& operator=(const StepTimer&) = delete;

    // Starts the thread; the first step runs one period from now. Once per object.
    void Start();
    // Stops and joins the thread; a step under way finishes first. Idempotent.
    void Stop();
    [[nodiscard]] bool Running() const;
    [[nodiscard]] std::chrono::milliseconds Period() const noexcept { return period_; }

  private:
    void Loop();

    const std::string name_;
    const std::chrono::milliseconds period_;
    const std::function<void()> step_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;  // guarded by lock_
    bool started_ = false;   // guarded by lock_
    std::thread thread_;
};

}  // namespace koruvan::ui
