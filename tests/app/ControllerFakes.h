// Seams of the download controller for its tests: an engine whose tasks report exactly what
// a test scripts, a clock whose sleeps return at once, and a harness that builds a
// controller over them with a recording front end and event sink, in a temporary folder.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "AppRecorders.h"
#include "app/Base64.h"
#include "app/DownloadController.h"
#include "app/EngineCalls.h"
#include "app/Md5.h"
#include "platform/Clock.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"

namespace koruvan::test {

// Sleeps return at once and move the clock on.
class InstantClock final : public platform::TimeSource {
  public:
    std::uint32_t TickCount() noexcept override { return static_cast<std::uint32_t>(ms_.load()); }
    std::int64_t WallSeconds() noexcept override {
        return 1'750'000'000 + static_cast<std::int64_t>(ms_.load() / 1000);
    }
    void SleepMs(std::uint32_t ms) noexcept override {
        ms_ += ms;
        std::this_thread::yield();
    }

  private:
    std::atomic<std::uint64_t> ms_{1000};
};

// An engine whose tasks do nothing by themselves: their progress records, completion and
// failures are what the test sets. Handles are task numbers from 1 on.
class ScriptedEngine final : public app::EngineCalls {
  public:
    struct Task {
        std::string target;
        std::uint32_t flags = 0;
        bool recovered = false;
        bool force = false;
        engine::TaskProgress progress{};
        bool complete = false;
        bool answers = true;  // QueryTask succeeds
        std::int32_t speedLimit = -1;
        std::int32_t uploadLimit = -1;
        std::int32_t webLimit = -1;
        std::int32_t peerLimit = -1;
        int stops = 0;
        int restarts = 0;
        std::string extraSources;  // one URL a line, as the resource list offered them
        std::string extraHosts;
        app::SwarmFigures swarm;
    };

    // --- scripting (any thread) ---
    // The newest task whose target is the file `name`; null when none.
    Task* ForFile(const std::string& name) {
        for (auto it = tasks_.rbegin(); it != tasks_.rend(); ++it) {
            const std::string& t = it->target;
            if (t.size() > name.size() &&
                t.compare(t.size() - name.size(), name.size(), name) == 0 &&
                t[t.size() - name.size() - 1] == '/') {
                return &*it;
            }
        }
        return nullptr;
    }
    template <typename F>
    void With(const std::string& name, F&& change) {
        std::lock_guard<std::mutex> guard(lock);
        if (Task* t = ForFile(name)) {
            change(*t);
        }
    }
    void SetProgress(const std::string& name, std::int32_t progress, std::int32_t rate,
                     std::uint32_t totalKiB = 10 * 1024) {
        With(name, [&](Task& t) {
            t.progress.progress = progress;
            t.progress.currentRate = rate;
            t.progress.totalSizeKiB = totalKiB;
            t.progress.bytesDone =
                std::uint64_t{totalKiB} * 1024 * static_cast<std::uint64_t>(progress) / 10000;
        });
    }
    void SetCode(const std::string& name, std::int32_t code) {
        With(name, [&](Task& t) { t.progress.stateCode = code; });
    }
    void Complete(const std::string& name) {
        With(name, [&](Task& t) {
            t.complete = true;
            t.progress.progress = 10000;
            t.progress.currentRate = 0;
        });
    }
    std::size_t TaskCount() {
        std::lock_guard<std::mutex> guard(lock);
        return tasks_.size();
    }
    Task Copy(const std::string& name) {
        std::lock_guard<std::mutex> guard(lock);
        Task* t = ForFile(name);
        return t != nullptr ? *t : Task{};
    }

