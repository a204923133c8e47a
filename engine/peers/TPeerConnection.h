// The connection under every peer: a non-blocking TCP socket (later also a UDP pseudo-socket
// for NAT traversal), optionally tunnelled through an HTTP, SOCKS4, SOCKS4a or SOCKS5 proxy,
// with a growable send and receive buffer from the socket buffer pool, byte counters and
// the times the peers' rate computations need.
//
// A connection belongs to one peer and is used by that peer's task thread only; it takes
// no lock. The shared state it touches (buffer pool, proxy defaults, resolver) locks itself.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/peers/ConnectionBuffer.h"
#include "engine/peers/ProxySettings.h"
#include "engine/peers/SocketTransport.h"

namespace koruvan::engine {

class TPeerConnection {
  public:
    // The read size of a Receive(0) call (and of the proxy pump in Send).
    static constexpr std::int32_t kClassicReceiveSize = 43008;
    // The read size of a Receive() call without an argument. Bulk transfers on fast links
    // (loopback reaches several GB/s) need few, large reads per pass to keep system-call and
    // buffer-shuffling cost low; 256 KiB per pass covers a full default socket buffer while
    // a few dozen connections still stay well inside the memory budget.
    static constexpr std::int32_t kDefaultReceiveSize = 256 * 1024;
    // The largest read a caller may ask for; larger requests are cut to it.
    static constexpr std::int32_t kMaxReceiveSize = 16 * 1024 * 1024;
    // SetReceiveBuffer: accepted range and the value used outside it.
    static constexpr std::int32_t kMaxSocketBuffer = 1048576;
    static constexpr std::int32_t kFallbackSocketBuffer = 8192;
    // Listen backlogs.
    static constexpr int kTcpBacklog = 32;
    static constexpr int kUdpBacklog = 1024;
    // Pause between sends while waitMode drains the send buffer.
    static constexpr std::uint32_t kWaitSendPauseMs = 5;

    TPeerConnection() noexcept = default;
    ~TPeerConnection() { Close(); }
    TPeerConnection(const TPeerConnection&) = delete;
    TPeerConnection& operator=(const TPeerConnection&) = delete;

    // Dials ip:port (network order / host order). proxy null: the process-wide defaults;
    // localIp valid: bind to it first; nodeId (8 bytes): a UDP pseudo-socket to that node.
    // wait: the connect (and later sends) may block until the socket is writable. Without
    // wait the connect completes in the background (see IsConnected); a proxy handshake
    // still waits for the proxy within its time-out. False closes the connection.
    [[nodiscard]] bool Connect(std::uint32_t ip, std::uint16_t port, bool wait,
                               const TProxySettings* proxy = nullptr, std::uint32_t localIp = 0,
                               const std::uint8_t* nodeId = nullptr);
    // Dials by host text. With a proxy that takes names the proxy resolves it; otherwise it
    // is resolved here (ResolveSimple). On success HostText() is the host.
    [[nodiscard]] bool ConnectTo(const char* host, std::uint16_t port, bool wait,
                                 const TProxySettings* proxy = nullptr, std::uint32_t localIp = 0,
                                 const std::uint8_t* nodeId = nullptr);
    [[nodiscard]] bool Listen(std::uint16_t port, std::uint32_t localIp = 0,
                              const std::uint8_t* nodeId = nullptr);
    // The next waiting incoming connection, or null.
    [[nodiscard]] std::unique_ptr<TPeerConnection> Accept();

