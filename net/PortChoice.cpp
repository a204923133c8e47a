#include "net/PortChoice.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>

namespace koruvan::net {
namespace {

constexpr int kScanWidth = 10000;

// Whether /proc/net/<table> lists a socket whose local port is `port`.
bool ListedInProc(const char* table, int port) {
    std::ifstream in(std::string("/proc/net/") + table);
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
        // "  sl  local_address rem_address st ...": local_address is ADDRESS:PORT in hex.
        std::istringstream fields(line);
        std::string slot;
        std::string local;
        if (!(fields >> slot >> local)) {
            continue;
        }
        const std::size_t colon = local.rfind(':');
        int listed = -1;
        if (colon != std::string::npos) {
            (void)std::from_chars(local.data() + colon + 1, local.data() + local.size(), listed,
                                  16);
        }
        if (listed == port) {
            return true;
        }
    }
    return false;
}

bool TcpBindFails(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool fails = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0;
    close(fd);
    return fails;
}

std::string Dotted(std::uint32_t ip) {
    return std::to_string(ip >> 24) + "." + std::to_string((ip >> 16) & 255) + "." +
           std::to_string((ip >> 8) & 255) + "." + std::to_string(ip & 255);
}

std::optional<std::uint32_t> HostNameAddress() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return std::nullopt;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    const std::uint32_t ip = ntohl(in->sin_addr.s_addr);
    freeaddrinfo(found);
    return ip;
}

std::optional<std::uint32_t> FirstInterfaceAddress() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return std::nullopt;
    }
    std::optional<std::uint32_t> result;
    for (const ifaddrs* i = list; i != nullptr && !result; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET ||
            (i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) {
            continue;
        }
        result = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
    }
    freeifaddrs(list);
    return result;
}

}  // namespace

bool IsExcludedPort(int port) noexcept {
    return std::find(kExcludedPorts.begin(), kExcludedPorts.end(), port) != kExcludedPorts.end();
}

int ScanStart(unsigned random) noexcept {
    int start = static_cast<int>(random % kScanWidth) + kFirstMappedPort + 1;
    while (IsExcludedPort(start)) {
        ++start;
    }
    return start;
}

std::optional<int> ChooseFreePort(int start, const std::function<bool(int)>& inUse) {
    int port = start;
    do {
        if (!inUse(port)) {
            return port;
        }
        do {
            port = port + 1 > kLastMappedPort ? kFirstMappedPort : port + 1;
        } while (IsExcludedPort(port) && port != start);
    } while (port != start);
    return std::nullopt;
}

bool IsPortInUse(int port) {
    for (const char* table : {"tcp", "tcp6", "udp", "udp6"}) {
        if (ListedInProc(table, port)) {
            return true;
        }
    }
    return TcpBindFails(port);
}

bool IsPrivateIpv4(std::uint32_t ip) noexcept {
    const std::uint32_t first = ip >> 24;
    return first <= 6 || first == 10 || first == 127 || (ip >> 16) == 0xC0A8 ||
           (ip >> 16) == 0xA9FE || (ip >> 20) == 0xAC1;
}

bool IsPrivateIpv4(const std::string& dotted) noexcept {
    const auto ip = ParseIpv4(dotted);
    return ip && IsPrivateIpv4(*ip);
}

std::optional<std::uint32_t> ParseIpv4(const std::string& dotted) noexcept {
    in_addr address{};
    if (inet_pton(AF_INET, dotted.c_str(), &address) != 1) {
        return std::nullopt;
    }
    return ntohl(address.s_addr);
}

std::optional<std::string> LocalIpv4Address(const std::string& bindAddress) {
    if (!bindAddress.empty()) {
        const auto ip = ParseIpv4(bindAddress);
        return ip ? std::optional<std::string>(Dotted(*ip)) : std::nullopt;
    }
    std::optional<std::uint32_t> ip = HostNameAddress();
    if (!ip || (*ip >> 24) == 127) {
        // Hosts files often give the machine's name a loopback address: the address of a
        // real interface is what the router can forward to.
        if (const auto other = FirstInterfaceAddress()) {
            ip = other;
        }
    }
    return ip ? std::optional<std::string>(Dotted(*ip)) : std::nullopt;
}

}  // namespace koruvan::net
