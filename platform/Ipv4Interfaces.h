// The IPv4 addresses of this machine's interfaces (getifaddrs), for telling the engine's own
// listener from other peers.
#pragma once

#include <cstdint>
#include <vector>

namespace koruvan::platform {

struct Ipv4Interface {
    std::uint32_t address = 0;  // network order
    std::uint32_t netmask = 0;  // network order
    bool loopback = false;      // every address of its network is this machine's
};

// Empty when the system cannot list them.
std::vector<Ipv4Interface> ListIpv4Interfaces();

}  // namespace koruvan::platform
