#include "engine/core/OwnListener.h"

#include <mutex>
#include <vector>

#include "engine/core/EngineState.h"
#include "engine/core/base/EngineClock.h"
#include "platform/Ipv4Interfaces.h"

namespace koruvan::engine {
namespace {

// Interfaces come and go (a cable, a VPN); listing them costs a system call per candidate.
constexpr std::uint32_t kRefreshMs = 5000;

struct InterfaceCache {
    std::mutex lock;
    std::vector<platform::Ipv4Interface> interfaces;  // guarded by lock
    std::uint32_t listedAt = 0;                       // tick count; guarded by lock
    bool listed = false;                              // guarded by lock
};

InterfaceCache& Cache() {
    static InterfaceCache cache;
    return cache;
}

bool IsLocalAddress(std::uint32_t ip) {
    InterfaceCache& cache = Cache();
    std::lock_guard<std::mutex> guard(cache.lock);
    const std::uint32_t now = TickCount();
    if (!cache.listed || now - cache.listedAt >= kRefreshMs) {
        cache.interfaces = platform::ListIpv4Interfaces();
        cache.listedAt = now;
        cache.listed = true;
    }
    for (const platform::Ipv4Interface& i : cache.interfaces) {
        if (ip == i.address || (i.loopback && (ip & i.netmask) == (i.address & i.netmask))) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool IsOwnListener(std::uint32_t ip, std::uint16_t port) {
    const std::int32_t listening = Engine().servicePort.load();
    if (listening <= 0 || port != listening) {
        return false;
    }
    const std::uint32_t bound = Engine().bindAddress.load();
    return bound != 0 ? ip == bound : IsLocalAddress(ip);
}

}  // namespace koruvan::engine
