// Shared set-up for engine tests: an accelerated engine clock, a started engine that is
// cleaned up afterwards, and descriptors built from plain values.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
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

// Incompressible test content, the same for the same seed.
inline std::string RandomContent(std::size_t size, unsigned seed) {
    std::string content(size, '\0');
    std::mt19937_64 random(seed);
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
        const std::uint64_t v = random();
        std::memcpy(&content[i], &v, 8);
    }
    return content;
}

// Polls a task until it completes or publishes a failure state; then, when `target` is given,
// waits briefly for the final rename that follows the last piece. The last progress read.
inline engine::TaskProgress WaitForTaskEnd(engine::TaskHandle handle, std::chrono::seconds limit,
                                           const std::string& target = "") {
    const auto end = std::chrono::steady_clock::now() + limit;
    engine::TaskProgress progress{};
    while (std::chrono::steady_clock::now() < end) {
        std::int32_t done = 0;
        EXPECT_EQ(engine::QueryTask(handle, &progress), 0);
        if ((engine::IsTaskComplete(handle, &done) == 0 && done == 1) ||
            (progress.stateCode != 0 && progress.stateCode != engine::kStateComplete)) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (int i = 0; i < 300 && !target.empty() && !std::filesystem::exists(target); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return progress;
}

// The task's current reason for receiving nothing (empty while data flows).
inline std::string TaskProblem(engine::TaskHandle handle) {
    char text[512] = {};
    EXPECT_GE(engine::QueryTaskProblem(handle, text, sizeof text), 0);
    return text;
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