    // Hands data to the socket (queued bytes first, so output stays in order) and queues
    // what does not go out now. Returns the bytes handed to the socket by this call, 0, or
    // -1 when the socket failed (it is then closed).
    std::int32_t Send(const std::uint8_t* data, std::int32_t len);
    // Sends queued bytes (at most len; all when len < 0).
    std::int32_t Flush(std::int32_t len = -1) { return Send(nullptr, len); }
    // Appends to the send buffer only.
    [[nodiscard]] bool Queue(const std::uint8_t* data, std::int32_t len) noexcept;
    // Reads at most max bytes (max <= 0: kClassicReceiveSize) onto the receive buffer.
    // Returns the bytes now held, 0 when nothing could be read (or a proxy reply is still
    // incomplete), -1 when the connection failed or closed. Bytes that arrived before the
    // remote side closed stay readable until Consume or Close.
    std::int32_t Receive(std::int32_t max = kDefaultReceiveSize);
    // Drops n bytes (all when n < 0) from the front of the receive buffer; keepCapacity
    // keeps the block even when it is mostly unused.
    void Consume(std::int32_t n, bool keepCapacity = false) noexcept;
    // The received bytes for the peer. Until the proxy tunnel is open they are the proxy's
    // reply, not the peer's, and read as empty.
    [[nodiscard]] const std::uint8_t* Data() const noexcept;
    [[nodiscard]] std::int32_t DataSize() const noexcept { return tunnelReady_ ? recv_.Used() : 0; }
    [[nodiscard]] std::int32_t PendingSend() const noexcept { return send_.Used(); }

    [[nodiscard]] bool IsOpen() const noexcept { return socket_ != kInvalidSocket; }
    // What a waiting task polls for this connection: false unless it is an open TCP socket
    // (pseudo-sockets are not waited on).
    [[nodiscard]] bool WaitEntry(SocketWait& wait) const noexcept;
    // See SetReceiveLowWater (TCP only).
    void SetReceiveLowWater(int bytes) noexcept;
    [[nodiscard]] bool HasRemote() const noexcept {
        return IsValidIp(remoteIp_) && remotePort_ > 0;
    }
    // Open, not listening, remote known and the connect has completed (polled without
    // waiting). A connect that failed closes the socket.
    [[nodiscard]] bool IsConnected() noexcept;
    // Closes the socket, gives both buffers back and returns every field to its initial value.
    void Close() noexcept;

    // SO_RCVBUF; values outside 1..1048576 become 8192. Ignored in UDP mode.
    void SetReceiveBuffer(std::int32_t bytes) noexcept;
    // Bytes per second since the connection became usable (at least one second); 0 without
    // a connect time or bytes.
    [[nodiscard]] std::int64_t AverageSendRate(std::int64_t now) const noexcept;
    [[nodiscard]] std::int64_t AverageReceiveRate(std::int64_t now) const noexcept;

    [[nodiscard]] const TProxySettings& Proxy() const noexcept { return proxy_; }
    [[nodiscard]] bool TunnelReady() const noexcept { return tunnelReady_; }
    [[nodiscard]] const std::string& HostText() const noexcept { return hostText_; }
    [[nodiscard]] std::uint32_t RemoteIp() const noexcept { return remoteIp_; }
    [[nodiscard]] std::uint16_t RemotePort() const noexcept { return remotePort_; }
    [[nodiscard]] std::uint32_t LocalIp() const noexcept { return localIp_; }
    [[nodiscard]] std::uint16_t LocalPort() const noexcept { return localPort_; }
    [[nodiscard]] std::int32_t SendCapacity() const noexcept { return send_.Capacity(); }
    [[nodiscard]] std::int32_t ReceiveCapacity() const noexcept { return recv_.Capacity(); }
    [[nodiscard]] bool Listening() const noexcept { return listening_; }
    [[nodiscard]] bool WaitMode() const noexcept { return waitMode_; }
    [[nodiscard]] bool UdpMode() const noexcept { return udpMode_; }
    [[nodiscard]] std::int64_t BytesSent() const noexcept { return bytesSent_; }
    [[nodiscard]] std::int64_t BytesReceived() const noexcept { return bytesReceived_; }
    // Bytes moved over every connection this object has made: Close does not reset them,
    // so a step that closes or reconnects still accounts for what it moved.
    [[nodiscard]] std::int64_t LifetimeBytesSent() const noexcept { return lifetimeSent_; }
    [[nodiscard]] std::int64_t LifetimeBytesReceived() const noexcept { return lifetimeReceived_; }
    [[nodiscard]] std::int32_t LastError() const noexcept { return lastError_; }
    [[nodiscard]] std::int64_t ConnectTime() const noexcept { return connectTime_; }
    [[nodiscard]] std::int64_t LastTime() const noexcept { return lastTime_; }
    // UDP mode: the remote node id (8 bytes), "UDP", the marker '0' and a terminating 0.
    [[nodiscard]] const std::uint8_t* RemoteNode() const noexcept { return remoteNode_; }
    [[nodiscard]] bool Disguised() const noexcept { return disguised_; }
    void SetDisguised(bool disguised) noexcept { disguised_ = disguised; }
    // After each send the rest only moves to the front of the send buffer (no reallocation).
    void SetCompactSend(bool compact) noexcept { compactSend_ = compact; }

