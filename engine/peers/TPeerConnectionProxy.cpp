// The proxy handshakes of TPeerConnection: they run right after the connect to the proxy,
// each within the proxy's time-out (SOCKS: half of it per step). The final reply of every
// kind arrives through Receive, which checks it (see CheckTunnelReply).
#include <chrono>

#include "engine/peers/ProxyHandshake.h"
#include "engine/peers/TPeerConnection.h"

namespace koruvan::engine {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Milliseconds left until deadline (at least 0).
int MsLeft(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

bool TPeerConnection::WaitConnected(int timeoutMs) noexcept {
    if (connected_) {
        return true;
    }
    if (!IsOpen() || transport_->Wait(socket_, true, timeoutMs) != 1) {
        return false;
    }
    const int error = transport_->PendingError(socket_);
    if (error != 0) {
        DropSocket(error);
        return false;
    }
    ConnectCompleted();
    return true;
}

bool TPeerConnection::SendAllWithin(const std::uint8_t* data, std::size_t size,
                                    int timeoutMs) noexcept {
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t done = 0;
    while (done < size) {
        int error = 0;
        const std::int64_t n =
            transport_->Send(socket_, data + done, static_cast<std::int64_t>(size - done), &error);
        if (n == kIoError) {
            DropSocket(error);
            return false;
        }
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        const int left = MsLeft(deadline);
        if (left == 0 || transport_->Wait(socket_, true, left) != 1) {
            return false;
        }
    }
    return true;
}

bool TPeerConnection::ReceiveExactWithin(std::uint8_t* data, std::size_t size,
                                         int timeoutMs) noexcept {
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t done = 0;
    while (done < size) {
        const int left = MsLeft(deadline);
        if (left == 0 || transport_->Wait(socket_, false, left) != 1) {
            return false;
        }
        int error = 0;
        // Exactly the bytes of this step: what follows belongs to the next one.
        const std::int64_t n = transport_->Receive(socket_, data + done,
                                                   static_cast<std::int64_t>(size - done), &error);
        if (n == 0 || n == kIoError) {
            DropSocket(n == 0 ? 0 : error);
            return false;
        }
        if (n > 0) {
            bytesReceived_ += n;
            lifetimeReceived_ += n;
            done += static_cast<std::size_t>(n);
        }
    }
    return true;
}

bool TPeerConnection::RunProxyHandshake() noexcept {
    if (udpMode_) {
        return true;
    }
    switch (proxy_.type) {
        case kProxyHttp:
            return HttpTunnelHandshake();
        case kProxySocks4:
        case kProxySocks4a:
            return Socks4Handshake();
        case kProxySocks5:
            return Socks5Handshake();
        default:
            return false;
    }
}

std::string TPeerConnection::SocksName() const {
    const bool names =
        proxy_.remoteNames && (proxy_.type == kProxySocks4a || proxy_.type == kProxySocks5);
    return names && !bareTarget_ ? proxy_.target : std::string();
}

bool TPeerConnection::HttpTunnelHandshake() noexcept {
    if (proxy_.skipHandshake) {
        tunnelReady_ = true;
        return true;
    }
    std::string request;
    try {
        request = BuildHttpTunnelRequest(proxy_);
    } catch (...) {
        return false;
    }
    const int timeout = proxy_.TimeoutMs();
    if (request.empty() || !WaitConnected(timeout)) {
        return false;
    }
    return SendAllWithin(reinterpret_cast<const std::uint8_t*>(request.data()), request.size(),
                         timeout);
}

bool TPeerConnection::Socks4Handshake() noexcept {
    const int half = proxy_.TimeoutMs() / 2;
    if (!WaitConnected(half) || proxy_.target.empty() || remotePort_ == 0) {
        return false;
    }
    try {
        const std::vector<std::uint8_t> request =
            BuildSocks4Request(remoteIp_, remotePort_, SocksName());
        return !request.empty() && SendAllWithin(request.data(), request.size(), half);
    } catch (...) {
        return false;
    }
}

bool TPeerConnection::Socks5Handshake() noexcept {
    const int half = proxy_.TimeoutMs() / 2;
    if (!WaitConnected(half)) {
        return false;
    }
    try {
        const bool credentials = !proxy_.user.empty();
        const std::vector<std::uint8_t> greeting = BuildSocks5Greeting(credentials);
        std::uint8_t reply[2] = {};
        if (!SendAllWithin(greeting.data(), greeting.size(), half) ||
            !ReceiveExactWithin(reply, sizeof reply, half)) {
            return false;
        }
        if (reply[1] != (credentials ? 2 : 0)) {
            return false;
        }
        if (credentials) {
            const std::vector<std::uint8_t> login =
                BuildSocks5Credentials(proxy_.user, proxy_.password);
            if (!SendAllWithin(login.data(), login.size(), half) ||
                !ReceiveExactWithin(reply, sizeof reply, half) || reply[1] != 0) {
                return false;
            }
        }
        const std::vector<std::uint8_t> request =
            BuildSocks5Connect(remoteIp_, remotePort_, SocksName());
        return !request.empty() && SendAllWithin(request.data(), request.size(), half);
    } catch (...) {
        return false;
    }
}

}  // namespace koruvan::engine
