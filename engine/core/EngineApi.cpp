#include "engine/core/EngineApi.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <arpa/inet.h>

#include "engine/core/EngineDht.h"
#include "engine/core/EngineState.h"
#include "engine/core/GlobalFilter.h"
#include "engine/core/TWorkThread.h"
#include "engine/core/TaskRegistry.h"
#include "engine/core/base/EngineClock.h"
#include "engine/core/base/EngineLocks.h"
#include "engine/core/base/KoruvanLog.h"
#include "engine/core/base/LockGuard.h"
#include "engine/dht/CKademlia.h"
#include "engine/dht/UdpServerStart.h"
#include "engine/peers/IpAddress.h"
#include "platform/DiskSpace.h"

namespace koruvan::engine {
namespace {

constexpr std::uint32_t kCopiedFlags =
    kFlagP2spTask | kFlagBtTask | kFlagRecorded | kFlagFullPath | kFlagTrustExisting;
constexpr std::uint32_t kStopPollMs = 50;

QTMutex& EngineApiLock() noexcept {
    static QTMutex lock;
    return lock;
}

// A fixed text field that may lack its terminator.
std::string FieldText(const char (&field)[kEngineTextSize]) {
    const char* end = static_cast<const char*>(std::memchr(field, '\0', kEngineTextSize));
    return std::string(field, end != nullptr ? end : field + kEngineTextSize);
}

// The task of a handle; the registry lock is released before the task is used. Tasks are
// deleted only under the engine call lock, which every caller of this holds.
TWorkThread* FindTask(TaskHandle handle) {
    LockGuard guard(&TaskRegistryLock(), true);
    return TaskRegistry::FindLocked(handle);
}

bool SharesManySources(const std::vector<SourceEntry>& mine,
                       const std::vector<SourceEntry>& theirs) {
    if (mine.empty()) {
        return false;
    }
    std::size_t shared = 0;
    for (const auto& line : mine) {
        if (std::any_of(theirs.begin(), theirs.end(),
                        [&](const SourceEntry& e) { return e.text == line.text; })) {
            ++shared;
        }
    }
    return shared > 0 && mine.size() / shared <= 2;
}

bool IsDuplicateOf(TWorkThread& task, TWorkThread& other) {
    LockGuard guard(&other.ThreadLock(), true);
    if (task.HasFullPath() && other.HasFullPath() && task.TargetFile() == other.TargetFile()) {
        return true;
    }
    if (!task.IsHttpTask() && !other.IsHttpTask() && task.Key() == other.Key()) {
        return true;
    }
    return SharesManySources(task.SourceEntries(), other.SourceEntries());
}

bool IsDuplicate(TWorkThread& task) {
    LockGuard guard(&TaskRegistryLock(), true);
    for (TWorkThread* other : TaskRegistry::TasksLocked()) {
        if (other != &task && IsDuplicateOf(task, *other)) {
            return true;
        }
    }
    return false;
}

void Configure(TWorkThread& task, const TaskDescriptor& d, bool recover) {
    const auto lines = SplitSourceLines(d.sourceList);
    task.SetSourceEntries(lines);
    task.SetStateFilePath(FieldText(d.stateFilePath));
    task.SetTargetFolder(FieldText(d.targetPath));
    task.SetFlags(d.flags & (recover ? kCopiedFlags & ~kFlagRecorded : kCopiedFlags));
    if ((d.flags & kFlagP2spTask) != 0) {
        task.SetKey(FieldText(d.p2spKey));
        task.SetLabel("P2SP Task");
    } else if ((d.flags & kFlagBtTask) != 0) {
        task.SetKey(lines.empty() ? std::string() : lines.front());
        task.MarkFirstSourceAsMetainfo();
        task.SetLabel("BT Task");
    } else {
        task.SetLabel("HTTP Task");
    }
    if ((d.flags & kFlagFullPath) != 0) {
        task.SetTargetFile(FieldText(d.targetPath));
    }
}

std::int32_t MakeTask(TaskDescriptor* d, bool recover, bool force) {
    if (d == nullptr) {
        return kErrNullDescriptor;
    }
    LockGuard api(&EngineApiLock(), true);
    std::unique_ptr<TWorkThread> task;
    try {
        task.reset(new TWorkThread);
    } catch (const std::bad_alloc&) {
        return kErrAllocation;
    }
    try {
        Configure(*task, *d, recover);
        if (!(recover && force) && IsDuplicate(*task)) {
            return kErrDuplicateTask;  // the new task is deleted on return
        }
        d->handle = task->Handle();
        char line[kEngineTextSize + 128];
        std::snprintf(line, sizeof line, "%s %s, Download, ID : %lu] [Target File : (%s) ",
                      recover ? "Recover" : "Create", task->Label().c_str(),
                      static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(task->Handle())),
                      task->TargetFile().c_str());
        task.release();
        WriteLog(line, 23, 23);
        return kOk;
    } catch (...) {
        return kErrTaskFailed;
    }
}

// Runs a task operation under the engine call lock with the handle check and catch-all.
template <typename Operation>
std::int32_t WithTask(TaskHandle handle, Operation&& operation) noexcept {
    try {
        LockGuard api(&EngineApiLock(), true);
        TWorkThread* task = FindTask(handle);
        if (task == nullptr) {
            return kErrUnknownHandle;
        }
        try {
            return operation(*task);
        } catch (...) {
            return kErrTaskFailed;
        }
    } catch (...) {
        return kErrTaskFailed;
    }
}

void ApplyStartOptions(TWorkThread& task, const TaskStartOptions& options) {
    task.SetExpectedSize(options.expectedSize);
    if (options.downloadLimitKiB > 0) {
        (void)task.SetSpeedLimit(1, options.downloadLimitKiB);
    }
}

void AfterStop(TWorkThread& task, bool reset) {
    task.ReleaseSourceEntries(!task.TorrentBlob().data.empty());
    if (reset) {
        task.Reset(false, false);
    }
}

}  // namespace

