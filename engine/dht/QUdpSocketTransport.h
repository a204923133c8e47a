// The socket wrapper's UDP mode: the connection layer's transport interface carried out
// by the pseudo-socket calls of a QUInternalServer. Installed with SetPseudoSocketTransport
// while the server runs.
#pragma once

#include "engine/dht/QUInternalServer.h"
#include "engine/peers/SocketTransport.h"

namespace koruvan::engine {

class QUdpSocketTransport final : public TSocketTransport {
  public:
    // Null: the process-wide server, looked up at every call (it is deleted and made anew
    // across engine clean-ups, while this transport lives on).
    explicit QUdpSocketTransport(QUInternalServer* server = nullptr) noexcept : server_(server) {}

    SocketHandle Open(int* error) noexcept override;
    void CloseHandle(SocketHandle socket) noexcept override;
    int Bind(SocketHandle socket, const SocketAddress& local) noexcept override;
    int Connect(SocketHandle socket, const SocketAddress& remote) noexcept override;
    int Listen(SocketHandle socket, int backlog) noexcept override;
    SocketHandle Accept(SocketHandle socket, SocketAddress* remote, int* error) noexcept override;
    std::int64_t Send(SocketHandle socket, const std::uint8_t* data, std::int64_t size,
                      int* error) noexcept override;
    std::int64_t Receive(SocketHandle socket, std::uint8_t* data, std::int64_t size,
                         int* error) noexcept override;
    int Wait(SocketHandle socket, bool forWrite, int timeoutMs) noexcept override;
    int PendingError(SocketHandle socket) noexcept override;
    bool LocalAddress(SocketHandle socket, SocketAddress* local) noexcept override;
    bool SetReceiveBufferSize(SocketHandle, int) noexcept override { return true; }
    // The calling thread's wake-up descriptor, armed to be signalled when the pseudo-socket
    // turns ready, so that a task waits on it in one poll() with its TCP sockets.
    bool WaitEntry(SocketHandle socket, bool forWrite, SocketWait* wait) noexcept override;

  private:
    QUInternalServer& Server() noexcept;

    QUInternalServer* server_;
};

// The process-wide transport over QUInternalServer::Instance().
QUdpSocketTransport& EngineUdpTransport();

}  // namespace koruvan::engine
