// A socket of the engine's own: one of the few places that use the socket headers directly.
#include "engine/peers/TTrackerUdpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace koruvan::engine {

bool TTrackerUdpSocket::Open(std::uint32_t localIp, std::uint32_t remoteIp,
                             std::uint16_t remotePort) noexcept {
    Close();
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd_ < 0) {
        return false;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = localIp;
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = remoteIp;
    remote.sin_port = htons(remotePort);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd_, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
        Close();
        return false;
    }
    return true;
}

std::int32_t TTrackerUdpSocket::Send(const std::uint8_t* data, std::size_t size) noexcept {
    if (fd_ < 0 || data == nullptr || size == 0 || size > kMaxDatagram) {
        return -1;
    }
    const ssize_t sent = ::send(fd_, data, size, MSG_NOSIGNAL);
    if (sent < 0) {
        // A full send queue drops the datagram like the network would; the resend covers it.
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
    return static_cast<std::int32_t>(sent);
}

std::int32_t TTrackerUdpSocket::Receive(std::uint8_t* data, std::size_t capacity) noexcept {
    if (fd_ < 0 || data == nullptr || capacity == 0) {
        return -1;
    }
    const ssize_t got = ::recv(fd_, data, capacity, 0);
    if (got < 0) {
        return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
    }
    return static_cast<std::int32_t>(got);
}

void TTrackerUdpSocket::Close() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

std::uint32_t TTrackerUdpSocket::LocalIp() const noexcept {
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size) != 0) {
        return 0;
    }
    return local.sin_addr.s_addr;
}

}  // namespace koruvan::engine
