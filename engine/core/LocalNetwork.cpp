#include "engine/core/LocalNetwork.h"

#include <algorithm>
#include <cstring>

#include "engine/peers/IpAddress.h"

namespace koruvan::engine {
namespace {

bool IsLoopback(std::uint32_t ip) {
    return (NetToHost32(ip) >> 24) == 127;
}

bool SameSubnet24(std::uint32_t a, std::uint32_t b) {
    // Network order: the first three octets are the three low bytes in memory.
    return std::memcmp(&a, &b, 3) == 0;
}

}  // namespace

std::uint32_t ChooseDiscoveryAddress(std::uint32_t bindAddress, std::uint32_t routeSource,
                                     const std::vector<LocalInterface>& interfaces) noexcept {
    if (IsValidIp(bindAddress)) {
        return bindAddress;
    }
    if (IsValidIp(routeSource) && !IsLoopback(routeSource)) {
        return routeSource;
    }
    const auto usable = std::find_if(interfaces.begin(), interfaces.end(), [](const auto& i) {
        return i.up && i.multicast && !i.loopback && IsValidIp(i.ip) && !IsLoopback(i.ip);
    });
    return usable != interfaces.end() ? usable->ip : 0;
}

bool IsOwnDatagram(const DiscoveryDatagram& d, std::uint32_t sender,
                   const OwnService& own) noexcept {
    if (own.nodeId[0] != 0 && std::memcmp(d.peerId.data() + 8, own.nodeId.data(), 12) == 0) {
        return true;
    }
    const std::uint32_t announced = IsValidIp(d.ip) ? d.ip : sender;
    return own.port != 0 && d.port == own.port &&
           std::find(own.addresses.begin(), own.addresses.end(), announced) != own.addresses.end();
}

bool FromOutsideLocalNetwork(std::uint32_t remote, std::uint32_t listenerIp,
                             const std::vector<std::uint32_t>& localAddresses) noexcept {
    if (IsValidIp(listenerIp)) {
        return !SameSubnet24(remote, listenerIp);
    }
    return !localAddresses.empty() &&
           std::none_of(localAddresses.begin(), localAddresses.end(),
                        [remote](std::uint32_t own) { return SameSubnet24(remote, own); });
}

std::vector<std::uint32_t> AddressesOf(const std::vector<LocalInterface>& interfaces) {
    std::vector<std::uint32_t> out;
    out.reserve(interfaces.size());
    for (const LocalInterface& i : interfaces) {
        out.push_back(i.ip);
    }
    return out;
}

}  // namespace koruvan::engine
