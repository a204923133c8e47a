#include "engine/peers/TPeerConnection.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "engine/core/base/EngineClock.h"
#include "engine/peers/ProxyHandshake.h"
#include "engine/peers/Resolver.h"

namespace koruvan::engine {
namespace {

std::atomic<ListenAddressSource> g_listenAddressSource{nullptr};

// The placeholder address dialled when the proxy resolves the name (0.0.0.1).
constexpr std::uint32_t kNamedTargetIp = HostToNet32(1);

void FillRemoteNode(std::uint8_t (&out)[13], const std::uint8_t* node) {
    std::memcpy(out, node, 8);
    std::memcpy(out + 8, "UDP0", 4);
    out[12] = 0;
}

// A host text that can be put on a request line or into a SOCKS request.
bool IsPlainHost(const char* host) {
    if (host == nullptr || *host == '\0') {
        return false;
    }
    for (const char* p = host; *p != '\0'; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        if (byte <= 32 || byte == 127) {
            return false;
        }
    }
    return true;
}

}  // namespace

void SetListenAddressSource(ListenAddressSource source) noexcept {
    g_listenAddressSource.store(source, std::memory_order_release);
}

bool TPeerConnection::OpenSocket(bool wait, const std::uint8_t* nodeId) noexcept {
    if (IsOpen()) {
        return true;
    }
    // UDP mode: the pseudo-socket transport, when the UDP layer has installed one.
    TSocketTransport* transport = nodeId != nullptr ? PseudoSocketTransport() : &TcpTransport();
    if (transport == nullptr) {
        return false;
    }
    int error = 0;
    const SocketHandle socket = transport->Open(&error);
    if (socket == kInvalidSocket) {
        lastError_ = error;
        return false;
    }
    transport_ = transport;
    socket_ = socket;
    udpMode_ = nodeId != nullptr;
    waitMode_ = wait;
    return true;
}

void TPeerConnection::ConnectCompleted() noexcept {
    connected_ = true;
    connectTime_ = EngineTime();
    SocketAddress local;
    if (transport_->LocalAddress(socket_, &local)) {
        localIp_ = local.ip;
        localPort_ = local.port;
        if (udpMode_) {
            FillRemoteNode(remoteNode_, local.node);
        }
    }
}

bool TPeerConnection::FailConnect() noexcept {
    const std::int32_t error = lastError_;
    Close();
    lastError_ = error;  // why it failed stays readable
    return false;
}

bool TPeerConnection::Connect(std::uint32_t ip, std::uint16_t port, bool wait,
                              const TProxySettings* proxy, std::uint32_t localIp,
                              const std::uint8_t* nodeId) {
    Close();
    if (!IsValidIp(ip) || port == 0) {
        return false;
    }
    remoteIp_ = ip;
    remotePort_ = port;
    hostText_ = FormatDotted(ip);
    if (!OpenSocket(wait, nodeId)) {
        return FailConnect();
    }
    SocketAddress dial{ip, port, {}};
    if (nodeId != nullptr) {
        std::memcpy(dial.node, nodeId, sizeof dial.node);
    }
    proxy_ = proxy != nullptr ? *proxy : DefaultProxySettings();
    tunnelReady_ = nodeId != nullptr || !proxy_.IsUsable();
    if (!tunnelReady_) {
        dial = SocketAddress{proxy_.ip, proxy_.port, {}};
        if (proxy_.target.empty()) {
            proxy_.target = hostText_ + ":" + std::to_string(port) + " HTTP/1.1\r\n";
            bareTarget_ = true;
        }
    }
    // A pseudo-socket rides the engine's one UDP socket: there is nothing of its own to bind
    // (binding it would make it a listener).
    if (IsValidIp(localIp) && !udpMode_) {
        const int bound = transport_->Bind(socket_, SocketAddress{localIp, 0, {}});
        if (bound != 0) {
            lastError_ = bound;
            return FailConnect();
        }
    }
    const int result = transport_->Connect(socket_, dial);
    if (result == 0) {
        ConnectCompleted();
    } else if (result != kConnectInProgress) {
        lastError_ = result;
        return FailConnect();
    } else if (waitMode_ && !WaitConnected(-1)) {
        return FailConnect();
    }
    const bool ok = tunnelReady_ || RunProxyHandshake();
    proxy_.target.clear();
    if (!ok) {
        return FailConnect();
    }
    lastTime_ = EngineTime();
    return true;
}

bool TPeerConnection::ConnectTo(const char* host, std::uint16_t port, bool wait,
                                const TProxySettings* proxy, std::uint32_t localIp,
                                const std::uint8_t* nodeId) {
    if (!IsPlainHost(host)) {
        Close();
        return false;
    }
    TProxySettings settings = proxy != nullptr ? *proxy : DefaultProxySettings();
    std::uint32_t ip = 0;
    if (nodeId == nullptr && settings.SendsNames()) {
        // The proxy resolves the name; nothing is looked up here.
        settings.target = settings.type == kProxyHttp
                              ? std::string(host) + ":" + std::to_string(port) + " HTTP/1.1\r\n"
                              : std::string(host);
        ip = kNamedTargetIp;
    } else {
        ip = ResolveSimple(host);
    }
    if (!Connect(ip, port, wait, &settings, localIp, nodeId)) {
        return false;
    }
    hostText_ = host;
    return true;
}

bool TPeerConnection::Listen(std::uint16_t port, std::uint32_t localIp,
                             const std::uint8_t* nodeId) {
    Close();
    if (port == 0) {
        return false;
    }
    std::uint32_t local = localIp;
    if (!IsValidIp(local)) {
        const ListenAddressSource source = g_listenAddressSource.load(std::memory_order_acquire);
        local = source != nullptr ? source() : 0;
    }
    if (!OpenSocket(false, nodeId)) {
        Close();
        return false;
    }
    const SocketAddress address{IsValidIp(local) ? local : 0, port, {}};
    if (transport_->Bind(socket_, address) != 0 ||
        transport_->Listen(socket_, udpMode_ ? kUdpBacklog : kTcpBacklog) != 0) {
        Close();
        return false;
    }
    listening_ = true;
    localIp_ = address.ip;
    localPort_ = port;
    lastTime_ = EngineTime();
    return true;
}

std::unique_ptr<TPeerConnection> TPeerConnection::Accept() {
    if (!IsOpen() || !listening_) {
        return nullptr;
    }
    if (waitMode_ && transport_->Wait(socket_, false, 0) != 1) {
        return nullptr;
    }
    SocketAddress remote;
    int error = 0;
    const SocketHandle socket = transport_->Accept(socket_, &remote, &error);
    if (socket == kInvalidSocket) {
        if (error != 0 && !udpMode_) {
            lastError_ = error;
            Close();
        }
        return nullptr;
    }
    std::unique_ptr<TPeerConnection> accepted(new (std::nothrow) TPeerConnection);
    if (!accepted) {
        transport_->CloseHandle(socket);
        return nullptr;
    }
    TPeerConnection& c = *accepted;
    c.transport_ = transport_;
    c.socket_ = socket;
    c.udpMode_ = udpMode_;
    c.remoteIp_ = remote.ip;
    c.remotePort_ = remote.port;
    c.tunnelReady_ = true;
    c.connected_ = true;
    c.localIp_ = localIp_;
    c.localPort_ = localPort_;
    c.hostText_ = FormatDotted(remote.ip);
    c.connectTime_ = c.lastTime_ = EngineTime();
    if (udpMode_) {
        FillRemoteNode(c.remoteNode_, remote.node);
    }
    return accepted;
}

bool TPeerConnection::IsConnected() noexcept {
    if (!IsOpen() || listening_ || !HasRemote()) {
        return false;
    }
    if (connected_) {
        return true;
    }
    if (transport_->Wait(socket_, true, 0) != 1) {
        return false;
    }
    // Writable after a failed connect too: the pending error tells which.
    const int error = transport_->PendingError(socket_);
    if (error != 0) {
        DropSocket(error);
        return false;
    }
    ConnectCompleted();
    return true;
}

void TPeerConnection::DropSocket(std::int32_t error) noexcept {
    lastError_ = error;
    if (IsOpen()) {
        transport_->CloseHandle(socket_);
    }
    socket_ = kInvalidSocket;
    connected_ = false;
    send_.Release();
}

void TPeerConnection::Close() noexcept {
    if (IsOpen()) {
        transport_->CloseHandle(socket_);
    }
    send_.Release();
    recv_.Release();
    proxy_ = TProxySettings{};
    tunnelReady_ = false;
    bareTarget_ = false;
    hostText_.clear();
    remoteIp_ = localIp_ = 0;
    socket_ = kInvalidSocket;
    transport_ = nullptr;
    remotePort_ = localPort_ = 0;
    connected_ = listening_ = waitMode_ = disguised_ = udpMode_ = compactSend_ = false;
    bytesSent_ = bytesReceived_ = 0;
    lastError_ = 0;
    flushedByTunnel_ = 0;
    connectTime_ = lastTime_ = 0;
    std::memset(remoteNode_, 0, sizeof remoteNode_);
}

std::int64_t TPeerConnection::SendRaw(const std::uint8_t* data, std::int64_t size) noexcept {
    if (size <= 0) {
        return 0;
    }
    int error = 0;
    const std::int64_t n = transport_->Send(socket_, data, size, &error);
    if (n == kIoWouldBlock) {
        return 0;
    }
    if (n < 0) {
        DropSocket(error);
        return -1;
    }
    bytesSent_ += n;
    lifetimeSent_ += n;
    return n;
}

bool TPeerConnection::Queue(const std::uint8_t* data, std::int32_t len) noexcept {
    return send_.Append(data, len);
}

std::int32_t TPeerConnection::Send(const std::uint8_t* data, std::int32_t len) {
    if (!IsOpen() || !HasRemote()) {
        return 0;
    }
    const bool withData = data != nullptr && len > 0;
    if (!tunnelReady_) {
        // The proxy request is out; output waits for the tunnel, whose reply the receive
        // path checks and which then sends what is queued.
        if (withData && !send_.Append(data, len)) {
            return -1;
        }
        flushedByTunnel_ = 0;
        if (Receive(kClassicReceiveSize) < 0) {
            return -1;
        }
        return flushedByTunnel_;
    }
    if (!IsConnected()) {
        if (!IsOpen()) {
            return -1;
        }
        return !withData || send_.Append(data, len) ? 0 : -1;
    }
    if (withData) {
        const std::int32_t sent = SendData(data, len);
        if (sent < 0 || !waitMode_) {
            return sent;
        }
        const std::int32_t rest = FlushQueued(-1);
        return rest < 0 ? -1 : sent + rest;
    }
    return FlushQueued(len);
}

std::int32_t TPeerConnection::SendData(const std::uint8_t* data, std::int32_t len) noexcept {
    std::int64_t sent = 0;
    if (send_.Used() > 0) {
        // Queued bytes go first, so the output keeps its order.
        sent = SendRaw(send_.Data(), std::min(send_.Used(), len));
        if (sent < 0) {
            return -1;
        }
        if (sent == 0) {
            return send_.Append(data, len) ? 0 : -1;
        }
        send_.RemoveFront(static_cast<std::int32_t>(sent), compactSend_);
    }
    if (send_.Used() > 0 || sent >= len) {
        return send_.Append(data, len) ? static_cast<std::int32_t>(sent) : -1;
    }
    const std::int64_t direct = SendRaw(data, len - sent);
    if (direct < 0) {
        return -1;
    }
    if (!send_.Append(data + direct, len - static_cast<std::int32_t>(direct))) {
        return -1;
    }
    if (send_.Used() == 0) {
        send_.RemoveFront(0, compactSend_);
    }
    return static_cast<std::int32_t>(sent + direct);
}

std::int32_t TPeerConnection::FlushQueued(std::int32_t len) noexcept {
    std::int64_t limit = len < 0 ? send_.Used() : std::min(len, send_.Used());
    std::int64_t total = 0;
    while (limit > 0) {
        const std::int64_t n = SendRaw(send_.Data(), limit);
        if (n < 0) {
            return -1;
        }
        if (n > 0) {
            send_.RemoveFront(static_cast<std::int32_t>(n), compactSend_);
            total += n;
            limit -= n;
        }
        if (!waitMode_ || limit == 0) {
            break;
        }
        SleepMs(kWaitSendPauseMs);
        if (transport_->Wait(socket_, true, -1) < 0) {
            DropSocket(lastError_);
            return -1;
        }
    }
    return static_cast<std::int32_t>(total);
}

std::int32_t TPeerConnection::Receive(std::int32_t max) {
    if (!IsOpen() || !HasRemote()) {
        return -1;
    }
    if (!IsConnected()) {
        return IsOpen() ? 0 : -1;
    }
    if (max <= 0) {
        max = kClassicReceiveSize;
    }
    max = std::min(max, kMaxReceiveSize);
    if (!recv_.MakeRoom(max)) {
        return -1;
    }
    if (waitMode_ && transport_->Wait(socket_, false, 0) != 1) {
        return 0;
    }
    int error = 0;
    const std::int64_t n = transport_->Receive(socket_, recv_.End(), max, &error);
    if (n == kIoWouldBlock) {
        return 0;
    }
    if (n <= 0) {
        DropSocket(n == 0 ? 0 : error);
        if (!tunnelReady_) {
            recv_.Release();  // part of a proxy reply: nothing for the peer
        }
        return -1;
    }
    recv_.Commit(static_cast<std::int32_t>(n));
    bytesReceived_ += n;
    lifetimeReceived_ += n;
    if (!tunnelReady_) {
        const std::int32_t reply = CheckTunnelReply();
        if (reply == kProxyReplyIncomplete) {
            return 0;
        }
        if (reply == kProxyReplyFailed || !IsOpen()) {
            return -1;
        }
    }
    return recv_.Used();
}

std::int32_t TPeerConnection::CheckTunnelReply() noexcept {
    const std::int32_t reply =
        CheckProxyReply(proxy_.type, recv_.Data(), static_cast<std::size_t>(recv_.Used()));
    if (reply == kProxyReplyIncomplete) {
        return reply;
    }
    if (reply < 0) {
        DropSocket(lastError_);
        recv_.Release();  // the refusal is the proxy's, not the peer's
        return kProxyReplyFailed;
    }
    tunnelReady_ = true;
    lastTime_ = EngineTime();
    if (proxy_.ConsumesReply()) {
        recv_.RemoveFront(reply, false);
    }
    if (send_.Used() > 0) {
        const std::int32_t flushed = FlushQueued(-1);
        flushedByTunnel_ += flushed > 0 ? flushed : 0;
    }
    return reply;
}

const std::uint8_t* TPeerConnection::Data() const noexcept {
    static const std::uint8_t kNothing[1] = {0};
    return tunnelReady_ ? recv_.Data() : kNothing;
}

void TPeerConnection::Consume(std::int32_t n, bool keepCapacity) noexcept {
    if (tunnelReady_) {
        recv_.RemoveFront(n, keepCapacity);
    }
}

bool TPeerConnection::WaitEntry(SocketWait& wait) const noexcept {
    return IsOpen() && transport_->WaitEntry(socket_, !connected_, &wait);
}

void TPeerConnection::SetReceiveLowWater(int bytes) noexcept {
    if (IsOpen() && transport_ == &TcpTransport()) {
        engine::SetReceiveLowWater(socket_, bytes);
    }
}

void TPeerConnection::SetReceiveBuffer(std::int32_t bytes) noexcept {
    if (!IsOpen() || udpMode_) {
        return;
    }
    if (bytes < 1 || bytes > kMaxSocketBuffer) {
        bytes = kFallbackSocketBuffer;
    }
    (void)transport_->SetReceiveBufferSize(socket_, bytes);
}

namespace {

std::int64_t AverageRate(std::int64_t bytes, std::int64_t since, std::int64_t now) noexcept {
    if (since == 0 || bytes <= 0) {
        return 0;
    }
    const std::int64_t seconds = now - since;
    return bytes / (seconds >= 1 ? seconds : 1);
}

}  // namespace

std::int64_t TPeerConnection::AverageSendRate(std::int64_t now) const noexcept {
    return AverageRate(bytesSent_, connectTime_, now);
}

std::int64_t TPeerConnection::AverageReceiveRate(std::int64_t now) const noexcept {
    return AverageRate(bytesReceived_, connectTime_, now);
}

}  // namespace koruvan::engine
