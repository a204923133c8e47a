#include "platform/Ipv4Interfaces.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace koruvan::platform {

std::vector<Ipv4Interface> ListIpv4Interfaces() noexcept {
    std::vector<Ipv4Interface> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return out;
    }
    try {
        for (const ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
            if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) {
                continue;
            }
            Ipv4Interface entry;
            entry.address = reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr;
            if (it->ifa_netmask != nullptr) {
                entry.netmask =
                    reinterpret_cast<const sockaddr_in*>(it->ifa_netmask)->sin_addr.s_addr;
            }
            entry.loopback = (it->ifa_flags & IFF_LOOPBACK) != 0;
            entry.up = (it->ifa_flags & IFF_UP) != 0 && (it->ifa_flags & IFF_RUNNING) != 0;
            entry.multicast = (it->ifa_flags & IFF_MULTICAST) != 0;
            out.push_back(entry);
        }
    } catch (...) {
        out.clear();  // out of memory: as if the list could not be read
    }
    freeifaddrs(list);
    return out;
}

}  // namespace koruvan::platform