  private:
    [[nodiscard]] bool OpenSocket(bool wait, const std::uint8_t* nodeId) noexcept;
    // Closes after a failed connect, keeping the error; returns false.
    bool FailConnect() noexcept;
    // Marks the connect complete and reads the local address back.
    void ConnectCompleted() noexcept;
    // Closes the socket after a failure; received bytes stay, queued output is dropped.
    void DropSocket(std::int32_t error) noexcept;
    // Bytes handed to the socket, 0 when it would block, -1 after a failure (socket closed).
    [[nodiscard]] std::int64_t SendRaw(const std::uint8_t* data, std::int64_t size) noexcept;
    [[nodiscard]] std::int32_t SendData(const std::uint8_t* data, std::int32_t len) noexcept;
    [[nodiscard]] std::int32_t FlushQueued(std::int32_t len) noexcept;
    // Checks the proxy's reply once bytes arrived: kProxyReplyIncomplete, kProxyReplyFailed
    // (connection closed) or the reply length (tunnel ready).
    [[nodiscard]] std::int32_t CheckTunnelReply() noexcept;

    // The proxy handshakes (TPeerConnectionProxy.cpp), run right after the connect.
    [[nodiscard]] bool RunProxyHandshake() noexcept;
    [[nodiscard]] bool HttpTunnelHandshake() noexcept;
    [[nodiscard]] bool Socks4Handshake() noexcept;
    [[nodiscard]] bool Socks5Handshake() noexcept;
    // The host name a SOCKS request carries, or empty when it carries the address.
    [[nodiscard]] std::string SocksName() const;
    // Waits up to timeoutMs for the (proxy) connect to complete.
    [[nodiscard]] bool WaitConnected(int timeoutMs) noexcept;
    [[nodiscard]] bool SendAllWithin(const std::uint8_t* data, std::size_t size,
                                     int timeoutMs) noexcept;
    [[nodiscard]] bool ReceiveExactWithin(std::uint8_t* data, std::size_t size,
                                          int timeoutMs) noexcept;

    TProxySettings proxy_;
    bool tunnelReady_ = false;
    bool bareTarget_ = false;  // the proxy target is an address, not a host name
    std::string hostText_;
    std::uint32_t remoteIp_ = 0;  // network order
    std::uint32_t localIp_ = 0;   // network order
    SocketHandle socket_ = kInvalidSocket;
    TSocketTransport* transport_ = nullptr;  // the transport socket_ belongs to
    ConnectionBuffer send_;
    ConnectionBuffer recv_;
    std::uint16_t remotePort_ = 0;
    std::uint16_t localPort_ = 0;
    bool connected_ = false;
    bool listening_ = false;
    bool waitMode_ = false;
    bool disguised_ = false;
    bool udpMode_ = false;
    bool compactSend_ = false;
    std::int64_t bytesSent_ = 0;
    std::int64_t bytesReceived_ = 0;
    std::int64_t lifetimeSent_ = 0;
    std::int64_t lifetimeReceived_ = 0;
    std::int32_t lastError_ = 0;
    std::int32_t flushedByTunnel_ = 0;  // queued bytes the tunnel's completion sent
    std::int64_t connectTime_ = 0;      // engine time when the connection became usable
    std::int64_t lastTime_ = 0;         // engine time the connection or tunnel completed
    std::uint8_t remoteNode_[13] = {};
};

// The address listeners bind to when the caller names none (the engine's chosen local
// address once the UDP layer has determined it); null or 0 means all local addresses.
using ListenAddressSource = std::uint32_t (*)() noexcept;
void SetListenAddressSource(ListenAddressSource source) noexcept;

}  // namespace koruvan::engine
