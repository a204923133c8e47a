// The engine's coarse clocks. EngineSeconds (starting at 1, so 0 can mean "never") and
// EngineTime (seconds since 1970) are kept by one clock thread and read lock-free by every
// thread, many times per second, instead of asking the system.
//
// All engine timing goes through one time source (tick count, wall seconds, sleeps); tests
// install a faster one with SetEngineTimeSource before any engine thread runs.
#pragma once

#include <cstdint>

#include "engine/core/base/QThread.h"
#include "platform/Clock.h"

namespace koruvan::engine {

platform::TimeSource& Time() noexcept;
// Null restores the system clocks. Call only while no engine thread is running.
void SetEngineTimeSource(platform::TimeSource* source) noexcept;
inline std::uint32_t TickCount() noexcept {
    return Time().TickCount();
}
inline void SleepMs(std::uint32_t ms) noexcept {
    Time().SleepMs(ms);
}

std::uint32_t EngineSeconds() noexcept;
std::int64_t EngineTime() noexcept;
// Creates and starts the clock thread when there is none.
void TimeEnsure() noexcept;
// Stops and deletes the clock thread (engine clean-up).
void StopEngineClock() noexcept;

// The clock loop's arithmetic: the clock is always the base plus the whole seconds elapsed
// since the base tick, so no rounding accumulates; a tick count that went backwards (the
// 49.7-day wrap) advances both clocks by exactly one second and re-bases.
class EngineClockState {
  public:
    EngineClockState(std::int64_t baseTime, std::uint32_t baseSeconds,
                     std::uint32_t baseTick) noexcept
        : baseTime_(baseTime),
          baseSeconds_(baseSeconds),
          baseTick_(baseTick),
          time_(baseTime),
          seconds_(baseSeconds) {}

    void Advance(std::uint32_t tick) noexcept;
    std::int64_t Time() const noexcept { return time_; }
    std::uint32_t Seconds() const noexcept { return seconds_; }

  private:
    std::int64_t baseTime_;
    std::uint32_t baseSeconds_;
    std::uint32_t baseTick_;
    std::int64_t time_;
    std::uint32_t seconds_;
};

class QTimeThread final : public QThread {
  public:
    ~QTimeThread() override { Stop(true); }
    int Run() override;
    void Refresh() override {}
};

}  // namespace koruvan::engine
