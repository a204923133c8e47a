#include "platform/DebugOutput.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace koruvan::platform {

bool DebugOutputEnabled() noexcept {
    const char* value = std::getenv("KORUVAN_DEBUG");
    return value != nullptr && value[0] != '\0';
}

void DebugOutput(std::string_view line) noexcept {
    if (!DebugOutputEnabled()) {
        return;
    }
    try {
        std::string out(line);
        if (out.empty() || out.back() != '\n') {
            out.push_back('\n');
        }
        std::size_t done = 0;
        // One write carries the whole line; the loop only finishes what a signal or a full
        // pipe cut short.
        while (done < out.size()) {
            const ssize_t n = write(STDERR_FILENO, out.data() + done, out.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return;
            }
            done += static_cast<std::size_t>(n);
        }
    } catch (...) {
        // Out of memory: the echo is best effort.
    }
}

}  // namespace koruvan::platform
