#include "engine/core/EngineApi.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "EngineTestSupport.h"
#include "engine/core/EngineState.h"
#include "engine/core/GlobalFilter.h"
#include "engine/core/TaskRegistry.h"
#include "engine/core/base/KoruvanLog.h"
#include "support/TempDir.h"

namespace koruvan::engine {
namespace {

using test::MakeDescriptor;

constexpr std::uint32_t kControllerFlags = kFlagRecorded | kFlagFullPath;  // 0x100002

class EngineApiTest : public test::EngineTest {
  protected:
    std::string Target(const std::string& name) { return dir_.File(name); }
    std::string State(const std::string& name) { return dir_.File(name + ".kvinfo"); }
};

TEST_F(EngineApiTest, RecordsKeepTheirContractLayout) {
    EXPECT_EQ(sizeof(TaskProgress), 4144u);
    EXPECT_EQ(offsetof(TaskProgress, progress), 4096u);
    EXPECT_EQ(offsetof(TaskProgress, totalSizeKiB), 4112u);
    EXPECT_EQ(offsetof(TaskProgress, bytesDone), 4136u);
    EXPECT_LT(offsetof(TaskDescriptor, sourceList), offsetof(TaskDescriptor, targetPath));
    EXPECT_LT(offsetof(TaskDescriptor, flags), offsetof(TaskDescriptor, handle));
}

TEST_F(EngineApiTest, StartupTwiceIsHarmlessAndNullDescriptorsAreRefused) {
    EXPECT_EQ(EngineStartup(nullptr), 0);
    EXPECT_EQ(CreateTask(nullptr), kErrNullDescriptor);
    EXPECT_EQ(RecoverTask(nullptr, true), kErrNullDescriptor);
    EXPECT_EQ(CreateAndStartTask(nullptr), kErrNullDescriptor);
    EXPECT_EQ(RecoverAndContinueTask(nullptr, false), kErrNullDescriptor);
}

TEST_F(EngineApiTest, EveryCallRefusesAHandleThatWasNeverIssued) {
    const auto bogus = reinterpret_cast<TaskHandle>(std::uintptr_t{0xdeadbeef});
    TaskProgress progress{};
    std::int32_t done = 7;
    char buffer[16];
    EXPECT_EQ(StopTask(bogus, true), kErrUnknownHandle);
    EXPECT_EQ(RestartTask(bogus), kErrUnknownHandle);
    EXPECT_EQ(QueryTask(bogus, &progress), kErrUnknownHandle);
    EXPECT_EQ(IsTaskComplete(bogus, &done), kErrUnknownHandle);
    EXPECT_EQ(done, 7);
    EXPECT_EQ(SetTaskSpeedLimit(bogus, 1, 100), kErrUnknownHandle);
    EXPECT_EQ(SetTaskConnectionLimits(bogus, 4, 10), kErrUnknownHandle);
    EXPECT_EQ(SetTaskSourceLists(bogus, "a", "b"), kErrUnknownHandle);
    EXPECT_EQ(ClearTaskSourceLists(bogus), kErrUnknownHandle);
    EXPECT_EQ(GetTaskBitfield(bogus, buffer, sizeof buffer), kBitfieldError);
    EXPECT_EQ(GetTaskBitfieldSize(bogus), kBitfieldError);
    EXPECT_EQ(GetTaskBitfieldSize(nullptr), kBitfieldError);
}

TEST_F(EngineApiTest, CreateLogsTheTaskAndWritesTheHandle) {
    CreateEngineLog();
    std::vector<std::string> lines;
    std::mutex lock;
    EngineLog()->SetDebugEcho([&](std::string_view line) {
        std::lock_guard<std::mutex> g(lock);
        lines.emplace_back(line);
    });
    auto d = MakeDescriptor(kControllerFlags, Target("a.cab"), State("a.cab"));
    ASSERT_EQ(CreateAndStartTask(d.get()), 0);
    ASSERT_NE(d->handle, nullptr);
    const std::string expected = "] [Create HTTP Task, Download, ID : " +
                                 std::to_string(reinterpret_cast<std::uintptr_t>(d->handle)) +
                                 "] [Target File : (" + Target("a.cab") + ") ]\n";
    {
        std::lock_guard<std::mutex> g(lock);
        ASSERT_FALSE(lines.empty());
        EXPECT_NE(lines.front().find(expected), std::string::npos) << lines.front();
    }
    auto r = MakeDescriptor(kControllerFlags | kFlagP2spTask, Target("b.cab"), State("b.cab"), "",
                            "file:///nowhere");
    ASSERT_EQ(RecoverTask(r.get(), false), 0);
    {
        std::lock_guard<std::mutex> g(lock);
        EXPECT_NE(lines.back().find("] [Recover P2SP Task, Download, ID : "), std::string::npos);
    }
    CloseEngineLog();
}

TEST_F(EngineApiTest, DuplicatesByTargetFileKeyAndSharedSources) {
    auto first = MakeDescriptor(kControllerFlags, Target("x.cab"), State("x.cab"),
                                "http://a.example/1\r\nhttp://b.example/1\nhttp://c.example/1");
    ASSERT_EQ(CreateTask(first.get()), 0);

    // Same full target path.
    auto sameTarget = MakeDescriptor(kControllerFlags, Target("x.cab"), State("y.cab"));
    EXPECT_EQ(CreateTask(sameTarget.get()), kErrDuplicateTask);
    EXPECT_EQ(sameTarget->handle, nullptr);
    EXPECT_EQ(TaskRegistry::Count(), 1u);
    EXPECT_EQ(RecoverAndContinueTask(sameTarget.get(), true), 0);  // force skips the check
    EXPECT_EQ(TaskRegistry::Count(), 2u);

    // Same key for two keyed tasks (BT and P2SP alike).
    auto keyed = MakeDescriptor(kFlagP2spTask, dir_.Path(), State("k1"), "", "file:///same");
    ASSERT_EQ(CreateTask(keyed.get()), 0);
    auto sameKey = MakeDescriptor(kFlagBtTask, dir_.Path(), State("k2"), "file:///same");
    EXPECT_EQ(CreateTask(sameKey.get()), kErrDuplicateTask);

    // One of three sources shared: 3 / 1 = 3, not a duplicate; two of three: 3 / 2 = 1.
    auto oneShared = MakeDescriptor(0, dir_.Path(), State("s1"),
                                    "http://a.example/1\nhttp://d.example/1\nhttp://e.example/1\n");
    EXPECT_EQ(CreateTask(oneShared.get()), 0);
    auto twoShared = MakeDescriptor(0, dir_.Path(), State("s2"),
                                    "http://f.example/1\n http://b.example/1 \nhttp://c.example/1");
    EXPECT_EQ(CreateTask(twoShared.get()), kErrDuplicateTask);
    EXPECT_EQ(TaskRegistry::Count(), 4u);
}

TEST_F(EngineApiTest, StopTasksReportsPerHandle) {
    auto a = MakeDescriptor(kControllerFlags, Target("a"), State("a"));
    auto b = MakeDescriptor(kControllerFlags, Target("b"), State("b"));
    ASSERT_EQ(CreateAndStartTask(a.get()), 0);
    ASSERT_EQ(CreateAndStartTask(b.get()), 0);
    const TaskHandle handles[] = {reinterpret_cast<TaskHandle>(std::uintptr_t{12}), a->handle,
                                  b->handle};
    std::int32_t results[3] = {1, 1, 1};
    EXPECT_EQ(StopTasks(handles, 3, false, results), 0);
    EXPECT_EQ(results[0], kErrUnknownHandle);
    EXPECT_EQ(results[1], 0);
    EXPECT_EQ(results[2], 0);
    EXPECT_EQ(StopTasks(handles, 3, true, nullptr), 0);  // own result array

    // Stopped tasks answer queries and start again.
    TaskProgress progress{};
    EXPECT_EQ(QueryTask(a->handle, &progress), 0);
    EXPECT_EQ(RestartTask(a->handle), 0);
    EXPECT_EQ(StopTask(a->handle, true), 0);
}

TEST_F(EngineApiTest, QueriesOfATaskWithoutSize) {
    auto d = MakeDescriptor(kControllerFlags, Target("q.cab"), State("q.cab"));
    ASSERT_EQ(CreateTask(d.get()), 0);
    std::int32_t done = 5;
    EXPECT_EQ(IsTaskComplete(d->handle, &done), 0);
    EXPECT_EQ(done, 0);
    TaskProgress progress;
    std::memset(&progress, 0x5A, sizeof progress);
    EXPECT_EQ(QueryTask(d->handle, &progress), 0);
    EXPECT_STREQ(progress.name, "q.cab");
    EXPECT_EQ(progress.progress, 0);
    EXPECT_EQ(progress.stateCode, 0);
    EXPECT_EQ(progress.totalSizeKiB, 0u);
    EXPECT_EQ(progress.bytesDone, 0u);

    char bits[8] = {};
    EXPECT_EQ(GetTaskBitfieldSize(d->handle), 0);
    EXPECT_EQ(GetTaskBitfield(d->handle, nullptr, 8), 0);
    EXPECT_EQ(GetTaskBitfield(d->handle, bits, 0), 0);
    EXPECT_EQ(GetTaskBitfield(d->handle, bits, 8), 0);

    EXPECT_EQ(SetTaskSpeedLimit(d->handle, 1, 100), 0);
    EXPECT_EQ(SetTaskSpeedLimit(d->handle, 0, 40000), 0);  // out of range: unlimited
    EXPECT_EQ(SetTaskSpeedLimit(d->handle, 2, 100), kErrNullDescriptor);
    EXPECT_EQ(SetTaskConnectionLimits(d->handle, 12, 35), 0);
    EXPECT_EQ(SetTaskSourceLists(d->handle, "http://m1.example/f\nhttp://m2.example/f", "null\nh2"),
              0);
    EXPECT_EQ(ClearTaskSourceLists(d->handle), 0);
}

TEST_F(EngineApiTest, DiskQueriesGoThroughThePlatform) {
    EXPECT_EQ(GetDiskFreeBytes("relative/path"), 0u);
    EXPECT_GT(GetDiskFreeBytes(dir_.File("not/yet/there").c_str()), 0u);
    EXPECT_EQ(GetFileAllocatedBytes(dir_.File("missing").c_str()), 0);
    test::WriteFile(dir_.File("part.cab.kvtmp"), std::string(100000, 'z'));
    EXPECT_GE(GetFileAllocatedBytes(dir_.File("part.cab").c_str()), 100000);
}

TEST(EngineFlags, SingleWordSettingsNeedNoStartedEngine) {
    EXPECT_EQ(SetListenPort(0), 0);
    EXPECT_EQ(EnableP2P(true), 0);
    SetBtPeerFlag(1);
    EXPECT_EQ(EnableP2P(false), 0);
}

}  // namespace
}  // namespace koruvan::engine

