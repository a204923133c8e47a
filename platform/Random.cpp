#include "platform/Random.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>

namespace koruvan::platform {
namespace {

bool ReadUrandom(unsigned char* out, std::size_t size) noexcept {
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = read(fd, out + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    close(fd);
    return done == size;
}

std::uint64_t SplitMix64(std::uint64_t x) noexcept {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace

bool RandomBytes(void* buffer, std::size_t size) noexcept {
    auto* out = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = getrandom(out + done, size - done, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return ReadUrandom(out + done, size - done);
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::uint32_t RandomUint32() noexcept {
    std::uint32_t value = 0;
    if (RandomBytes(&value, sizeof value)) {
        return value;
    }
    static std::atomic<std::uint64_t> counter{0};
    const auto now =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const std::uint64_t mixed = SplitMix64(now ^ (static_cast<std::uint64_t>(getpid()) << 32) ^
                                           counter.fetch_add(1, std::memory_order_relaxed));
    return static_cast<std::uint32_t>(mixed ^ (mixed >> 32));
}

}  // namespace koruvan::platform
