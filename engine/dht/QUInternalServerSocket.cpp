// The server's socket: opening and rebinding, raw sends with their retry rule, the
// rendezvous server's address and this host's own address.
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "engine/core/base/KoruvanLog.h"
#include "engine/core/base/LockGuard.h"
#include "engine/dht/QUInternalServer.h"
#include "engine/peers/IpAddress.h"
#include "engine/peers/Resolver.h"

namespace koruvan::engine {
namespace {

// This host's IPv4 interface addresses in interface order (network order).
std::vector<std::uint32_t> InterfaceAddresses() {
    std::vector<std::uint32_t> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return out;
    }
    for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr != nullptr && it->ifa_addr->sa_family == AF_INET) {
            out.push_back(reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr);
        }
    }
    freeifaddrs(list);
    return out;
}

}  // namespace

bool IsPrivateAddress(std::uint32_t ip) noexcept {
    const std::uint32_t h = NetToHost32(ip);
    const std::uint32_t first = h >> 24;
    return first <= 6 || first == 10 || first == 127 || (h >> 16) == 0xC0A8u ||
           (h >> 16) == 0xA9FEu || (h >> 20) == 0xAC1u;
}

std::uint32_t PickLocalAddress(const std::vector<std::uint32_t>& addresses) noexcept {
    std::uint32_t lastPublic = 0;
    for (std::uint32_t ip : addresses) {
        if (!IsPrivateAddress(ip)) {
            lastPublic = ip;
        }
    }
    if (lastPublic != 0) {
        return lastPublic;
    }
    return addresses.empty() ? 0 : addresses.back();
}

bool QUInternalServer::NeedsOpen() const noexcept {
    return fd_ < 0 || boundPort_ != localPort_;
}

void QUInternalServer::CloseSocket() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
        if (loopWaiting_) {
            loopWake_.Signal();  // the loop waits on the closed socket: it reopens it
        }
    }
}

bool QUInternalServer::OpenSocket() noexcept {
    if (!IsValidIp(localIp_)) {
        // This host's own address from its interfaces, by the rule above (no name look-up).
        localIp_ = PickLocalAddress(InterfaceAddresses());
    }
    CloseSocket();
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool ok = fd >= 0;
    if (!ok) {
        char line[96];
        std::snprintf(line, sizeof(line), "socket bind error : Last Error(%lu)",
                      static_cast<unsigned long>(errno));
        WriteLog(line, 7, 7);
    } else {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(static_cast<std::uint16_t>(localPort_));
        local.sin_addr.s_addr = INADDR_ANY;
        ok = ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0;
        if (!ok) {
            ::close(fd);
        }
    }
    if (!ok) {
        externalIp_.store(0);
        UnlockedSleep(1000);
        return false;
    }
    fd_ = fd;
    boundPort_ = localPort_;
    const int on = 1;
    if (broadcast_) {
        setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on));
    }
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL, 0) | O_NONBLOCK);
    const int size = udp::kSocketBufferBytes > 0 ? udp::kSocketBufferBytes : 8192;
    setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    return true;
}

std::uint32_t ResolveServerName(const std::string& host) noexcept {
    try {
        std::uint32_t ip = kNoAddress;
        if (IsDigitsAndDots(host)) {
            const std::uint32_t parsed = ParseDotted(host);
            ip = parsed == kNoAddress ? kNoAddress : HostToNet32(parsed);
        } else {
            ip = ResolveSimple(host.c_str());
        }
        return IsValidIp(ip) ? ip : 0;
    } catch (...) {
        return 0;
    }
}

bool QUInternalServer::ResolveServer() noexcept {
    const std::uint32_t ip = ResolveServerName(serverHost_);
    if (ip == 0) {
        return false;
    }
    serverIp_ = ip;
    return true;
}

int QUInternalServer::SendRaw(const std::uint8_t* data, int len, std::uint32_t ip,
                              int port) noexcept {
    if (data == nullptr || len < 1 || len > udp::kMaxDatagram || ip == 0 || port < 1 ||
        port > 65535) {
        return udp::kWsaEinval;
    }
    if (sink_) {
        try {
            return sink_(data, len, ip, port);
        } catch (...) {
            return udp::kWsaSendFailed;
        }
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = ip;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (fd_ < 0 && !OpenSocket()) {
            continue;
        }
        const ssize_t sent = ::sendto(fd_, data, static_cast<std::size_t>(len), MSG_NOSIGNAL,
                                      reinterpret_cast<const sockaddr*>(&to), sizeof(to));
        if (sent == len) {
            return 0;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return udp::kWsaEwouldblock;
        }
        CloseSocket();  // reopened by the next attempt or the next loop pass
    }
    return udp::kWsaSendFailed;
}

bool QUInternalServer::SendDatagram(const void* data, int len, std::uint32_t ip,
                                    int port) noexcept {
    LockGuard guard(&ThreadLock(), true);
    return SendRaw(static_cast<const std::uint8_t*>(data), len, ip, port) == 0;
}

}  // namespace koruvan::engine
