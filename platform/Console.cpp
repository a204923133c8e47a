#include "platform/Console.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace koruvan::platform {
namespace {

std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "used from a signal handler");

void OnInterrupt(int signal) {
    if (signal == SIGINT && g_interrupted.load()) {
        _exit(130);
    }
    g_interrupted.store(true);
}

}  // namespace

bool IsTerminal(StandardStream stream) noexcept {
    return isatty(stream == StandardStream::Output ? STDOUT_FILENO : STDERR_FILENO) == 1;
}

void CatchInterrupts() noexcept {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
}

bool Interrupted() noexcept {
    return g_interrupted.load();
}

void ClearInterrupt() noexcept {
    g_interrupted.store(false);
}

}  // namespace koruvan::platform