std::int32_t EngineStartup(const char* workFolder) noexcept {
    try {
        LockGuard api(&EngineApiLock(), true);
        EngineState& engine = Engine();
        if (engine.started.load()) {
            return kOk;
        }
        // Sockets report a closed peer as an error, never as a signal that ends the process.
        std::signal(SIGPIPE, SIG_IGN);
        if (workFolder != nullptr) {
            engine.workFolder.assign(
                workFolder, std::min<std::size_t>(std::strlen(workFolder), kEngineTextSize - 1));
        }
        engine.started.store(true);
        return kOk;
    } catch (...) {
        return kErrTaskFailed;
    }
}

std::int32_t EngineCleanup() noexcept {
    try {
        LockGuard api(&EngineApiLock(), true);
        EngineState& engine = Engine();
        if (!engine.started.load()) {
            return kOk;
        }
        std::vector<TWorkThread*> tasks;
        {
            LockGuard guard(&TaskRegistryLock(), true);
            tasks = TaskRegistry::TasksLocked();
        }
        for (TWorkThread* task : tasks) {
            delete task;
        }
        StopEngineServices();
        StopEngineClock();
        engine.started.store(false);
        return kOk;
    } catch (...) {
        return kErrTaskFailed;
    }
}

std::int32_t CreateTask(TaskDescriptor* descriptor) noexcept {
    return MakeTask(descriptor, false, false);
}

std::int32_t RecoverTask(TaskDescriptor* descriptor, bool force) noexcept {
    return MakeTask(descriptor, true, force);
}

std::int32_t CreateAndStartTask(TaskDescriptor* descriptor) noexcept {
    return CreateAndStartTask(descriptor, TaskStartOptions{});
}

std::int32_t CreateAndStartTask(TaskDescriptor* descriptor,
                                const TaskStartOptions& options) noexcept {
    const std::int32_t created = CreateTask(descriptor);
    if (created != kOk) {
        return created;
    }
    const std::int32_t started = WithTask(descriptor->handle, [&options](TWorkThread& task) {
        ApplyStartOptions(task, options);
        return task.StartDownload();
    });
    return started == kOk ? kOk : kErrTaskFailed;
}

