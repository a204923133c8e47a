#include "platform/Clock.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace koruvan::platform {
namespace {

std::int64_t SteadyNowNs() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class RealTimeSource final : public TimeSource {
public:
    std::uint32_t TickCount() noexcept override {
        return static_cast<std::uint32_t>(SteadyNowNs() / 1'000'000);
    }
    std::int64_t WallSeconds() noexcept override { return static_cast<std::int64_t>(std::time(nullptr)); }
    void SleepMs(std::uint32_t ms) noexcept override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
};

}  // namespace

TimeSource& SystemTimeSource() noexcept {
    static RealTimeSource source;
    return source;
}

ScaledTimeSource::ScaledTimeSource(double factor, std::uint32_t startTick,
                                   std::int64_t startWallSeconds) noexcept
    : factor_(factor > 0 ? factor : 1.0),
      startTick_(startTick),
      startWall_(startWallSeconds),
      realStartNs_(SteadyNowNs()) {}

std::uint64_t ScaledTimeSource::ElapsedVirtualMs() const noexcept {
    const double realMs = static_cast<double>(SteadyNowNs() - realStartNs_) / 1e6;
    return static_cast<std::uint64_t>(realMs * factor_);
}

std::uint32_t ScaledTimeSource::TickCount() noexcept {
    return static_cast<std::uint32_t>(startTick_ + ElapsedVirtualMs());
}

std::int64_t ScaledTimeSource::WallSeconds() noexcept {
    return startWall_ + static_cast<std::int64_t>(ElapsedVirtualMs() / 1000);
}

void ScaledTimeSource::SleepMs(std::uint32_t ms) noexcept {
    const auto realNs = static_cast<std::int64_t>(static_cast<double>(ms) * 1e6 / factor_);
    std::this_thread::sleep_for(std::chrono::nanoseconds(realNs > 1000 ? realNs : 1000));
}

}  // namespace koruvan::platform
