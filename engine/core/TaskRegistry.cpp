#include "engine/core/TaskRegistry.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "engine/core/TWorkThread.h"
#include "engine/core/base/EngineLocks.h"
#include "engine/core/base/LockGuard.h"

namespace koruvan::engine {
namespace {

std::vector<TWorkThread*> g_tasks;  // guarded by TaskRegistryLock
std::atomic<std::uintptr_t> g_nextHandle{0x1000};

}  // namespace

bool TaskRegistry::Add(TWorkThread* task) {
    LockGuard guard(&TaskRegistryLock(), true);
    if (std::find(g_tasks.begin(), g_tasks.end(), task) == g_tasks.end()) {
        g_tasks.push_back(task);
    }
    return g_tasks.size() == 1;
}

bool TaskRegistry::Remove(TWorkThread* task) {
    LockGuard guard(&TaskRegistryLock(), true);
    g_tasks.erase(std::remove(g_tasks.begin(), g_tasks.end(), task), g_tasks.end());
    return g_tasks.empty();
}

TWorkThread* TaskRegistry::FindLocked(TaskHandle handle) {
    if (handle == nullptr) {
        return nullptr;
    }
    for (TWorkThread* task : g_tasks) {
        if (task->Handle() == handle) {
            return task;
        }
    }
    return nullptr;
}

std::vector<TWorkThread*> TaskRegistry::TasksLocked() {
    return g_tasks;
}

std::size_t TaskRegistry::Count() {
    LockGuard guard(&TaskRegistryLock(), true);
    return g_tasks.size();
}

TaskHandle TaskRegistry::NewHandle() noexcept {
    return reinterpret_cast<TaskHandle>(g_nextHandle.fetch_add(1, std::memory_order_relaxed));
}

}  // namespace koruvan::engine
