#include "engine/core/StorageObserver.h"

#include "platform/File.h"

namespace koruvan::engine {

namespace storage_detail {
std::atomic<StorageObserver*> observer{nullptr};
}

void SetStorageObserver(StorageObserver* observer) noexcept {
    storage_detail::observer.store(observer, std::memory_order_release);
}

bool FlushFolderOf(const std::string& path) noexcept {
    try {
        const std::size_t slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? std::string(".")
                                   : slash == 0               ? std::string("/")
                                                              : path.substr(0, slash);
        if (!StorageAllow(StorageOp::kFolderFlush, folder) || !platform::SyncFolder(folder)) {
            return false;
        }
        StorageDone(StorageOp::kFolderFlush, folder);
        return true;
    } catch (...) {
        return false;  // out of memory for the folder name
    }
}

}  // namespace koruvan::engine
