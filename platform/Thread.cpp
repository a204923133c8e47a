#include "platform/Thread.h"

#include <pthread.h>
#include <unistd.h>

#include <cstring>

namespace koruvan::platform {
namespace {

constexpr std::size_t kMaxNameBytes = 15;

// Length of the longest prefix of `name` of at most `limit` bytes that does not end inside
// a UTF-8 sequence.
std::size_t Utf8Prefix(std::string_view name, std::size_t limit) noexcept {
    if (name.size() <= limit) {
        return name.size();
    }
    std::size_t cut = limit;
    // Step back over continuation bytes (10xxxxxx) to the start of the cut sequence.
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return cut;
}

}  // namespace

bool SetCurrentThreadName(std::string_view name) noexcept {
    char buffer[kMaxNameBytes + 1] = {};
    const std::size_t length = Utf8Prefix(name, kMaxNameBytes);
    if (length > 0) {
        std::memcpy(buffer, name.data(), length);
    }
    return pthread_setname_np(pthread_self(), buffer) == 0;
}

std::string CurrentThreadName() {
    char buffer[kMaxNameBytes + 1] = {};
    if (pthread_getname_np(pthread_self(), buffer, sizeof buffer) != 0) {
        return {};
    }
    buffer[kMaxNameBytes] = '\0';
    return std::string(buffer);
}

std::uint32_t CurrentThreadId() noexcept {
    // Not cached: a forked child's thread has a new id.
    const auto tid = static_cast<std::uint32_t>(gettid());
    return tid != 0 ? tid : 1;
}

}  // namespace koruvan::platform
