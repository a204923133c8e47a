// The rendezvous side of the server: register, keep-alive and batched lookup messages, the
// server's replies, connect notices and the hole-punch packets they cause. The caller
// holds the server lock in every function here.
#include <algorithm>
#include <cstring>

#include "engine/dht/QUInternalServer.h"
#include "engine/peers/IpAddress.h"

namespace koruvan::engine {

using namespace udp;

namespace {

bool ValidPort(std::uint32_t port) noexcept {
    return port >= 1 && port <= 65535;
}

}  // namespace

void QUInternalServer::SendRegister() noexcept {
    std::uint8_t m[64] = {};
    Put32(m + 12, kRegisterType);
    std::memcpy(m + 16, identity_, kIdentityBytes);
    Put32(m + 28, ++requestCounter_);
    PutIp(m + 32, localIp_);
    Put32(m + 36, static_cast<std::uint32_t>(localPort_));
    serverReplied_ = false;
    if (IsValidIp(serverIp_)) {
        SendRaw(m, sizeof(m), serverIp_, serverPort_);
    }
}

void QUInternalServer::SendKeepAlive() noexcept {
    const std::uint8_t m[8] = {};
    if (IsValidIp(serverIp_)) {
        SendRaw(m, sizeof(m), serverIp_, serverPort_);
    }
}

std::uint32_t QUInternalServer::QueueLookup(std::uint32_t ip,
                                            const std::uint8_t* identity) noexcept {
    if (batchLen_ >= kBatchFlushAt) {
        SendBatch();
    }
    if (batchLen_ == 0) {
        batchRequest_ = ++requestCounter_;
        if (pending_.size() + 1 > kMaxPending) {
            pending_.clear();
        }
        pending_.push_back(batchRequest_);
        std::memset(batch_, 0, 48);
        Put32(batch_ + 12, kLookupType);
        std::memcpy(batch_ + 16, identity_, kIdentityBytes);
        Put32(batch_ + 28, batchRequest_);
        PutIp(batch_ + 32, localIp_);
        Put32(batch_ + 36, static_cast<std::uint32_t>(localPort_));
        Put32(batch_ + 40, 1);
        batchLen_ = 48;
    }
    std::uint8_t* entry = batch_ + batchLen_;
    PutIp(entry, ip);
    Put32(entry + 4, 0);
    std::memcpy(entry + 8, identity, kNodeIdBytes);
    batchLen_ += 16;
    Put32(batch_ + 44, static_cast<std::uint32_t>((batchLen_ - 48) / 16));
    return batchRequest_;
}

void QUInternalServer::SendBatch() noexcept {
    if (batchLen_ > 0 && IsValidIp(serverIp_)) {
        SendRaw(batch_, batchLen_, serverIp_, serverPort_);
    }
    batchLen_ = 0;
}

void QUInternalServer::DispatchTransport(const std::uint8_t* d, int n, std::uint32_t ip,
                                         int port) noexcept {
    const bool fromServer = IsValidIp(serverIp_) && ip == serverIp_;
    if (n == 8 && fromServer) {
        OnKeepAliveReply(d);
        return;
    }
    if (n < 32) {
        return;
    }
    const auto w = static_cast<std::int32_t>(Get32(d));
    if (n == 32 && static_cast<std::uint32_t>(w) == kConnectNoticeWord && fromServer) {
        if (IsBehindNat()) {
            OnConnectNotice(d);
        }
        return;
    }
    static const std::uint8_t kZero[20] = {};
    if (w == 0 && n == 48 && std::memcmp(d, kZero, 20) == 0 &&
        std::memcmp(d + 20, identity_, kNodeIdBytes) == 0) {
        OnPunch(d, ip, port);
        return;
    }
    if (w > 0 && n >= kHeaderBytes) {
        OnTransportPacket(d, n, ip, port);
        return;
    }
    if (w <= 0 && n >= kHeaderBytes && fromServer) {
        OnLookupReply(d, n);
    }
}

void QUInternalServer::OnKeepAliveReply(const std::uint8_t* d) noexcept {
    const std::uint32_t external = GetIp(d);
    if (IsValidIp(external)) {
        externalIp_.store(external);
    }
    serverReplied_ = true;
}

void QUInternalServer::OnLookupReply(const std::uint8_t* d, int n) noexcept {
    if (Get32(d + 12) != kLookupReplyType || std::memcmp(d + 16, identity_, kIdentityBytes) != 0) {
        return;
    }
    const std::uint32_t request = Get32(d + 28);
    const auto it = std::find(pending_.begin(), pending_.end(), request);
    if (it == pending_.end()) {
        return;
    }
    pending_.erase(it);
    const std::uint64_t count = Get32(d + 44);
    if (static_cast<std::uint64_t>(n - 48) < 16 * count) {
        return;  // the waiting connections look up again from the timers
    }
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint8_t* e = d + 48 + 16 * i;
        const bool echo = Get32(e + 4) == kPlaceholderEchoPort && IsPlaceholder(e + 8);
        if (!echo) {
            ResolveWaiting(e + 8, GetIp(e), static_cast<int>(Get32(e + 4)), false, nullptr);
            continue;
        }
        if (i + 1 < count) {
            const std::uint8_t* next = e + 16;
            if (!(Get32(next + 4) == kPlaceholderEchoPort && IsPlaceholder(next + 8))) {
                ResolveWaiting(next + 8, GetIp(next), static_cast<int>(Get32(next + 4)), true,
                               e + 8);
                ++i;
            }
        }
    }
    for (auto& c : main_) {
        if (c->state == kWaitLookup && c->requestNumber == request) {
            MarkClosed(*c);
        }
    }
}

