#include "engine/core/base/ThreadId.h"

#include <atomic>

namespace koruvan::engine {
namespace {

std::atomic<std::uint32_t> g_nextId{1};
thread_local std::uint32_t t_id = 0;

}  // namespace

std::uint32_t AllocateThreadId() noexcept {
    std::uint32_t id = g_nextId.fetch_add(1, std::memory_order_relaxed);
    if (id == 0) {  // after 2^32 threads; skip the "no thread" value
        id = g_nextId.fetch_add(1, std::memory_order_relaxed);
    }
    return id;
}

std::uint32_t CurrentThreadId() noexcept {
    if (t_id == 0) {
        t_id = AllocateThreadId();
    }
    return t_id;
}

void AdoptThreadId(std::uint32_t id) noexcept {
    t_id = id;
}

}  // namespace koruvan::engine
