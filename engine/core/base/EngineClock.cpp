#include "engine/core/base/EngineClock.h"

#include <atomic>

#include "engine/core/base/EngineLocks.h"
#include "engine/core/base/KoruvanLog.h"
#include "engine/core/base/LockGuard.h"

namespace koruvan::engine {
namespace {

std::atomic<platform::TimeSource*> g_timeSource{nullptr};
std::atomic<std::uint32_t> g_engineSeconds{1};
std::atomic<std::int64_t> g_engineTime{0};
std::atomic<QTimeThread*> g_clockThread{nullptr};

constexpr std::uint32_t kClockStepMs = 100;
constexpr int kClockStepsPerRound = 10;

}  // namespace

platform::TimeSource& Time() noexcept {
    platform::TimeSource* source = g_timeSource.load(std::memory_order_acquire);
    return source != nullptr ? *source : platform::SystemTimeSource();
}

void SetEngineTimeSource(platform::TimeSource* source) noexcept {
    g_timeSource.store(source, std::memory_order_release);
}

void EngineClockState::Advance(std::uint32_t tick) noexcept {
    if (tick < baseTick_) {
        baseTick_ = tick;
        ++time_;
        ++seconds_;
        baseTime_ = time_;
        baseSeconds_ = seconds_;
        return;
    }
    const std::uint32_t elapsed = (tick - baseTick_) / 1000;
    time_ = baseTime_ + elapsed;
    seconds_ = baseSeconds_ + elapsed;
}

int QTimeThread::Run() {
    std::int64_t baseTime = g_engineTime.load(std::memory_order_acquire);
    if (baseTime == 0) {
        baseTime = Time().WallSeconds();
        g_engineTime.store(baseTime, std::memory_order_release);
    }
    EngineClockState clock(baseTime, g_engineSeconds.load(std::memory_order_acquire), TickCount());
    while (!CheckStop()) {
        clock.Advance(TickCount());
        g_engineTime.store(clock.Time(), std::memory_order_release);
        g_engineSeconds.store(clock.Seconds(), std::memory_order_release);
        for (int i = 0; i < kClockStepsPerRound; ++i) {
            SleepMs(kClockStepMs);
            if (CheckStop()) {
                break;
            }
        }
    }
    return 0;
}

void TimeEnsure() noexcept {
    if (g_clockThread.load(std::memory_order_acquire) != nullptr) {
        return;
    }
    QTimeThread* created = nullptr;
    {
        LockGuard guard(&TaskRegistryLock(), true);
        if (g_clockThread.load(std::memory_order_acquire) == nullptr) {
            g_engineTime.store(0, std::memory_order_release);
            created = new (std::nothrow) QTimeThread;
            g_clockThread.store(created, std::memory_order_release);
        }
    }
    if (created != nullptr) {
        created->Start("TimeEnsure");
    }
}

std::uint32_t EngineSeconds() noexcept {
    TimeEnsure();
    return g_engineSeconds.load(std::memory_order_acquire);
}

std::int64_t EngineTime() noexcept {
    TimeEnsure();
    const std::int64_t now = g_engineTime.load(std::memory_order_acquire);
    return now != 0 ? now : Time().WallSeconds();
}

void StopEngineClock() noexcept {
    QTimeThread* clock = nullptr;
    {
        LockGuard guard(&TaskRegistryLock(), true);
        clock = g_clockThread.exchange(nullptr, std::memory_order_acq_rel);
    }
    if (clock == nullptr) {
        return;
    }
    clock->Stop(true);
    WriteLog("Time Ensure Thread Stopped.. ", 22, 22);
    delete clock;
}

}  // namespace koruvan::engine
