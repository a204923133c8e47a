// The plan's files as engine tasks: descriptors built for creation and reload, torrents
// written as P2SP keys, failures told to the user, and extra sources from the resource list
// handed to running tasks. Sources are files on nginx on loopback.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "app/AppRecorders.h"
#include "app/FileTasks.h"
#include "engine/core/EngineApi.h"
#include "integration/LoopbackP2p.h"
#include "platform/IniFile.h"
#include "support/LocalServer.h"
#include "support/TempDir.h"

namespace koruvan::app {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

constexpr const char* kListPath = "/list.xml";

std::string Field(const char* text) {
    return std::string(text);
}

// The resource-list target of the controller, over real tasks.
class TasksTarget final : public ResourceListTarget {
  public:
    explicit TasksTarget(FileTasks& tasks) : tasks_(tasks) {}
    void SetP2P(bool on) override {
        p2p.push_back(on);
        // Tests keep the swarm on loopback: no listener on the LAN, no multicast.
        (void)engine::SetBindAddress("127.0.0.1");
        engine::SetLanDiscovery(false);
        (void)engine::EnableP2P(on);
    }
    bool WantsSources(int index) override { return !tasks_.Done(index); }
    std::int32_t HandOver(int index, const std::vector<SourceOffer>& sources) override {
        const std::int32_t result = tasks_.ReplaceExtraSources(index, sources);
        results.push_back(result);
        return result;
    }
    std::vector<bool> p2p;
    std::vector<std::int32_t> results;

  private:
    FileTasks& tasks_;
};

class PlanTasksTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::KeepP2pOnLoopback();  // the resource list may switch P2P on
        std::filesystem::create_directories(dir_.File("www/vemo047"));
        std::filesystem::create_directories(dir_.File("save"));
        for (int i = 0; i < kFileCount; ++i) {
            const std::string n = std::to_string(i);
            WriteFile(dir_.File("www/vemo047/f" + n + ".bin"), std::string(100 + i, 'a' + i));
        }
        nginx_ = std::make_unique<test::NginxServer>(dir_.File("nginx"), dir_.File("www"),
                                                     std::vector<int>{test::FreeTcpPort()});
        ASSERT_TRUE(nginx_->Start());
        for (int i = 0; i < kFileCount; ++i) {
            PlannedFile& f = plan_.files[static_cast<std::size_t>(i)];
            f.name = "f" + std::to_string(i) + ".bin";
            f.size = 100 + static_cast<std::uint64_t>(i);
            f.md5 = std::string(31, 'c') + std::to_string(i);
            f.url = nginx_->Url(0, "/vemo047/" + f.name);
        }
        plan_.resourceListUrl = nginx_->Url(0, kListPath);
        folders_.dataFolder = dir_.File("data");
        folders_.saveFolder = dir_.File("save");
        folders_.taskIni = dir_.File("data/task.kvconf");
        for (int i = 0; i < kFileCount; ++i) {
            folders_.resumePaths[static_cast<std::size_t>(i)] =
                dir_.File("data/KVInfo/f" + std::to_string(i) + ".bin.kvinfo");
        }
        std::filesystem::create_directories(dir_.File("data/KVInfo"));
        ASSERT_EQ(engine::EngineStartup(folders_.dataFolder.c_str()), engine::kOk);
    }
    void TearDown() override { engine::EngineCleanup(); }

    std::unique_ptr<FileTasks> Tasks() {
        auto tasks = std::make_unique<FileTasks>(plan_, frontEnd_, events_, owner_);
        tasks->SetFolders(folders_);
        return tasks;
    }

    test::LogRecorder log_;
    TempDir dir_;
    std::unique_ptr<test::NginxServer> nginx_;
    DownloadPlan plan_;
    TaskFolders folders_;
    test::RecordingFrontEnd frontEnd_;
    test::RecordingEvents events_;
    test::RecordingOwner owner_;
};

