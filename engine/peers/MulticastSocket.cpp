#include "engine/peers/MulticastSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace koruvan::engine {

bool MulticastSocket::Open(std::uint32_t group, std::uint16_t port,
                           std::uint32_t interfaceIp) noexcept {
    Close();
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (s < 0) {
        return false;
    }
    const int one = 1;
    const unsigned char ttl = 1;
    const unsigned char loop = 1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = group;
    membership.imr_interface.s_addr = interfaceIp;
    in_addr outgoing{};
    outgoing.s_addr = interfaceIp;
    const bool ok =
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
        ::setsockopt(s, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) == 0 &&
        ::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
        ::setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0 &&
        ::setsockopt(s, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) == 0 &&
        (interfaceIp == 0 ||
         ::setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) == 0) &&
        ::setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0;
    if (!ok) {
        ::close(s);
        return false;
    }
    socket_ = s;
    group_ = group;
    port_ = port;
    interface_ = interfaceIp;
    return true;
}

void MulticastSocket::Close() noexcept {
    if (socket_ >= 0) {
        ::close(socket_);
        socket_ = -1;
    }
}

bool MulticastSocket::Send(const std::uint8_t* data, std::size_t size) noexcept {
    if (socket_ < 0) {
        return false;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port_);
    to.sin_addr.s_addr = group_;
    return ::sendto(socket_, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                    sizeof to) == static_cast<ssize_t>(size);
}

std::int32_t MulticastSocket::Receive(std::uint8_t* out, std::size_t size,
                                      std::uint32_t* from) noexcept {
    if (socket_ < 0) {
        return -1;
    }
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    const ssize_t n =
        ::recvfrom(socket_, out, size, 0, reinterpret_cast<sockaddr*>(&sender), &length);
    if (n < 0) {
        return -1;
    }
    if (from != nullptr) {
        *from = sender.sin_addr.s_addr;
    }
    return static_cast<std::int32_t>(n);
}

}  // namespace koruvan::engine