    // --- engine calls ---
    std::int32_t EngineStartup(const char*) noexcept override {
        std::lock_guard<std::mutex> guard(lock);
        ++startups;
        return startupResult;
    }
    std::int32_t EngineCleanup() noexcept override {
        std::lock_guard<std::mutex> guard(lock);
        ++cleanups;
        return 0;
    }
    std::int32_t CreateAndStartTask(engine::TaskDescriptor* d,
                                    const engine::TaskStartOptions&) noexcept override {
        return Make(d, false, false);
    }
    std::int32_t RecoverAndContinueTask(engine::TaskDescriptor* d, bool force,
                                        const engine::TaskStartOptions&) noexcept override {
        return Make(d, true, force);
    }
    std::int32_t QueryTaskProblem(engine::TaskHandle, char* buffer,
                                  std::int32_t size) noexcept override {
        std::lock_guard<std::mutex> guard(lock);
        if (buffer != nullptr && size > 0) {
            std::snprintf(buffer, static_cast<std::size_t>(size), "%s", problem.c_str());
        }
        return static_cast<std::int32_t>(problem.size());
    }
    std::int32_t StopTask(engine::TaskHandle h, bool) noexcept override {
        std::lock_guard<std::mutex> guard(lock);
        Task* t = Find(h);
        if (t == nullptr) {
            return engine::kErrUnknownHandle;
        }
        ++t->stops;
        return 0;
    }
    std::int32_t StopTasks(const engine::TaskHandle* handles, std::int32_t count, bool,
                           std::int32_t*) noexcept override {
        std::lock_guard<std::mutex> guard(lock);
        stopCalls.emplace_back(handles, handles + count);
        for (std::int32_t i = 0; i < count; ++i) {
            if (Task* t = Find(handles[i])) {
                ++t->stops;
            }
        }
        return 0;
    }
    std::int32_t RestartTask(engine::TaskHandle h) noexcept override {
        std::lock_guard<std::mutex> guard(lock);
        Task* t = Find(h);
        if (t == nullptr) {
            return engine::kErrUnknownHandle;
        }
        ++t->restarts;
        return 0;
    }
    std::int32_t QueryTask(engine::TaskHandle h, engine::TaskProgress* p) noexcept override {
        std::lock_guard<std::mutex> guard(lock);
        ++queries;
        Task* t = Find(h);
        if (t == nullptr || !t->answers) {
            return engine::kErrUnknownHandle;
        }
        *p = t->progress;
        return 0;
    }
    std::int32_t IsTaskComplete(engine::TaskHandle h, std::int32_t* done) noexcept override {
        std::lock_guard<std::mutex> guard(lock);
        Task* t = Find(h);
        if (t == nullptr) {
            return engine::kErrUnknownHandle;
        }
        *done = t->complete ? 1 : 0;
        return 0;
    }
    std::int32_t SetTaskSpeedLimit(engine::TaskHandle h, std::int32_t which,
                                   std::int32_t kib) noexcept override {
        std::lock_guard<std::mutex> guard(lock);
        Task* t = Find(h);
        if (t == nullptr) {
            return engine::kErrUnknownHandle;
        }
        (which == app::kUploadLimitSelector ? t->uploadLimit : t->speedLimit) = kib;
        return 0;
    }
    std::int32_t SetTaskConnectionLimits(engine::TaskHandle h, std::int32_t a,
                                         std::int32_t b) noexcept override {
        std::lock_guard<std::mutex> guard(lock);
        Task* t = Find(h);
        if (t == nullptr) {
            return engine::kErrUnknownHandle;
        }
        t->webLimit = a;
        t->peerLimit = b;
        ++connectionCalls;
        return 0;
    }
    std::int32_t SetTaskSourceLists(engine::TaskHandle h, const char* a,
                                    const char* b) noexcept override {
        std::lock_guard<std::mutex> guard(lock);
        Task* t = Find(h);
        if (t == nullptr) {
            return engine::kErrUnknownHandle;
        }
        t->extraSources = a != nullptr ? a : "";
        t->extraHosts = b != nullptr ? b : "";
        return 0;
    }
    std::int32_t ClearTaskSourceLists(engine::TaskHandle) noexcept override { return 0; }
    std::int32_t SetListenPort(std::int32_t port) noexcept override {
        listenPort = port;
        return 0;
    }
    std::int32_t EnableP2P(bool on) noexcept override {
        p2p = on;
        return 0;
    }
    void SetBtPeerFlag(std::int32_t value) noexcept override { btPeerFlag = value; }
    std::int32_t SetBindAddress(const char* address) noexcept override {
        std::lock_guard<std::mutex> guard(lock);
        p2pCalls.push_back("bind " + std::string(address != nullptr ? address : "(null)"));
        return bindResult;
    }
    void SetLanDiscovery(bool on) noexcept override {
        std::lock_guard<std::mutex> guard(lock);
        p2pCalls.push_back(on ? "lan 1" : "lan 0");
    }
    std::int32_t LoadIpFilter(const char* path) noexcept override {
        std::lock_guard<std::mutex> guard(lock);
        p2pCalls.push_back("filter " + std::string(path));
        return filterResult;
    }
    std::int32_t QueryTaskSwarm(engine::TaskHandle h, app::SwarmFigures* swarm) noexcept override {
        std::lock_guard<std::mutex> guard(lock);
        Task* t = Find(h);
        if (t == nullptr) {
            return engine::kErrUnknownHandle;
        }
        *swarm = t->swarm;
        return 0;
    }
    std::uint64_t GetDiskFreeBytes(const char*) noexcept override { return freeBytes.load(); }
    std::int64_t GetFileAllocatedBytes(const char*) noexcept override {
        return allocatedBytes.load();
    }

