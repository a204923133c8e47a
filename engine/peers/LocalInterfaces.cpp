#include "engine/peers/LocalInterfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace koruvan::engine {

std::vector<LocalInterface> ListLocalInterfaces() noexcept {
    std::vector<LocalInterface> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return out;
    }
    try {
        for (const ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
            if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) {
                continue;
            }
            LocalInterface entry;
            entry.ip = reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr;
            entry.up = (it->ifa_flags & IFF_UP) != 0 && (it->ifa_flags & IFF_RUNNING) != 0;
            entry.loopback = (it->ifa_flags & IFF_LOOPBACK) != 0;
            entry.multicast = (it->ifa_flags & IFF_MULTICAST) != 0;
            out.push_back(entry);
        }
    } catch (...) {
        out.clear();  // out of memory: as if the list could not be read
    }
    ::freeifaddrs(list);
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
