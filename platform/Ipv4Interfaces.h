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
    bool up = false;            // administratively up and running
    bool multicast = false;     // can send and receive multicast
};

// Every IPv4 address of every interface, in the system's order; empty when the system
// cannot list them.
[[nodiscard]] std::vector<Ipv4Interface> ListIpv4Interfaces() noexcept;

}  // namespace koruvan::platform
