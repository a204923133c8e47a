// Polls a condition with a wall-clock limit, for tests that watch another thread or process
// reach a state (nothing here runs an event loop).
#pragma once

#include <chrono>
#include <thread>

namespace koruvan::test {

// True once `done` holds; false when it still does not after `limit`.
template <typename Predicate>
bool WaitFor(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace koruvan::test
