#include "engine/core/GlobalFilter.h"

#include <atomic>
#include <mutex>

namespace koruvan::engine {
namespace {

struct FilterState {
    std::mutex lock;
    net::CIPFilter filter;  // guarded by lock
    std::string path;       // guarded by lock
    std::atomic<std::uint32_t> generation{1};
};

FilterState& State() {
    static FilterState state;
    return state;
}

// Caller holds the lock.
std::int32_t LoadLocked(FilterState& state) {
    state.filter.Clear();
    const std::int32_t loaded = state.path.empty() ? 0 : state.filter.Load(state.path);
    state.generation.fetch_add(1);
    return loaded;
}

}  // namespace

std::int32_t LoadGlobalFilter(const char* path) {
    FilterState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.path = path == nullptr ? std::string() : std::string(path);
    return LoadLocked(state);
}

void ReloadGlobalFilter(bool force) {
    FilterState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    if (force || (state.filter.Empty() && !state.path.empty())) {
        (void)LoadLocked(state);
    }
}

void RefreshFilterCopy(net::CIPFilter& copy, std::uint32_t& generation) {
    FilterState& state = State();
    if (state.generation.load() == generation) {
        return;
    }
    std::lock_guard<std::mutex> guard(state.lock);
    copy.CopyFrom(state.filter);
    generation = state.generation.load();
}

std::uint32_t GlobalFilterGeneration() noexcept {
    return State().generation.load();
}

}  // namespace koruvan::engine
