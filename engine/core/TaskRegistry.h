// The engine's registry of live tasks, in creation order, guarded by TaskRegistryLock.
// A handle is valid while its task is registered.
#pragma once

#include <vector>

#include "engine/core/TaskRecords.h"

namespace koruvan::engine {

class TWorkThread;

class TaskRegistry {
  public:
    // Adds a task (no duplicates); true when it is the first one. Takes TaskRegistryLock.
    static bool Add(TWorkThread* task);
    // Removes a task; true when the registry is empty afterwards. Takes TaskRegistryLock.
    static bool Remove(TWorkThread* task);
    // The task of a handle, or null. The caller holds TaskRegistryLock.
    static TWorkThread* FindLocked(TaskHandle handle);
    // A copy of the registry. The caller holds TaskRegistryLock.
    static std::vector<TWorkThread*> TasksLocked();
    static std::size_t Count();
    // A handle value never given out before.
    static TaskHandle NewHandle() noexcept;
};

}  // namespace koruvan::engine
