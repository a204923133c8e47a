// This host's IPv4 interfaces and the source address the system picks for a destination:
// what local discovery announces and what counts as the local network when the listener is
// bound to every address.
#pragma once

#include <cstdint>
#include <vector>

namespace koruvan::engine {

struct LocalInterface {
    std::uint32_t ip = 0;  // network order
    bool up = false;
    bool loopback = false;
    bool multicast = false;  // the interface can send and receive multicast
};

// Every IPv4 address of every interface, in the system's order; empty on failure.
[[nodiscard]] std::vector<LocalInterface> ListLocalInterfaces() noexcept;

// The local address the system would send from to `destination` (network order): the own
// address of a UDP socket connected there. Nothing is sent. 0 when there is no route.
[[nodiscard]] std::uint32_t RouteSourceAddress(std::uint32_t destination,
                                               std::uint16_t port) noexcept;

}  // namespace koruvan::engine
