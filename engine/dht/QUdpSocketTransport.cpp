#include "engine/dht/QUdpSocketTransport.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace koruvan::engine {
namespace {

std::uint32_t Handle(SocketHandle socket) noexcept {
    return socket > 0 && socket <= 0xFFFFFFFF ? static_cast<std::uint32_t>(socket) : 0;
}

sockaddr_in ToSockaddr(const SocketAddress& a) noexcept {
    sockaddr_in s{};
    s.sin_family = AF_INET;
    s.sin_addr.s_addr = a.ip;
    s.sin_port = htons(a.port);
    std::memcpy(s.sin_zero, a.node, sizeof(a.node));
    return s;
}

void FromSockaddr(const sockaddr_in& s, SocketAddress* a) noexcept {
    a->ip = s.sin_addr.s_addr;
    a->port = ntohs(s.sin_port);
    std::memcpy(a->node, s.sin_zero, sizeof(a->node));
}

}  // namespace

QUdpSocketTransport& EngineUdpTransport() {
    static QUdpSocketTransport transport;
    return transport;
}

QUInternalServer& QUdpSocketTransport::Server() noexcept {
    return server_ != nullptr ? *server_ : QUInternalServer::Instance();
}

SocketHandle QUdpSocketTransport::Open(int* error) noexcept {
    const std::uint32_t handle = Server().UdpSocket();
    if (handle == 0) {
        *error = UdpLastError();
        return kInvalidSocket;
    }
    return static_cast<SocketHandle>(handle);
}

void QUdpSocketTransport::CloseHandle(SocketHandle socket) noexcept {
    Server().UdpCloseSocket(Handle(socket));
}

int QUdpSocketTransport::Bind(SocketHandle socket, const SocketAddress& local) noexcept {
    const sockaddr_in s = ToSockaddr(local);
    return Server().UdpBind(Handle(socket), &s, sizeof(s)) == 0 ? 0 : UdpLastError();
}

int QUdpSocketTransport::Connect(SocketHandle socket, const SocketAddress& remote) noexcept {
    const sockaddr_in s = ToSockaddr(remote);
    if (Server().UdpConnect(Handle(socket), &s, sizeof(s)) == 0) {
        return 0;
    }
    const int error = UdpLastError();
    return error == udp::kWsaEwouldblock ? kConnectInProgress : error;
}

int QUdpSocketTransport::Listen(SocketHandle socket, int backlog) noexcept {
    return Server().UdpListen(Handle(socket), backlog) == 0 ? 0 : UdpLastError();
}

SocketHandle QUdpSocketTransport::Accept(SocketHandle socket, SocketAddress* remote,
                                         int* error) noexcept {
    sockaddr_in s{};
    int length = sizeof(s);
    const std::uint32_t handle = Server().UdpAccept(Handle(socket), &s, &length);
    if (handle == 0) {
        const int code = UdpLastError();
        *error = code == udp::kWsaEwouldblock ? 0 : code;
        return kInvalidSocket;
    }
    if (remote != nullptr) {
        FromSockaddr(s, remote);
    }
    *error = 0;
    return static_cast<SocketHandle>(handle);
}

std::int64_t QUdpSocketTransport::Send(SocketHandle socket, const std::uint8_t* data,
                                       std::int64_t size, int* error) noexcept {
    const int length = static_cast<int>(std::min<std::int64_t>(size, INT_MAX));
    const int sent = Server().UdpSend(Handle(socket), data, length);
    if (sent >= 0) {
        return sent;
    }
    *error = UdpLastError();
    return *error == udp::kWsaEwouldblock ? kIoWouldBlock : kIoError;
}

std::int64_t QUdpSocketTransport::Receive(SocketHandle socket, std::uint8_t* data,
                                          std::int64_t size, int* error) noexcept {
    const std::uint32_t handle = Handle(socket);
    const int length = static_cast<int>(std::min<std::int64_t>(size, INT_MAX));
    const int got = Server().UdpRecv(handle, data, length);
    if (got >= 0) {
        return got;
    }
    *error = UdpLastError();
    if (*error == udp::kWsaEnotconn && Server().ConnectionState(handle) == udp::kClosed) {
        return 0;  // the remote side closed and everything it sent has been read
    }
    return *error == udp::kWsaEwouldblock ? kIoWouldBlock : kIoError;
}

int QUdpSocketTransport::Wait(SocketHandle socket, bool forWrite, int timeoutMs) noexcept {
    std::vector<std::uint32_t> set{Handle(socket)};
    std::vector<std::uint32_t> errors{Handle(socket)};
    timeval limit{};
    limit.tv_sec = timeoutMs / 1000;
    limit.tv_usec = (timeoutMs % 1000) * 1000;
    const int ready =
        forWrite ? Server().UdpSelect(nullptr, &set, &errors, timeoutMs < 0 ? nullptr : &limit)
                 : Server().UdpSelect(&set, nullptr, &errors, timeoutMs < 0 ? nullptr : &limit);
    if (ready < 0) {
        return -1;
    }
    return set.empty() && errors.empty() ? 0 : 1;
}

bool QUdpSocketTransport::WaitEntry(SocketHandle socket, bool forWrite, SocketWait* wait) noexcept {
    const std::shared_ptr<UdpWakeFd>& wake = ThreadUdpWake();
    if (!wake || wake->Fd() < 0) {
        return false;
    }
    Server().UdpArmWake(Handle(socket), forWrite, wake);
    wait->socket = wake->Fd();
    wait->forWrite = false;
    wait->drain = true;
    return true;
}

int QUdpSocketTransport::PendingError(SocketHandle socket) noexcept {
    const int state = Server().ConnectionState(Handle(socket));
    if (state == udp::kEstablished) {
        return 0;
    }
    return state == udp::kClosed ? udp::kWsaEconnrefused : udp::kWsaEnotconn;
}

bool QUdpSocketTransport::LocalAddress(SocketHandle socket, SocketAddress* local) noexcept {
    sockaddr_in s{};
    int length = sizeof(s);
    if (Server().UdpGetLocalName(Handle(socket), &s, &length) != 0) {
        return false;
    }
    FromSockaddr(s, local);
    return true;
}

}  // namespace koruvan::engine
