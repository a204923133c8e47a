#include "engine/dht/UdpWakeFd.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace koruvan::engine {

UdpWakeFd::UdpWakeFd() noexcept : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

UdpWakeFd::~UdpWakeFd() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void UdpWakeFd::Signal() noexcept {
    const std::uint64_t one = 1;
    if (fd_ >= 0) {
        // A full counter (never reached in practice) is still readable: nothing is lost.
        (void)!::write(fd_, &one, sizeof(one));
    }
}

void UdpWakeFd::Drain() noexcept {
    std::uint64_t count = 0;
    if (fd_ >= 0) {
        (void)!::read(fd_, &count, sizeof(count));
    }
}

const std::shared_ptr<UdpWakeFd>& ThreadUdpWake() noexcept {
    static const std::shared_ptr<UdpWakeFd> kNone;
    try {
        thread_local const std::shared_ptr<UdpWakeFd> wake = std::make_shared<UdpWakeFd>();
        return wake;
    } catch (...) {
        return kNone;
    }
}

}  // namespace koruvan::engine
