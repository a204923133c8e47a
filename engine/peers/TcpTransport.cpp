// The POSIX TCP sockets under the connections. This file, the resolver and the DNS report
// are the only places of the engine that use the socket headers directly.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "engine/peers/SocketTransport.h"

namespace koruvan::engine {
namespace {

sockaddr_in ToSockaddr(const SocketAddress& address) {
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_addr.s_addr = address.ip;
    out.sin_port = htons(address.port);
    return out;
}

SocketAddress FromSockaddr(const sockaddr_in& in) {
    SocketAddress out;
    out.ip = in.sin_addr.s_addr;
    out.port = ntohs(in.sin_port);
    return out;
}

int Fd(SocketHandle socket) {
    return static_cast<int>(socket);
}

bool IsWouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

// Accept failures that concern one incoming connection or a passing shortage, not the
// listener: the listener stays open and the next round tries again.
bool IsPassingAcceptError(int error) {
    switch (error) {
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
        case EPERM:
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
        case ENETDOWN:
        case ENETUNREACH:
        case EHOSTDOWN:
        case EHOSTUNREACH:
        case ENONET:
        case EOPNOTSUPP:
        case ETIMEDOUT:
            return true;
        default:
            return IsWouldBlock(error);
    }
}

class PosixTcpTransport final : public TSocketTransport {
  public:
    SocketHandle Open(int* error) noexcept override {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
        if (fd < 0) {
            *error = errno;
            return kInvalidSocket;
        }
        return fd;
    }

    void CloseHandle(SocketHandle socket) noexcept override {
        if (socket >= 0) {
            ::close(Fd(socket));
        }
    }

    int Bind(SocketHandle socket, const SocketAddress& local) noexcept override {
        const int one = 1;
        // A listener restarted on its port must not wait for old connections to time out.
        ::setsockopt(Fd(socket), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        const sockaddr_in address = ToSockaddr(local);
        return ::bind(Fd(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0
                   ? 0
                   : errno;
    }

    int Connect(SocketHandle socket, const SocketAddress& remote) noexcept override {
        const sockaddr_in address = ToSockaddr(remote);
        if (::connect(Fd(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
            0) {
            return 0;
        }
        const int error = errno;
        return error == EINPROGRESS || error == EINTR || IsWouldBlock(error) ? kConnectInProgress
                                                                             : error;
    }

    int Listen(SocketHandle socket, int backlog) noexcept override {
        return ::listen(Fd(socket), backlog) == 0 ? 0 : errno;
    }

    SocketHandle Accept(SocketHandle socket, SocketAddress* remote, int* error) noexcept override {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        const int fd = ::accept4(Fd(socket), reinterpret_cast<sockaddr*>(&address), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            *error = IsPassingAcceptError(errno) ? 0 : errno;
            return kInvalidSocket;
        }
        *remote = FromSockaddr(address);
        return fd;
    }

    std::int64_t Send(SocketHandle socket, const std::uint8_t* data, std::int64_t size,
                      int* error) noexcept override {
        for (;;) {
            // MSG_NOSIGNAL: a peer that went away is an error code here, not a SIGPIPE.
            const ssize_t n =
                ::send(Fd(socket), data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
            if (n >= 0) {
                return n;
            }
            if (errno == EINTR) {
                continue;
            }
            *error = errno;
            return IsWouldBlock(errno) ? kIoWouldBlock : kIoError;
        }
    }

    std::int64_t Receive(SocketHandle socket, std::uint8_t* data, std::int64_t size,
                         int* error) noexcept override {
        for (;;) {
            const ssize_t n = ::recv(Fd(socket), data, static_cast<std::size_t>(size), 0);
            if (n >= 0) {
                return n;
            }
            if (errno == EINTR) {
                continue;
            }
            *error = errno;
            return IsWouldBlock(errno) ? kIoWouldBlock : kIoError;
        }
    }

    bool WaitEntry(SocketHandle socket, bool forWrite, SocketWait* wait) noexcept override {
        wait->socket = socket;
        wait->forWrite = forWrite;
        wait->drain = false;
        return true;
    }

    int Wait(SocketHandle socket, bool forWrite, int timeoutMs) noexcept override {
        pollfd entry{};
        entry.fd = Fd(socket);
        entry.events = forWrite ? POLLOUT : POLLIN;
        const int result = ::poll(&entry, 1, timeoutMs < 0 ? -1 : timeoutMs);
        if (result < 0) {
            return errno == EINTR ? 0 : -1;
        }
        if (result == 0) {
            return 0;
        }
        // An error or hang-up also ends the wait; the next call reports what happened.
        return 1;
    }

    int PendingError(SocketHandle socket) noexcept override {
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(Fd(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            return errno;
        }
        return error;
    }

    bool LocalAddress(SocketHandle socket, SocketAddress* local) noexcept override {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        if (::getsockname(Fd(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return false;
        }
        *local = FromSockaddr(address);
        return true;
    }

    bool SetReceiveBufferSize(SocketHandle socket, int bytes) noexcept override {
        return ::setsockopt(Fd(socket), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
    }
};

std::atomic<TSocketTransport*> g_pseudoTransport{nullptr};

}  // namespace

int WaitForSockets(const SocketWait* waits, std::size_t count, int timeoutMs) noexcept {
    constexpr std::size_t kMaxWaits = 256;
    pollfd entries[kMaxWaits];
    const std::size_t n = std::min(count, kMaxWaits);
    for (std::size_t i = 0; i < n; ++i) {
        entries[i].fd = Fd(waits[i].socket);
        entries[i].events = waits[i].forWrite ? POLLOUT : POLLIN;
        entries[i].revents = 0;
    }
    const int result = ::poll(entries, n, timeoutMs < 0 ? -1 : timeoutMs);
    for (std::size_t i = 0; i < n && result > 0; ++i) {
        if (waits[i].drain && entries[i].revents != 0) {
            std::uint64_t count = 0;
            (void)!::read(entries[i].fd, &count, sizeof(count));  // non-blocking: empty is fine
        }
    }
    return result > 0 ? 1 : 0;
}

void SetReceiveLowWater(SocketHandle socket, int bytes) noexcept {
    (void)::setsockopt(Fd(socket), SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes);
}

TSocketTransport& TcpTransport() noexcept {
    static PosixTcpTransport transport;
    return transport;
}

TSocketTransport* PseudoSocketTransport() noexcept {
    return g_pseudoTransport.load(std::memory_order_acquire);
}

void SetPseudoSocketTransport(TSocketTransport* transport) noexcept {
    g_pseudoTransport.store(transport, std::memory_order_release);
}

}  // namespace koruvan::engine