    std::mutex lock;
    std::string problem;  // every task's QueryTaskProblem text
    std::int32_t startupResult = 0;
    std::int32_t createResult = 0;
    std::deque<std::int32_t> recoverResults;  // results of the next recoveries (0 after)
    std::function<void(Task&)> onRecover;     // runs under the lock for each recovered task
    std::atomic<std::uint64_t> freeBytes{std::uint64_t{1} << 50};
    std::atomic<std::int64_t> allocatedBytes{0};
    std::atomic<bool> p2p{true};
    std::atomic<int> btPeerFlag{0};
    std::atomic<int> listenPort{-1};
    std::int32_t bindResult = 0;
    std::int32_t filterResult = 3;
    std::vector<std::string> p2pCalls;  // the P2P service settings, in order (under lock)
    int startups = 0;
    int cleanups = 0;
    int queries = 0;
    int connectionCalls = 0;
    std::vector<std::vector<engine::TaskHandle>> stopCalls;

  private:
    Task* Find(engine::TaskHandle h) {
        const auto n = reinterpret_cast<std::uintptr_t>(h);
        return n >= 1 && n <= tasks_.size() ? &tasks_[n - 1] : nullptr;
    }
    std::int32_t Make(engine::TaskDescriptor* d, bool recover, bool force) {
        std::lock_guard<std::mutex> guard(lock);
        std::int32_t result = createResult;
        if (recover) {
            result = recoverResults.empty() ? 0 : recoverResults.front();
            if (!recoverResults.empty()) {
                recoverResults.pop_front();
            }
        }
        if (result != 0) {
            return result;
        }
        Task t;
        t.target = d->targetPath;
        t.flags = d->flags;
        t.recovered = recover;
        t.force = force;
        tasks_.push_back(t);
        if (recover && onRecover) {
            onRecover(tasks_.back());
        }
        d->handle =
            reinterpret_cast<engine::TaskHandle>(static_cast<std::uintptr_t>(tasks_.size()));
        return 0;
    }

