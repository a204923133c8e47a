#include "engine/core/base/EngineLocks.h"

namespace koruvan::engine {

QTMutex& TaskRegistryLock() noexcept {
    static QTMutex lock;
    return lock;
}

}  // namespace koruvan::engine
