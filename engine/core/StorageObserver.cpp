#include "engine/core/StorageObserver.h"

namespace koruvan::engine {

namespace storage_detail {
std::atomic<StorageObserver*> observer{nullptr};
}

void SetStorageObserver(StorageObserver* observer) noexcept {
    storage_detail::observer.store(observer, std::memory_order_release);
}

}  // namespace koruvan::engine
