// The listening port and the local address the port mapping works with: a free TCP port
// between 40000 and 50000 that avoids a few ports other programs are known to use, whether a
// port is in use on this machine, the local IPv4 address, and which addresses are private.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace koruvan::net {

inline constexpr int kFirstMappedPort = 40000;
inline constexpr int kLastMappedPort = 50000;
// Never chosen as the start of the scan (nor by it).
inline constexpr std::array<int, 8> kExcludedPorts = {40412, 40421, 40422, 40423,
                                                      40426, 43958, 44444, 47262};

[[nodiscard]] bool IsExcludedPort(int port) noexcept;

// The scan's start: (random mod 10000) + 40001, moved past excluded ports.
[[nodiscard]] int ScanStart(unsigned random) noexcept;

// The first port from `start` on that `inUse` does not report, skipping excluded ports and
// wrapping from 50000 to 40000; nullopt when the scan came back to `start`.
[[nodiscard]] std::optional<int> ChooseFreePort(int start, const std::function<bool(int)>& inUse);

// Whether a port is in use on this machine (in this network namespace): a TCP or UDP socket
// holds it as its local port (any state, /proc/net), or a TCP socket cannot be bound to it.
[[nodiscard]] bool IsPortInUse(int port);

// Private by the engine's local-address rule: first octet 0 to 6, 10 or 127, or within
// 192.168/16, 169.254/16 or 172.16/12. `ip` in host order.
[[nodiscard]] bool IsPrivateIpv4(std::uint32_t ip) noexcept;
// The same for a dotted text; false for a text that is not an address.
[[nodiscard]] bool IsPrivateIpv4(const std::string& dotted) noexcept;
// Host-order value of a dotted IPv4 text; nullopt when it is not one.
[[nodiscard]] std::optional<std::uint32_t> ParseIpv4(const std::string& dotted) noexcept;

// This machine's IPv4 address, dotted: `bindAddress` when given (the interface everything is
// bound to); otherwise the first address the host's own name resolves to, or, when that is a
// loopback address, the first address of an interface that is up and not loopback. nullopt
// when none is known.
[[nodiscard]] std::optional<std::string> LocalIpv4Address(const std::string& bindAddress);

}  // namespace koruvan::net
