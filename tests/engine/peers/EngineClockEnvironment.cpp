// Connections stamp their times with the engine clock, which starts its thread on first use.
// The thread is stopped when the tests end, before the process tears down the clocks it
// reads.
#include <gtest/gtest.h>

#include "engine/core/base/EngineClock.h"

namespace koruvan::engine {
namespace {

class EngineClockEnvironment final : public ::testing::Environment {
  public:
    void TearDown() override { StopEngineClock(); }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new EngineClockEnvironment);

}  // namespace
}  // namespace koruvan::engine
