// Runs the engine on an accelerated clock for the life of the object: minutes of engine
// time pass in milliseconds. The engine clock thread is restarted on the fast clock and
// stopped again at the end.
#pragma once

#include "engine/core/base/EngineClock.h"
#include "platform/Clock.h"

namespace koruvan::test {

class EngineTestClock {
  public:
    explicit EngineTestClock(double factor = 1000.0) : clock_(factor) {
        engine::StopEngineClock();
        engine::SetEngineTimeSource(&clock_);
        engine::TimeEnsure();
    }
    ~EngineTestClock() {
        engine::StopEngineClock();
        engine::SetEngineTimeSource(nullptr);
    }
    EngineTestClock(const EngineTestClock&) = delete;
    EngineTestClock& operator=(const EngineTestClock&) = delete;

    platform::ScaledTimeSource& Clock() { return clock_; }

  private:
    platform::ScaledTimeSource clock_;
};

}  // namespace koruvan::test
