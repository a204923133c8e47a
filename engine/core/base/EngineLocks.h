// Engine-wide locks shared by several subsystems.
#pragma once

#include "engine/core/base/Mutex.h"

namespace koruvan::engine {

// Guards the task registry and the other engine-wide task tables (bandwidth sharing,
// incoming-peer hashes, the clock thread pointer). Lock order: the engine call lock, then
// this, then a task's thread lock; never held while waiting for a thread to stop.
QTMutex& TaskRegistryLock() noexcept;

}  // namespace koruvan::engine