std::int32_t RecoverAndContinueTask(TaskDescriptor* descriptor, bool force) noexcept {
    return RecoverAndContinueTask(descriptor, force, TaskStartOptions{});
}

std::int32_t RecoverAndContinueTask(TaskDescriptor* descriptor, bool force,
                                    const TaskStartOptions& options) noexcept {
    const std::int32_t created = RecoverTask(descriptor, force);
    if (created != kOk) {
        return created;
    }
    const std::int32_t started = WithTask(descriptor->handle, [&options](TWorkThread& task) {
        ApplyStartOptions(task, options);
        return task.ContinueDownload();
    });
    return started == kOk ? kOk : kErrTaskFailed;
}

std::int32_t StopTask(TaskHandle handle, bool reset) noexcept {
    return WithTask(handle, [reset](TWorkThread& task) {
        task.Stop(true);
        AfterStop(task, reset);
        return kOk;
    });
}

std::int32_t StopTasks(const TaskHandle* handles, std::int32_t count, bool reset,
                       std::int32_t* results) noexcept {
    if (handles == nullptr || count <= 0) {
        return kOk;
    }
    try {
        std::vector<std::int32_t> own;
        if (results == nullptr) {
            own.resize(static_cast<std::size_t>(count));
            results = own.data();
        }
        LockGuard api(&EngineApiLock(), true);
        const auto n = static_cast<std::size_t>(count);
        std::vector<TWorkThread*> tasks(n, nullptr);
        std::vector<std::uint32_t> ids(n, 0);
        for (std::size_t i = 0; i < n; ++i) {
            tasks[i] = FindTask(handles[i]);
            results[i] = tasks[i] == nullptr ? kErrUnknownHandle : kOk;
            if (tasks[i] != nullptr) {
                tasks[i]->RequestStop(&ids[i]);
            }
        }
        for (bool pending = true; pending;) {
            pending = false;
            for (std::size_t i = 0; i < n; ++i) {
                if (tasks[i] == nullptr) {
                    continue;
                }
                try {
                    if (!tasks[i]->HasStopped(ids[i])) {
                        pending = true;
                        continue;
                    }
                    AfterStop(*tasks[i], reset);
                } catch (...) {
                    results[i] = kErrTaskFailed;
                }
                tasks[i] = nullptr;
            }
            if (pending) {
                SleepMs(kStopPollMs);
            }
        }
    } catch (...) {
    }
    return kOk;
}

std::int32_t RestartTask(TaskHandle handle) noexcept {
    return WithTask(handle, [](TWorkThread& task) { return task.StartDownload(); });
}

std::int32_t QueryTask(TaskHandle handle, TaskProgress* progress) noexcept {
    if (progress == nullptr) {
        return kErrNullDescriptor;
    }
    return WithTask(handle, [progress](TWorkThread& task) { return task.QueryProgress(progress); });
}

std::int32_t QueryTaskProblem(TaskHandle handle, char* buffer, std::int32_t size) noexcept {
    return WithTask(handle,
                    [buffer, size](TWorkThread& task) { return task.QueryProblem(buffer, size); });
}

std::int32_t IsTaskComplete(TaskHandle handle, std::int32_t* done) noexcept {
    if (done == nullptr) {
        return kErrNullDescriptor;
    }
    return WithTask(handle, [done](TWorkThread& task) {
        *done = task.IsComplete() ? 1 : 0;
        return kOk;
    });
}

std::int32_t SetTaskSpeedLimit(TaskHandle handle, std::int32_t which,
                               std::int32_t kibPerSecond) noexcept {
    return WithTask(handle, [which, kibPerSecond](TWorkThread& task) {
        return task.SetSpeedLimit(which, kibPerSecond);
    });
}

std::int32_t SetTaskConnectionLimits(TaskHandle handle, std::int32_t maxWebSources,
                                     std::int32_t maxPeers) noexcept {
    return WithTask(handle, [=](TWorkThread& task) {
        return task.SetConnectionLimits(maxWebSources, maxPeers);
    });
}

