// A seam for tests in the storage layer's file operations: every change of a target file
// or piece cache (write, length change), every data flush, rename and folder flush is shown
// to an observer first, which may refuse it (the operation then fails as on a dead disk),
// and told when it succeeded. A power-cut test keeps what each file held at its last flush
// and throws away everything later.
//
// No observer is set in production: each operation then costs one relaxed load of a null
// pointer next to its system call.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace koruvan::engine {

enum class StorageOp : std::uint8_t {
    kWrite,       // `path`: data written or the length changed
    kFlush,       // `path`: its data forced to the disk
    kRename,      // `path` renamed to `to`
    kFolderFlush  // `path` is a folder whose entries (renames into it) were forced to the disk
};

class StorageObserver {
  public:
    // Before the operation; false makes it fail without touching the disk.
    [[nodiscard]] virtual bool Before(StorageOp op, const std::string& path,
                                      const std::string& to) = 0;
    // After the operation succeeded.
    virtual void After(StorageOp op, const std::string& path, const std::string& to) = 0;

  protected:
    ~StorageObserver() = default;
};

namespace storage_detail {
extern std::atomic<StorageObserver*> observer;
}

// Sets (or with nullptr removes) the observer of every storage operation in the process.
void SetStorageObserver(StorageObserver* observer) noexcept;

[[nodiscard]] inline StorageObserver* CurrentStorageObserver() noexcept {
    return storage_detail::observer.load(std::memory_order_relaxed);
}

// The checks around one operation: `Allow` before it, `Done` after it succeeded.
[[nodiscard]] inline bool StorageAllow(StorageOp op, const std::string& path,
                                       const std::string& to = {}) {
    StorageObserver* o = CurrentStorageObserver();
    return o == nullptr || o->Before(op, path, to);
}
inline void StorageDone(StorageOp op, const std::string& path, const std::string& to = {}) {
    if (StorageObserver* o = CurrentStorageObserver()) {
        o->After(op, path, to);
    }
}

// Flushes the folder holding `path` (through the observer), so that a rename into it
// survives a power cut. False when the flush failed or was refused.
bool FlushFolderOf(const std::string& path) noexcept;

}  // namespace koruvan::engine
