// The socket calls under a connection, behind one small interface. Plain TCP sockets are the
// only transport today; the engine's UDP pseudo-sockets (reliable streams carried over the
// shared UDP socket for NAT traversal) will implement the same interface and be installed
// with SetPseudoSocketTransport, so that a connection in UDP mode runs the same code paths.
#pragma once

#include <cstddef>
#include <cstdint>

namespace koruvan::engine {

// A socket descriptor or a pseudo-socket handle; kInvalidSocket when none.
using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kInvalidSocket = -1;

// An IPv4 endpoint. A pseudo-socket address also names the remote node (8 bytes).
struct SocketAddress {
    std::uint32_t ip = 0;    // network order
    std::uint16_t port = 0;  // host order
    std::uint8_t node[8] = {};
};

// Outcome of a transfer call besides a byte count.
inline constexpr std::int64_t kIoWouldBlock = -1;  // nothing can move now; try later
inline constexpr std::int64_t kIoError = -2;       // the socket failed; see the error code

// Outcome of a connect call besides 0 (connected at once).
inline constexpr int kConnectInProgress = -1;

// One descriptor to wait on: a TCP socket for reading, or for writing (a connect under way);
// or a wake-up descriptor (`drain`) that the pseudo-socket transport signals when one of
// its sockets turns ready, emptied once the wait is over.
struct SocketWait {
    SocketHandle socket = kInvalidSocket;
    bool forWrite = false;
    bool drain = false;
};

class TSocketTransport {
  public:
    virtual ~TSocketTransport() = default;

    // A new non-blocking stream socket, or kInvalidSocket (error code in *error).
    virtual SocketHandle Open(int* error) noexcept = 0;
    virtual void CloseHandle(SocketHandle socket) noexcept = 0;
    // 0, or an error code.
    virtual int Bind(SocketHandle socket, const SocketAddress& local) noexcept = 0;
    // 0 when connected at once, kConnectInProgress, or an error code.
    virtual int Connect(SocketHandle socket, const SocketAddress& remote) noexcept = 0;
    // 0, or an error code.
    virtual int Listen(SocketHandle socket, int backlog) noexcept = 0;
    // The accepted socket (already non-blocking) and its remote end, or kInvalidSocket with
    // *error set: 0 when nothing was waiting or the failure concerned only that one incoming
    // connection (or a passing shortage of descriptors), else the listener's own error.
    virtual SocketHandle Accept(SocketHandle socket, SocketAddress* remote,
                                int* error) noexcept = 0;
    // Bytes moved (Receive: 0 means the remote side closed), kIoWouldBlock or kIoError.
    virtual std::int64_t Send(SocketHandle socket, const std::uint8_t* data, std::int64_t size,
                              int* error) noexcept = 0;
    virtual std::int64_t Receive(SocketHandle socket, std::uint8_t* data, std::int64_t size,
                                 int* error) noexcept = 0;
    // Waits up to timeoutMs (0: just looks; negative: no limit) until the socket can be
    // written (or read): 1 ready, 0 not ready, -1 error.
    virtual int Wait(SocketHandle socket, bool forWrite, int timeoutMs) noexcept = 0;
    // The error a finished non-blocking connect ended with (0: connected).
    virtual int PendingError(SocketHandle socket) noexcept = 0;
    virtual bool LocalAddress(SocketHandle socket, SocketAddress* local) noexcept = 0;
    virtual bool SetReceiveBufferSize(SocketHandle socket, int bytes) noexcept = 0;
    // What WaitForSockets waits on for this socket (readable, or writable when forWrite);
    // false when the transport has nothing to offer a poll().
    virtual bool WaitEntry(SocketHandle /*socket*/, bool /*forWrite*/,
                           SocketWait* /*wait*/) noexcept {
        return false;
    }
};

// The TCP transport (process-wide, stateless).
TSocketTransport& TcpTransport() noexcept;

// Waits up to timeoutMs until one of the descriptors can be read (or written); returns
// at once when one already can. Without sockets it just sleeps. 1 ready, 0 time-out.
int WaitForSockets(const SocketWait* waits, std::size_t count, int timeoutMs) noexcept;
// A socket is reported readable only once `bytes` are waiting (or it closed): a waiting
// task wakes for a useful amount rather than for every segment.
void SetReceiveLowWater(SocketHandle socket, int bytes) noexcept;
// The UDP pseudo-socket transport, or null while the UDP layer has not installed one.
TSocketTransport* PseudoSocketTransport() noexcept;
// Installed by the UDP layer when it starts (null when it stops). Connections already open
// keep the transport they were opened with, so the UDP layer must outlive them.
void SetPseudoSocketTransport(TSocketTransport* transport) noexcept;

}  // namespace koruvan::engine