// No engine call lock here (the controller polls it often); the registry lock keeps the
// task alive while it is read, which also protects against a handle of a deleted task.
std::int32_t GetTaskBitfieldSize(TaskHandle handle) noexcept {
    try {
        LockGuard guard(&TaskRegistryLock(), true);
        TWorkThread* task = TaskRegistry::FindLocked(handle);
        return task == nullptr ? kBitfieldError : task->BitfieldSize();
    } catch (...) {
        return kBitfieldError;
    }
}

std::int32_t GetTaskBitfield(TaskHandle handle, void* buffer, std::int32_t size) noexcept {
    const std::int32_t result = WithTask(
        handle, [buffer, size](TWorkThread& task) { return task.CopyBitfield(buffer, size); });
    return (result == kErrUnknownHandle || result == kErrTaskFailed) ? kBitfieldError : result;
}

std::int32_t SetTaskSourceLists(TaskHandle handle, const char* listA, const char* listB) noexcept {
    return WithTask(handle, [=](TWorkThread& task) {
        task.SetSourceLists(listA, listB);
        return kOk;
    });
}

std::int32_t ClearTaskSourceLists(TaskHandle handle) noexcept {
    return WithTask(handle, [](TWorkThread& task) {
        task.ClearSourceLists();
        return kOk;
    });
}

std::int32_t SetListenPort(std::int32_t port) noexcept {
    Engine().listenPort.store(port);
    return kOk;
}

std::int32_t EnableP2P(bool on) noexcept {
    Engine().p2pEnabled.store(on);
    return kOk;
}

void SetBtPeerFlag(std::int32_t value) noexcept {
    Engine().btPeerFlag.store(value);
}

std::int32_t SetBindAddress(const char* dottedIpv4) noexcept {
    if (dottedIpv4 == nullptr || *dottedIpv4 == '\0') {
        Engine().bindAddress.store(0);
        return kOk;
    }
    in_addr parsed{};
    if (std::strlen(dottedIpv4) > 15 || inet_pton(AF_INET, dottedIpv4, &parsed) != 1 ||
        !IsValidIp(parsed.s_addr)) {
        return kErrNullDescriptor;
    }
    Engine().bindAddress.store(parsed.s_addr);
    return kOk;
}

void SetLanDiscovery(bool on) noexcept {
    Engine().lanDiscovery.store(on);
}

std::int32_t LoadIpFilter(const char* path) noexcept {
    try {
        return LoadGlobalFilter(path);
    } catch (...) {
        return -1;
    }
}

std::int32_t QueryTaskSwarm(TaskHandle handle, TaskSwarm* out) noexcept {
    if (out == nullptr) {
        return kErrNullDescriptor;
    }
    return WithTask(handle, [out](TWorkThread& task) { return task.QuerySwarm(out); });
}

std::int32_t SetRendezvousServer(const char* host, std::int32_t port) noexcept {
    return SetUdpRendezvous(host, port) == 0 ? kOk : -1;
}

std::int32_t SetUdpPort(std::int32_t port) noexcept {
    return SetUdpLocalPort(port) == 0 ? kOk : -1;
}

std::uint64_t GetDiskFreeBytes(const char* path) noexcept {
    return path == nullptr ? 0 : platform::FreeBytes(path);
}

std::int32_t SetDhtEnabled(bool on) noexcept {
    SetDhtSwitch(on);
    return kOk;
}

std::int32_t SetDhtBootstrap(const char* list) noexcept {
    try {
        SetDhtBootstrapList(list == nullptr ? std::string() : std::string(list));
        return kOk;
    } catch (...) {
        return kErrAllocation;
    }
}

std::int32_t QueryDhtTableSize() noexcept {
    return DhtTableSize();
}

std::int32_t QueryDhtNodeFile(const char* path) noexcept {
    try {
        return CKademlia::NodeFileContacts(path != nullptr ? std::string(path)
                                                           : CKademlia::DefaultNodeFilePath());
    } catch (...) {
        return -1;
    }
}

std::int64_t GetFileAllocatedBytes(const char* path) noexcept {
    return path == nullptr ? -1 : platform::AllocatedBytes(path);
}

}  // namespace koruvan::engine
