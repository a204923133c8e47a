// Intrusive reference count shared by peers, piece maps, peer identities and torrents.
// A new object holds one reference; holders call Release, never delete.
#pragma once

#include <atomic>
#include <cstdint>

namespace koruvan::engine {

class TRefObject {
public:
    TRefObject() noexcept = default;
    TRefObject(const TRefObject&) = delete;
    TRefObject& operator=(const TRefObject&) = delete;

    std::int32_t AddRef() noexcept { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }

    // Drops one reference and deletes the object when it was the last; returns the count left.
    std::int32_t Release() noexcept {
        const std::int32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    std::int32_t RefCount() const noexcept { return refs_.load(std::memory_order_relaxed); }

protected:
    virtual ~TRefObject() = default;

private:
    std::atomic<std::int32_t> refs_{1};
};

}  // namespace koruvan::engine
