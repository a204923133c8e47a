#include "engine/peers/LocalInterfaces.h"

#include "platform/Ipv4Interfaces.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace koruvan::engine {

std::vector<LocalInterface> ListLocalInterfaces() noexcept {
    std::vector<LocalInterface> out;
    try {
        for (const platform::Ipv4Interface& i : platform::ListIpv4Interfaces()) {
            out.push_back(LocalInterface{i.address, i.up, i.loopback, i.multicast});
        }
    } catch (...) {
        out.clear();  // out of memory: as if the list could not be read
    }
    return out;
}

std::uint32_t RouteSourceAddress(std::uint32_t destination, std::uint16_t port) noexcept {
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (s < 0) {
        return 0;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = destination;
    sockaddr_in own{};
    socklen_t length = sizeof own;
    std::uint32_t result = 0;
    if (::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&own), &length) == 0) {
        result = own.sin_addr.s_addr;
    }
    ::close(s);
    return result;
}

}  // namespace koruvan::engine