TEST_F(PlanTasksTest, AFileWithoutTorrentBecomesAPlainHttpTask) {
    auto tasks = Tasks();
    tasks->SetDone(1, true);
    ASSERT_EQ(tasks->CreateFileTask(1), engine::kOk);
    const engine::TaskDescriptor d = tasks->Descriptor(1);
    EXPECT_EQ(d.callerWord, 0u);  // the slot was cleared, done flag included
    EXPECT_EQ(d.flags, kFileTaskFlags);
    EXPECT_EQ(Field(d.p2spKey), "");
    EXPECT_EQ(Field(d.targetPath), dir_.File("save/f1.bin"));
    EXPECT_EQ(Field(d.stateFilePath), folders_.resumePaths[1]);
    EXPECT_NE(tasks->Handle(1), nullptr);
    EXPECT_EQ(d.handle, tasks->Handle(1));
    EXPECT_EQ(owner_.handedOver, 1);
    EXPECT_TRUE(events_.events.empty());  // an absent torrent is no failure

    // The same file again is a duplicate for the engine; the owner hears of it all the same.
    EXPECT_EQ(tasks->CreateFileTask(1), engine::kErrDuplicateTask);
    EXPECT_EQ(tasks->Handle(1), nullptr);
    EXPECT_EQ(owner_.handedOver, 2);
}

TEST_F(PlanTasksTest, ATorrentIsWrittenToTheDataFolderAsTheP2spKey) {
    plan_.files[2].torrent = std::string("d8:announce0:4:infod6:lengthi102eee");
    auto tasks = Tasks();
    EXPECT_EQ(tasks->CreateFileTask(2), engine::kOk);
    const engine::TaskDescriptor d = tasks->Descriptor(2);
    const std::string written = folders_.dataFolder + "/" + plan_.files[2].md5;
    EXPECT_EQ(d.flags, kP2spFileTaskFlags);
    EXPECT_EQ(Field(d.p2spKey), "file://" + written);
    EXPECT_EQ(ReadFile(written), *plan_.files[2].torrent);
}

TEST_F(PlanTasksTest, ATorrentThatCannotBeWrittenDegradesToHttpAndIsReported) {
    plan_.files[3].torrent = std::string("d4:infod6:lengthi103eee");
    WriteFile(dir_.File("blocked"), "x");
    folders_.dataFolder = dir_.File("blocked/data");
    const char* previous = std::getenv("TMPDIR");
    const std::string saved = previous != nullptr ? previous : "";
    setenv("TMPDIR", dir_.File("blocked/tmp").c_str(), 1);
    auto tasks = Tasks();
    const std::int32_t created = tasks->CreateFileTask(3);
    engine::StopTask(tasks->Handle(3), false);
    const std::int32_t reloaded = tasks->ReloadFile(3, true);
    previous != nullptr ? setenv("TMPDIR", saved.c_str(), 1) : unsetenv("TMPDIR");

    EXPECT_EQ(created, engine::kOk);
    EXPECT_EQ(reloaded, engine::kOk);
    EXPECT_EQ(tasks->Descriptor(3).flags, kFileTaskFlags);
    EXPECT_TRUE(log_.Has("Torent 资源释放失败"));
    ASSERT_EQ(events_.events.size(), 2u);
    EXPECT_EQ(events_.events[0].code, "11400190");
    EXPECT_EQ(events_.events[1].code, "11400101");
    for (const UsageEvent& e : events_.events) {
        EXPECT_EQ(e.text, "KVconf资源释放失败");
    }
}

