// Shared set-up for engine tests: an accelerated engine clock, a started engine that is
// cleaned up afterwards, and descriptors built from plain values.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "engine/core/EngineApi.h"
#include "engine/core/base/EngineClock.h"
#include "support/EngineTestClock.h"
#include "support/TempDir.h"

namespace koruvan::test {

// A descriptor that owns its source list text.
struct Descriptor : engine::TaskDescriptor {
    std::string sources;

    Descriptor(std::uint32_t taskFlags, const std::string& target, const std::string& stateFile,
               std::string sourceText = "", const std::string& key = "")
        : engine::TaskDescriptor{}, sources(std::move(sourceText)) {
        flags = taskFlags;
        std::strncpy(targetPath, target.c_str(), sizeof targetPath - 1);
        std::strncpy(stateFilePath, stateFile.c_str(), sizeof stateFilePath - 1);
        std::strncpy(p2spKey, key.c_str(), sizeof p2spKey - 1);
        sourceList = sources.c_str();
    }
};

inline std::unique_ptr<Descriptor> MakeDescriptor(std::uint32_t flags, const std::string& target,
                                                  const std::string& stateFile,
                                                  std::string sources = "",
                                                  const std::string& key = "") {
    return std::make_unique<Descriptor>(flags, target, stateFile, std::move(sources), key);
}

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(engine::EngineStartup(dir_.Path().c_str()), 0); }
    void TearDown() override { EXPECT_EQ(engine::EngineCleanup(), 0); }

    // Polls a task until its published state code is set; returns it (0 on time-out).
    std::int32_t WaitForState(engine::TaskHandle handle,
                              std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        engine::TaskProgress progress{};
        while (std::chrono::steady_clock::now() < end) {
            if (engine::QueryTask(handle, &progress) == 0 && progress.stateCode != 0) {
                return progress.stateCode;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return 0;
    }

    TempDir dir_;
    EngineTestClock clock_{200.0};  // 45 s in about a quarter second
};

}  // namespace koruvan::test
