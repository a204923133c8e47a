// The local-network rules of the P2P service when it listens on every address: which
// address the discovery datagrams leave by and announce, which datagrams are this node's
// own, and which incoming connections come from outside the local network. Pure functions
// over what the system reports, so that each rule can be checked on its own.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "engine/core/DiscoveryDatagram.h"
#include "engine/peers/LocalInterfaces.h"

namespace koruvan::engine {

// The discovery interface's address (network order): the bind address when one is set;
// else the address the system sends to the group from (`routeSource`) unless that is a
// loopback address; else the first interface that is up, not loopback and multicast-capable.
// 0 when there is none (discovery then waits for the next upkeep).
[[nodiscard]] std::uint32_t ChooseDiscoveryAddress(
    std::uint32_t bindAddress, std::uint32_t routeSource,
    const std::vector<LocalInterface>& interfaces) noexcept;

// What identifies this node on the local network.
struct OwnService {
    std::vector<std::uint32_t> addresses;  // every local address (network order)
    std::uint16_t port = 0;                // the listener's port
    // The process node id; its first 12 bytes are bytes 8-19 of every peer id this
    // process gives out. A first byte of 0 means not yet known.
    std::array<std::uint8_t, 16> nodeId{};
};

// A datagram this node sent itself (the group loops it back): its peer id carries this
// process's node id, or it names one of this host's addresses together with the
// listener's port. `sender` stands in for an announced address of 0.
[[nodiscard]] bool IsOwnDatagram(const DiscoveryDatagram& d, std::uint32_t sender,
                                 const OwnService& own) noexcept;

// Whether a connection from `remote` comes from outside the local network: outside the /24
// network of the listener's address, or, for a listener on every address, outside the /24
// network of each of this host's addresses. False when no local address is known.
[[nodiscard]] bool FromOutsideLocalNetwork(
    std::uint32_t remote, std::uint32_t listenerIp,
    const std::vector<std::uint32_t>& localAddresses) noexcept;

// The addresses of `interfaces`, in order.
[[nodiscard]] std::vector<std::uint32_t> AddressesOf(const std::vector<LocalInterface>& interfaces);

}  // namespace koruvan::engine
