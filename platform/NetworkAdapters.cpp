#include "platform/NetworkAdapters.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/utsname.h>

#include <cstring>

namespace koruvan::platform {
namespace {

NetworkAdapter* FindAdapter(std::vector<NetworkAdapter>& adapters, const char* name) {
    for (NetworkAdapter& adapter : adapters) {
        if (adapter.name == name) {
            return &adapter;
        }
    }
    return nullptr;
}

}  // namespace

std::vector<NetworkAdapter> ListNetworkAdapters() {
    std::vector<NetworkAdapter> adapters;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return adapters;
    }
    try {
        // Hardware addresses first (they give the order), then each adapter's first IPv4.
        for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
            if (a->ifa_addr == nullptr || a->ifa_name == nullptr ||
                a->ifa_addr->sa_family != AF_PACKET || (a->ifa_flags & IFF_LOOPBACK) != 0) {
                continue;
            }
            const auto* link = reinterpret_cast<const sockaddr_ll*>(a->ifa_addr);
            if (link->sll_halen != 6 || FindAdapter(adapters, a->ifa_name) != nullptr) {
                continue;
            }
            NetworkAdapter adapter;
            adapter.name = a->ifa_name;
            std::memcpy(adapter.address.data(), link->sll_addr, 6);
            adapters.push_back(std::move(adapter));
        }
        for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
            if (a->ifa_addr == nullptr || a->ifa_name == nullptr ||
                a->ifa_addr->sa_family != AF_INET) {
                continue;
            }
            NetworkAdapter* adapter = FindAdapter(adapters, a->ifa_name);
            if (adapter == nullptr || !adapter->firstIpv4.empty()) {
                continue;
            }
            char text[INET_ADDRSTRLEN] = {};
            const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
            if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) != nullptr) {
                adapter->firstIpv4 = text;
            }
        }
    } catch (...) {
        adapters.clear();
    }
    freeifaddrs(list);
    for (NetworkAdapter& adapter : adapters) {
        if (adapter.firstIpv4.empty()) {
            adapter.firstIpv4 = "0.0.0.0";
        }
    }
    return adapters;
}

std::string MachineArchitecture() {
    utsname names{};
    if (uname(&names) != 0) {
        return {};
    }
    return names.machine;
}

}  // namespace koruvan::platform