    std::deque<Task> tasks_;  // guarded by lock; stable addresses
};

// A plan of five small files served nowhere, with the telemetry configuration it needs.
inline app::DownloadPlan TestPlan(std::uint64_t size = 10 * 1024 * 1024) {
    app::DownloadPlan plan;
    plan.secConfigUrl = "http://127.0.0.1:9/sec.xml";
    plan.resourceListUrl = "http://127.0.0.1:9/list.xml";
    const char* names[] = {"setup.exe", "data.001.cab", "data.002.cab", "data.003.cab",
                           "data.004.cab"};
    for (int i = 0; i < app::kFileCount; ++i) {
        app::PlannedFile& f = plan.files[static_cast<std::size_t>(i)];
        f.name = names[i];
        f.size = size;
        f.md5 = app::Md5Hex("content of " + f.name);
        f.url = "http://127.0.0.1:9/vemo047/" + f.name;
    }
    plan.telemetryConfig =
        app::Base64Encode("[SubmitEventDownload]\nSubmitUrl=http://127.0.0.1:9/s\n");
    return plan;
}

// A controller over the scripted engine in a temporary folder.
class ControllerHarness {
  public:
    explicit ControllerHarness(app::DownloadPlan p = TestPlan()) : plan(std::move(p)) {
        env.engine = &engine;
        env.clock = &clock;
        env.dataRoot = dir.File("data");
        env.linkFileFolder = dir.Path();
        env.probeVolume = [this](const std::string&) {
            std::lock_guard<std::mutex> guard(seamLock);
            return volume;
        };
        env.defaultSaveFolder = [this] { return dir.File("default/vemo221047"); };
        env.openInstaller = [this](const std::string& path, const std::string& folder) {
            std::lock_guard<std::mutex> guard(seamLock);
            launches.emplace_back(path, folder);
            return launchResult;
        };
        env.scheduleShutdown = [this](std::string_view message) {
            std::lock_guard<std::mutex> guard(seamLock);
            shutdowns.emplace_back(message);
            return true;
        };
        std::filesystem::create_directories(dir.File("save"));
    }
    ~ControllerHarness() {
        if (controller) {
            controller->OnExit();
        }
    }

    // Builds the controller and runs its start-up; the save folder becomes dir/save.
    app::DownloadController& Start(bool setSaveFolder = true) {
        controller = std::make_unique<app::DownloadController>(plan, front, events, env);
        initResult = controller->Initialise();
        if (setSaveFolder) {
            controller->SetSaveFolder(SaveFolder());
        }
        return *controller;
    }
    std::string SaveFolder() const { return dir.File("save"); }
    std::string Target(int i) const {
        return SaveFolder() + "/" + plan.files[static_cast<std::size_t>(i)].name;
    }
    const std::string& Name(int i) const { return plan.files[static_cast<std::size_t>(i)].name; }
    std::string TaskIni() const {
        return dir.File("data/Koruvan" + plan.files[0].md5 + "/" + plan.files[0].md5 + ".kvconf");
    }
    // Start pressed in a fresh start: five scripted tasks.
    app::DownloadController& Downloading(std::int32_t rate = 200000) {
        app::DownloadController& c = Start();
        c.PrimaryAction();
        for (int i = 0; i < app::kFileCount; ++i) {
            engine.SetProgress(Name(i), 100, rate / app::kFileCount);
        }
        (void)c.SpeedText();
        return c;
    }

    // The content of file `i` as the plan's digest expects it.
    std::string Content(int i) const { return "content of " + Name(i); }
    // Every task completes with its file on disk as planned, and the download ends: the MD5
    // check of the files no torrent vouches for runs on a thread of its own and is waited
    // for (these plans have no torrents: all five are checked).
    void CompleteAll(app::DownloadController& c) {
        for (int i = 0; i < app::kFileCount; ++i) {
            WriteFile(Target(i), Content(i));
            engine.Complete(Name(i));
        }
        c.Tick();
        (void)WaitUntilChecked(c);
        c.Reconcile();
    }
    // True once no MD5 check runs (the download's own check included).
    static bool WaitUntilChecked(app::DownloadController& c) {
        return WaitFor([&c] {
            return !c.VerificationRunning() && c.State() != app::ControllerState::Md5Checking &&
                   c.State() != app::ControllerState::CheckRecover;
        });
    }

    TempDir dir;
    LogRecorder log;
    ScriptedEngine engine;
    InstantClock clock;
    RecordingFrontEnd front;
    RecordingEvents events;
    app::DownloadPlan plan;
    app::ControllerEnvironment env;
    std::unique_ptr<app::DownloadController> controller;
    int initResult = 0;

    std::mutex seamLock;
    app::VolumeMode volume{false, true};
    int launchResult = 42;
    std::vector<std::pair<std::string, std::string>> launches;
    std::vector<std::string> shutdowns;
};

}  // namespace koruvan::test
