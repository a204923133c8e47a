#include <gtest/gtest.h>

#include <string>

#include "EngineTestSupport.h"
#include "engine/core/TWorkThread.h"
#include "engine/core/base/EngineClock.h"

namespace koruvan::engine {
namespace {

using test::MakeDescriptor;

constexpr std::uint32_t kControllerFlags = kFlagRecorded | kFlagFullPath;
// A state file left by an earlier run: the resume blob must survive a run that fetched nothing.
const std::string kEarlierState = "d4:bits6:RESUME4:part5:PARTSe";

class TaskLifecycleTest : public test::EngineTest {
  protected:
    // Starts a task and returns its final state and the engine seconds it ran.
    std::pair<std::int32_t, std::uint32_t> RunUntilState(test::Descriptor& d) {
        const std::uint32_t start = EngineSeconds();
        EXPECT_EQ(CreateAndStartTask(&d), 0);
        const std::int32_t state = WaitForState(d.handle);
        return {state, EngineSeconds() - start};
    }
};

TEST_F(TaskLifecycleTest, WithoutUsableSourcesATaskGivesUpAfter15Seconds) {
    const std::string stateFile = dir_.File("a.cab.kvinfo");
    test::WriteFile(stateFile, kEarlierState);
    // No line parses as a source, so no candidate ever exists.
    auto d = MakeDescriptor(kControllerFlags, dir_.File("a.cab"), stateFile,
                            "not a url\r\n\r\nmailto:someone\r\n");
    const auto [state, seconds] = RunUntilState(*d);
    EXPECT_EQ(state, kStateGaveUp);
    EXPECT_GE(seconds, 15u);
    EXPECT_LE(seconds, 25u);
    EXPECT_EQ(test::ReadFile(stateFile), kEarlierState);

    // The state stays readable after the thread ended, and the task can run again.
    TaskProgress progress{};
    ASSERT_EQ(QueryTask(d->handle, &progress), 0);
    EXPECT_EQ(progress.stateCode, kStateGaveUp);
    EXPECT_EQ(progress.currentRate, 0);
    EXPECT_EQ(RestartTask(d->handle), 0);
    EXPECT_EQ(StopTask(d->handle, true), 0);
}

TEST_F(TaskLifecycleTest, ATaskThatNeverLearnsItsSizeEndsAfter45Seconds) {
    const std::string stateFile = dir_.File("b.cab.kvinfo");
    test::WriteFile(stateFile, kEarlierState);
    // A source that parses stays a candidate, so the task waits for the size until the
    // metadata time-out.
    auto d = MakeDescriptor(kControllerFlags, dir_.File("b.cab"), stateFile,
                            "http://127.0.0.1:9/b.cab\n");
    const auto [state, seconds] = RunUntilState(*d);
    EXPECT_EQ(state, kStateSizeTimeout);
    EXPECT_GE(seconds, 45u);
    EXPECT_LE(seconds, 55u);
    EXPECT_EQ(test::ReadFile(stateFile), kEarlierState);

    // Recovering from the kept state file works the same way.
    auto again = MakeDescriptor(kControllerFlags, dir_.File("b2.cab"), stateFile,
                                "http://127.0.0.1:9/b.cab\n");
    EXPECT_EQ(RecoverAndContinueTask(again.get(), true), 0);
    EXPECT_EQ(WaitForState(again->handle), kStateSizeTimeout);
}

TEST_F(TaskLifecycleTest, AnUnreadableTorrentFileEndsTheRunWith20211) {
    auto d =
        MakeDescriptor(kControllerFlags | kFlagP2spTask, dir_.File("c.cab"), dir_.File("c.kvinfo"),
                       "http://127.0.0.1:9/c.cab", "file://" + dir_.File("missing.torrent"));
    const auto [state, seconds] = RunUntilState(*d);
    EXPECT_EQ(state, kStateTorrentUnusable);
    EXPECT_LT(seconds, 15u);  // at once, not by the 15-second give-up rule

    test::WriteFile(dir_.File("bad.torrent"), "not bencode");
    auto bad =
        MakeDescriptor(kControllerFlags | kFlagP2spTask, dir_.File("d.cab"), dir_.File("d.kvinfo"),
                       "http://127.0.0.1:9/d.cab", "file://" + dir_.File("bad.torrent"));
    EXPECT_EQ(RunUntilState(*bad).first, kStateTorrentUnusable);
}

TEST_F(TaskLifecycleTest, StopKeepsTheStateFileAndSetsNoStateCode) {
    const std::string stateFile = dir_.File("e.kvinfo");
    test::WriteFile(stateFile, kEarlierState);
    auto d =
        MakeDescriptor(kControllerFlags, dir_.File("e.cab"), stateFile, "http://127.0.0.1:9/e.cab");
    ASSERT_EQ(CreateAndStartTask(d.get()), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(StopTask(d->handle, false), 0);
    TaskProgress progress{};
    ASSERT_EQ(QueryTask(d->handle, &progress), 0);
    EXPECT_EQ(progress.stateCode, 0);
    EXPECT_EQ(test::ReadFile(stateFile), kEarlierState);
}

TEST(TaskRestart, RestartDeletesTheStateFileAndStartsAgain) {
    test::TempDir dir;
    test::EngineTestClock clock(1000.0);
    const std::string stateFile = dir.File("f.kvinfo");
    test::WriteFile(stateFile, kEarlierState);
    test::WriteFile(stateFile + "df", "cache");
    {
        TWorkThread task;
        task.SetFlags(kControllerFlags);
        task.SetTargetFile(dir.File("f.cab"));
        task.SetStateFilePath(stateFile);
        ASSERT_EQ(task.StartDownload(), 0);
        EXPECT_TRUE(task.IsRunning());
        // Never written under a temporary name: only the state files go.
        ASSERT_EQ(task.RestartDownload(), 0);
        EXPECT_FALSE(test::ReadFile(stateFile).size() > 0);
        EXPECT_TRUE(task.IsRunning());
        EXPECT_EQ(task.StopDownload(), 0);
        EXPECT_EQ(task.PauseDownload(), kErrTaskFailed);  // not running
    }
}

}  // namespace
}  // namespace koruvan::engine