TEST_F(PlanTasksTest, AReloadKeepsTheSlotAndTellsFailureAndSuccess) {
    auto tasks = Tasks();
    ASSERT_EQ(tasks->CreateFileTask(4), engine::kOk);
    tasks->SetDone(4, true);
    const engine::TaskHandle first = tasks->Handle(4);

    // The running task makes a normal reload a duplicate: the user sees the code.
    EXPECT_EQ(tasks->ReloadFile(4, false), engine::kErrDuplicateTask);
    EXPECT_TRUE(log_.Has("Reload 失败"));
    ASSERT_EQ(frontEnd_.notices.size(), 1u);
    EXPECT_EQ(frontEnd_.notices[0].first, "ErrorCode : -105");
    EXPECT_EQ(frontEnd_.notices[0].second, "Irvane下载器");
    EXPECT_EQ(tasks->Handle(4), first);
    EXPECT_TRUE(owner_.repairResults.empty());

    // A forced reload (repair) goes through and is recorded in the task INI.
    engine::StopTask(first, false);
    EXPECT_EQ(tasks->ReloadFile(4, true), engine::kOk);
    EXPECT_TRUE(log_.Has("Reload 成功"));
    EXPECT_EQ(owner_.repairResults, std::vector<bool>{false});
    EXPECT_TRUE(tasks->Done(4));  // kept
    EXPECT_NE(tasks->Handle(4), first);
    EXPECT_EQ(platform::IniFile(folders_.taskIni).GetString("KoruvanTask", "KoruvanTask4"),
              "f4.bin");
}

TEST_F(PlanTasksTest, BadInputsNeverReachTheEngineHalfDone) {
    plan_.files[0].url.clear();
    folders_.resumePaths[1] = "/" + std::string(engine::kEngineTextSize, 'r');
    auto tasks = Tasks();
    (void)tasks->ReloadFile(0, false);
    ASSERT_FALSE(frontEnd_.notices.empty());
    EXPECT_EQ(frontEnd_.notices[0].first, "下载源出错，请验证这个下载工具的md5是否正确");
    // A path that does not fit its field would be cut to another path: refused.
    EXPECT_EQ(tasks->CreateFileTask(1), engine::kErrTaskFailed);
    EXPECT_EQ(tasks->Handle(1), nullptr);
    EXPECT_EQ(tasks->CreateFileTask(5), engine::kErrNullDescriptor);
    EXPECT_EQ(tasks->ReplaceExtraSources(2, {{"https://192.0.2.1/x", "null"}}),
              engine::kErrUnknownHandle);
}

TEST_F(PlanTasksTest, ResourceListSourcesReachTheRunningTasks) {
    WriteFile(
        dir_.File("www") + kListPath,
        "<project><configs><p2p-switch>on</p2p-switch></configs><resources>"
        "<resource id=\"1\" task=\"" +
            plan_.files[0].url +
            "\">"
            "<cdn id=\"1\" name=\"edge\" middle-dir=\"/vemo047/\" file-name=\"f0.bin\" open=\"1\">"
            "<ip>127.0.0.1:" +
            std::to_string(nginx_->Ports()[0]) +
            "</ip></cdn></resource>"
            "<resource id=\"2\" task=\"" +
            plan_.files[1].url +
            "\">"
            "<cdn id=\"2\" name=\"edge\" middle-dir=\"/vemo047/\" file-name=\"f1.bin\" open=\"1\">"
            "<ip>127.0.0.1</ip></cdn></resource>"
            "<resource id=\"3\" task=\"" +
            plan_.files[2].url +
            "\">"
            "<cdn id=\"3\" name=\"edge\" middle-dir=\"/vemo047/\" file-name=\"f2.bin\" open=\"1\">"
            "<ip>127.0.0.1</ip></cdn></resource>"
            "</resources></project>");
    auto tasks = Tasks();
    ASSERT_EQ(tasks->CreateFileTask(0), engine::kOk);
    ASSERT_EQ(tasks->CreateFileTask(2), engine::kOk);
    tasks->SetDone(2, true);  // finished: takes no sources; file 1 has no task
    TasksTarget target(*tasks);
    EXPECT_EQ(RefreshResourceList(plan_, target), kRefreshHandedOver);
    EXPECT_EQ(target.p2p, std::vector<bool>{true});
    EXPECT_EQ(target.results, (std::vector<std::int32_t>{engine::kOk, engine::kErrUnknownHandle}));
    EXPECT_TRUE(log_.Has("启用P2P功能"));
}

}  // namespace
}  // namespace koruvan::app