namespace koruvan::engine {
namespace {

TEST(EngineSwarmApiTest, BindAddressTakesDottedIpv4Only) {
    struct Case {
        const char* text;
        std::int32_t result;
        std::uint32_t stored;  // network order
    };
    const Case cases[] = {
        {"127.0.0.2", kOk, 0x0200007Fu},
        {"300.1.1.1", kErrNullDescriptor, 0x0200007Fu},
        {"127.0.0.2 ", kErrNullDescriptor, 0x0200007Fu},
        {"localhost", kErrNullDescriptor, 0x0200007Fu},
        {"0.0.0.0", kErrNullDescriptor, 0x0200007Fu},
        {"198.51.100.7", kOk, 0x076433C6u},
        {"", kOk, 0},
        {"127.0.0.3", kOk, 0x0300007Fu},
        {nullptr, kOk, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SetBindAddress(c.text), c.result) << (c.text ? c.text : "null");
        EXPECT_EQ(Engine().bindAddress.load(), c.stored) << (c.text ? c.text : "null");
    }
}

TEST(EngineSwarmApiTest, FilterLoadsCountsAndClears) {
    test::TempDir dir;
    const std::string path = dir.File("filter.txt");
    test::WriteFile(path, "127.0.0.2-127.0.0.2 0\n10.0.0.0-10.0.0.255 0 lan\nbad line\n");
    const std::uint32_t before = GlobalFilterGeneration();
    EXPECT_EQ(LoadIpFilter(path.c_str()), 2);
    EXPECT_NE(GlobalFilterGeneration(), before);
    net::CIPFilter copy;
    std::uint32_t generation = 0;
    RefreshFilterCopy(copy, generation);
    EXPECT_TRUE(copy.IsBlocked(0x0200007Fu));
    EXPECT_EQ(LoadIpFilter(dir.File("none").c_str()), -1);
    RefreshFilterCopy(copy, generation);
    EXPECT_FALSE(copy.IsBlocked(0x0200007Fu));
    EXPECT_EQ(LoadIpFilter(nullptr), 0);
}

TEST(EngineSwarmApiTest, SwarmQueryRefusesNullAndUnknownHandles) {
    TaskSwarm swarm{};
    const auto bogus = reinterpret_cast<TaskHandle>(std::uintptr_t{0xdeadbeef});
    EXPECT_EQ(QueryTaskSwarm(bogus, nullptr), kErrNullDescriptor);
    EXPECT_EQ(QueryTaskSwarm(bogus, &swarm), kErrUnknownHandle);
    SetLanDiscovery(false);
    EXPECT_FALSE(Engine().lanDiscovery.load());
    SetLanDiscovery(true);
}

}  // namespace
}  // namespace koruvan::engine
