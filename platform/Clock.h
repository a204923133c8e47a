// Time as the engine sees it: a wrapping millisecond tick count, wall-clock seconds and
// sleeps, behind one small interface so that tests can run minutes of engine time in
// milliseconds.
#pragma once

#include <cstdint>

namespace koruvan::platform {

class TimeSource {
public:
    virtual ~TimeSource() = default;
    // Milliseconds since an arbitrary start, wrapping at 2^32 like the old tick count.
    virtual std::uint32_t TickCount() noexcept = 0;
    // Seconds since 1970-01-01 UTC.
    virtual std::int64_t WallSeconds() noexcept = 0;
    virtual void SleepMs(std::uint32_t ms) noexcept = 0;
};

// The real clocks: a steady clock for ticks and sleeps, time() for wall seconds.
TimeSource& SystemTimeSource() noexcept;

// A clock that runs `factor` times faster than real time: a sleep of n ms lasts n / factor
// real ms (at least a microsecond, so that loops still yield), and ticks and wall seconds
// advance by factor × the real time elapsed since construction. Every thread sees the same
// consistent accelerated time, which keeps multi-threaded timing rules intact.
class ScaledTimeSource final : public TimeSource {
public:
    explicit ScaledTimeSource(double factor, std::uint32_t startTick = 1000,
                              std::int64_t startWallSeconds = 1'700'000'000) noexcept;
    std::uint32_t TickCount() noexcept override;
    std::int64_t WallSeconds() noexcept override;
    void SleepMs(std::uint32_t ms) noexcept override;

private:
    std::uint64_t ElapsedVirtualMs() const noexcept;

    double factor_;
    std::uint32_t startTick_;
    std::int64_t startWall_;
    std::int64_t realStartNs_;
};

}  // namespace koruvan::platform
