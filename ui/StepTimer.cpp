#include "ui/StepTimer.h"

#include "platform/Thread.h"

namespace koruvan::ui {

StepTimer::StepTimer(std::string name, std::chrono::milliseconds period, std::function<void()> step)
    : name_(std::move(name)), period_(period), step_(std::move(step)) {}

StepTimer::~StepTimer() {
    Stop();
}

void StepTimer::Start() {
    std::lock_guard<std::mutex> guard(lock_);
    if (started_) {
        return;
    }
    started_ = true;
    stopping_ = false;
    thread_ = std::thread([this] { Loop(); });
}

void StepTimer::Stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

bool StepTimer::Running() const {
    std::lock_guard<std::mutex> guard(lock_);
    return started_ && !stopping_;
}

void StepTimer::Loop() {
    platform::SetCurrentThreadName(name_);
    using Clock = std::chrono::steady_clock;
    Clock::time_point next = Clock::now() + period_;
    std::unique_lock<std::mutex> guard(lock_);
    while (!stopping_) {
        if (wake_.wait_until(guard, next, [this] { return stopping_; })) {
            break;
        }
        guard.unlock();
        step_();
        guard.lock();
        next += period_;
        const Clock::time_point now = Clock::now();
        if (next < now) {
            // Overran: run the next step now and keep the phase of the period.
            const auto behind = (now - next) / period_;
            next += period_ * behind;
        }
    }
}

}  // namespace koruvan::ui