void QUInternalServer::ResolveWaiting(const std::uint8_t* id, std::uint32_t ip, int port,
                                      bool byPlaceholder,
                                      const std::uint8_t* placeholder) noexcept {
    if (!IsValidIp(ip) || !ValidPort(static_cast<std::uint32_t>(port))) {
        return;  // an unusable answer: the connection keeps waiting and fails as unanswered
    }
    const std::uint8_t* match = byPlaceholder ? placeholder : id;
    for (auto& c : main_) {
        if (c->state != kWaitLookup || std::memcmp(c->targetIdentity, match, kNodeIdBytes) != 0) {
            continue;
        }
        std::memcpy(c->targetIdentity, id, kNodeIdBytes);
        c->targetIp = ip;
        c->targetPort = port;
        c->requestNumber = 0xFFFFFFFFu;
        StartPunching(*c);
    }
}

void QUInternalServer::StartPunching(UdpConnection& c) noexcept {
    c.state = kPunching;
    SendConnectRequest(c);
}

void QUInternalServer::OnConnectNotice(const std::uint8_t* d) noexcept {
    const std::uint32_t ip = GetIp(d + 20);
    const std::uint32_t port = Get32(d + 24);
    if (!IsValidIp(ip) || !ValidPort(port)) {
        return;
    }
    for (auto& entry : punches_) {
        if (entry.ip == ip && entry.port == static_cast<int>(port)) {
            std::memcpy(entry.identity, d + 4, kIdentityBytes);
            entry.sendCount = 1;
            return;
        }
    }
    PunchEntry entry;
    std::memcpy(entry.identity, d + 4, kIdentityBytes);
    entry.ip = ip;
    entry.port = static_cast<int>(port);
    entry.sendCount = 1;
    int error = 0;
    SendPunch(entry, &error);
    if (punches_.size() < kMaxPunches) {
        punches_.push_back(entry);
    }
}

void QUInternalServer::SendPunch(const PunchEntry& entry, int* error) noexcept {
    std::uint8_t m[48] = {};
    std::memcpy(m + 20, entry.identity, kIdentityBytes);
    Put16(m + 32, static_cast<std::uint16_t>(localPort_));
    std::memcpy(m + 36, identity_, kIdentityBytes);
    *error = SendRaw(m, sizeof(m), entry.ip, entry.port);
}

void QUInternalServer::ResendPunches() noexcept {
    for (std::size_t k = punches_.size(); k-- > 0;) {
        int error = 0;
        SendPunch(punches_[k], &error);
        if (error == kWsaEwouldblock) {
            return;
        }
        if (punches_[k].sendCount++ > 1) {
            punches_.erase(punches_.begin() + static_cast<std::ptrdiff_t>(k));
        }
    }
}

void QUInternalServer::OnPunch(const std::uint8_t* d, std::uint32_t ip, int port) noexcept {
    std::uint8_t placeholder[kNodeIdBytes];
    MakePlaceholder(placeholder, ip, Get16(d + 32));
    for (auto& c : main_) {
        if (c->targetIp != ip || (c->state != kWaitLookup && c->state != kPunching)) {
            continue;
        }
        if (c->state == kWaitLookup &&
            std::memcmp(c->targetIdentity, placeholder, kNodeIdBytes) == 0) {
            std::memcpy(c->targetIdentity, d + 36, kNodeIdBytes);
        }
        if (std::memcmp(c->targetIdentity, d + 36, kNodeIdBytes) == 0) {
            c->targetPort = port;
            StartPunching(*c);
        }
    }
}

}  // namespace koruvan::engine
