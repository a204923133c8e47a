// Transport packets of the pseudo-sockets: checks, the handshake (connect, accept, accept
// acknowledgement, refuse), data, acknowledgements, probes and close. The caller holds the
// server lock in every function here.
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "engine/dht/QUInternalServer.h"

namespace koruvan::engine {

using namespace udp;

namespace {

std::uint32_t PacketChecksum(const std::uint8_t* p, int len) noexcept {
    return static_cast<std::uint32_t>(adler32(Get32(p + 8), p + 32, static_cast<uInt>(len - 32)));
}

// Fills the length and checksum fields of a complete packet.
void SealPacket(std::uint8_t* p, int len) noexcept {
    Put32(p, static_cast<std::uint32_t>(len));
    Put32(p + 4, PacketChecksum(p, len));
}

bool InstanceMatches(std::uint32_t packet, std::uint32_t record) noexcept {
    return packet == record || packet == 0;
}

}  // namespace

int QUInternalServer::SendControl(UdpConnection& c, std::uint32_t type,
                                  const std::uint8_t* body) noexcept {
    std::uint8_t p[kHeaderBytes] = {};
    const bool own = type == kConnect || type == kAccept;
    Put32(p + 8, own ? c.handle : c.remoteHandle);
    Put32(p + 12, (type & 0x80000000u) != 0 ? c.lastControlSeq : ++c.controlSeq);
    Put32(p + 16, type);
    std::memcpy(p + 20, c.targetIdentity, kIdentityBytes);
    std::memcpy(p + 32, body, 32);
    SealPacket(p, kHeaderBytes);
    int error = SendRaw(p, kHeaderBytes, c.targetIp, c.targetPort);
    if (error == 0 && (own || type == kAcceptAck)) {
        error = SendRaw(p, kHeaderBytes, c.targetIp, c.targetPort);
    }
    return error;
}

int QUInternalServer::SendConnectRequest(UdpConnection& c) noexcept {
    std::uint8_t body[32] = {};
    Put32(body, static_cast<std::uint32_t>(c.targetPort));
    std::memcpy(body + 4, identity_, kIdentityBytes);
    Put32(body + 16, static_cast<std::uint32_t>(c.listenPort));
    Put32(body + 28, c.instanceWord);
    return SendControl(c, kConnect, body);
}

int QUInternalServer::SendAcceptPacket(UdpConnection& c) noexcept {
    std::uint8_t body[32] = {};
    Put32(body, static_cast<std::uint32_t>(c.addressedPort));
    std::memcpy(body + 4, c.targetIdentity, kIdentityBytes);
    Put32(body + 16, static_cast<std::uint32_t>(c.listenPort));
    Put32(body + 24, c.instanceWord);
    Put32(body + 28, c.remoteHandle);
    return SendControl(c, kAccept, body);
}

int QUInternalServer::SendRefuse(const std::uint8_t* request, std::uint32_t ip, int port) noexcept {
    std::uint8_t p[kHeaderBytes] = {};
    std::memcpy(p + 8, request + 8, 8);  // the requester's handle and header sequence
    Put32(p + 16, kRefuse);
    std::memcpy(p + 20, request + 36, kIdentityBytes);
    std::memcpy(p + 32, request + 32, 32);
    SealPacket(p, kHeaderBytes);
    return SendRaw(p, kHeaderBytes, ip, port);
}

int QUInternalServer::TransmitSlot(UdpConnection& c, int slot) noexcept {
    std::vector<std::uint8_t>& p = c.sendSlots[slot];
    const int len = static_cast<int>(p.size());
    Put32(p.data() + 8, c.remoteHandle);
    Put32(p.data() + 12, ++c.controlSeq);
    Put32(p.data() + 16, kData);
    std::memcpy(p.data() + 20, c.targetIdentity, kIdentityBytes);
    SealPacket(p.data(), len);
    return SendRaw(p.data(), len, c.targetIp, c.targetPort);
}

void QUInternalServer::CloseConnection(UdpConnection& c) noexcept {
    // Data already received stays readable; only what waits for acknowledgement goes.
    MarkClosed(c);
    c.FreeSendSlots();
}

void QUInternalServer::MarkClosed(UdpConnection& c) noexcept {
    c.state = kClosed;
    Touch(c);
}

void QUInternalServer::OnTransportPacket(const std::uint8_t* d, int n, std::uint32_t ip,
                                         int port) noexcept {
    const std::uint32_t handle = Get32(d + 8);
    if (std::memcmp(d + 20, identity_, kNodeIdBytes) != 0 || handle == 0 ||
        Get32(d) != static_cast<std::uint32_t>(n) || PacketChecksum(d, n) != Get32(d + 4)) {
        return;
    }
    const std::uint32_t type = Get32(d + 16);
    if (type == kConnect) {
        OnConnect(d, ip, port);
        return;
    }
    if (type == kAccept) {
        OnAccept(d, ip, port);
        return;
    }
    if (type == kAcceptAck) {
        OnAcceptAck(d, ip, port);
        return;
    }
    UdpConnection* c = Find(main_, handle);
    if (c == nullptr) {
        // Established but not yet taken by UdpAccept: the connector sends at once, and what
        // it sends is kept for the reader rather than dropped and sent again seconds later.
        c = Find(acceptQueue_, handle);
        c = c != nullptr && c->state == kEstablished ? c : nullptr;
    }
    if (c == nullptr || c->targetIp != ip) {
        return;
    }
    const std::int64_t now = clock_->Seconds();
    if (type == kRefuse) {
        if (c->state == kPunching && Get32(d + 32) == static_cast<std::uint32_t>(c->targetPort) &&
            Get32(d + 48) == static_cast<std::uint32_t>(c->listenPort)) {
            MarkClosed(*c);
        }
        return;
    }
    if (c->state != kEstablished) {
        return;
    }
    const bool samePort = c->targetPort == port;
    const bool listenMatches = Get32(d + 32) == static_cast<std::uint32_t>(c->listenPort);
    switch (type) {
        case kData:
            if (samePort) {
                OnData(*c, d, n);
            }
            break;
        case kAck:
            if (samePort) {
                OnAck(*c, d);
            }
            break;
        case kSingleAck:
            if (samePort) {
                OnSingleAck(*c, d);
            }
            break;
        case kProbe:
            if (listenMatches) {
                c->targetPort = port;
                c->lastActivity = now;
            }
            break;
        case kClose: {
            const std::uint32_t sender = Get32(d + 36);
            if (listenMatches && Get32(d + 40) == c->instanceWord &&
                (sender == 0 || sender == c->remoteHandle)) {
                CloseConnection(*c);
            }
            break;
        }
        default:
            break;
    }
}

void QUInternalServer::OnConnect(const std::uint8_t* d, std::uint32_t ip, int port) noexcept {
    const std::uint32_t addressed = Get32(d + 32);
    const std::uint32_t listenPort = Get32(d + 48);
    if (addressed == 0 || listenPort == 0) {
        return;
    }
    std::erase_if(punches_, [&](const PunchEntry& e) { return e.ip == ip && e.port == port; });
    const std::uint32_t remote = Get32(d + 8);
    const std::uint32_t seq = Get32(d + 12);
    const std::uint32_t instance = Get32(d + 60);
    const auto sameConnection = [&](const UdpConnection& r) {
        return r.targetIp == ip && r.remoteHandle == remote &&
               static_cast<std::uint32_t>(r.listenPort) == listenPort &&
               std::memcmp(r.targetIdentity, d + 36, kNodeIdBytes) == 0 && r.state != kClosed;
    };
    UdpConnection* old = nullptr;
    bool queued = false;
    for (auto& r : acceptQueue_) {
        if (sameConnection(*r)) {
            old = r.get();
            queued = true;
            break;
        }
    }
    for (auto it = main_.begin(); old == nullptr && it != main_.end(); ++it) {
        if ((*it)->incoming && (*it)->state == kEstablished && sameConnection(**it)) {
            old = it->get();
        }
    }
    if (old != nullptr) {
        if (InstanceMatches(instance, old->instanceWord)) {
            // A repeated request: answer again only when it is newer than the last one.
            const bool ignore =
                (queued && old->state == kAcceptSent) || !SeqNewer(seq, old->lastControlSeq);
            if (!ignore) {
                old->lastControlSeq = seq;
                SendAcceptPacket(*old);
            }
            return;
        }
        if (instance > old->instanceWord || old->instanceWord - instance > 0xFFFFFFu) {
            CloseConnection(*old);
        } else {
            return;
        }
    }
    UdpConnection* listener = nullptr;
    for (auto& r : bound_) {
        if (r->state == kListening && static_cast<std::uint32_t>(r->listenPort) == listenPort) {
            listener = r.get();
            break;
        }
    }
    if (listener == nullptr || acceptQueue_.size() >= static_cast<std::size_t>(backlog_)) {
        SendRefuse(d, ip, port);
        return;
    }
    std::unique_ptr<UdpConnection> r = NewRecord();
    r->incoming = true;
    r->state = kAcceptSent;
    r->remoteHandle = remote;
    r->lastControlSeq = seq;
    r->addressedPort = static_cast<std::int32_t>(addressed);
    r->listenPort = static_cast<std::int32_t>(listenPort);
    r->instanceWord = instance;
    std::memcpy(r->targetIdentity, d + 36, kIdentityBytes);
    r->targetIp = ip;
    r->targetPort = port;
    r->lastActivity = clock_->Seconds();
    UdpConnection& added = *r;
    acceptQueue_.push_back(std::move(r));
    SendAcceptPacket(added);
}

void QUInternalServer::OnAccept(const std::uint8_t* d, std::uint32_t ip, int port) noexcept {
    UdpConnection* c = Find(main_, Get32(d + 60));
    if (c == nullptr) {
        return;
    }
    const std::uint32_t remote = Get32(d + 8);
    const std::uint32_t seq = Get32(d + 12);
    const bool ok =
        !c->incoming && Get32(d + 48) == static_cast<std::uint32_t>(c->listenPort) &&
        c->targetIp == ip && Get32(d + 32) == static_cast<std::uint32_t>(c->targetPort) &&
        SeqNewer(seq, c->lastControlSeq) && (c->remoteHandle == 0 || c->remoteHandle == remote) &&
        std::memcmp(d + 36, identity_, kNodeIdBytes) == 0 &&
        (c->state == kPunching || c->state == kEstablished) && Get32(d + 56) == c->instanceWord;
    if (!ok) {
        return;
    }
    c->targetPort = port;
    c->remoteHandle = remote;
    c->lastControlSeq = seq;
    c->lastActivity = clock_->Seconds();
    c->state = kEstablished;
    c->connected = true;
    Touch(*c);
    std::uint8_t body[32] = {};
    Put32(body, c->instanceWord);
    SendControl(*c, kAcceptAck, body);
}

void QUInternalServer::OnAcceptAck(const std::uint8_t* d, std::uint32_t ip, int port) noexcept {
    UdpConnection* c = Find(acceptQueue_, Get32(d + 8));
    if (c == nullptr || !c->incoming || c->state != kAcceptSent || c->targetIp != ip ||
        SeqNewer(Get32(d + 12), c->controlSeq) || Get32(d + 32) != c->instanceWord) {
        return;
    }
    c->targetPort = port;
    c->lastActivity = clock_->Seconds();
    c->state = kEstablished;
    c->connected = true;
    TouchListener(c->listenPort);
}

void QUInternalServer::OnData(UdpConnection& c, const std::uint8_t* d, int n) noexcept {
    const auto length = static_cast<std::int32_t>(Get32(d + 32));
    const std::uint32_t sequence = Get32(d + 36);
    auto offset = static_cast<std::int32_t>(sequence - c.receiveBase);
    if (offset > kSlots - 1) {
        c.MoveInSequence();
        offset = static_cast<std::int32_t>(sequence - c.receiveBase);
        if (offset > kSlots - 1) {
            return;
        }
    }
    if (length < 0 || n != length + kHeaderBytes) {
        return;
    }
    if (offset >= 0 && !c.receiveSlots[offset]) {
        auto block = std::make_unique<UdpBlock>();
        block->length = length;
        block->sequence = sequence;
        block->payload.assign(d + kHeaderBytes, d + n);
        c.receiveSlots[offset] = std::move(block);
        c.bytesReceived += length;
        Touch(c);
    }
    c.lastActivity = clock_->Seconds();
    c.lastAckTick = 0;
}

void QUInternalServer::OnAck(UdpConnection& c, const std::uint8_t* d) noexcept {
    const std::uint32_t peerBase = Get32(d + 32);
    if (SeqNewer(peerBase, c.peerSendBase)) {
        c.peerSendBase = peerBase;
    }
    const std::uint32_t theirBase = Get32(d + 36);
    bool freed = false;
    for (int k = 0; k < c.usedSendSlots; ++k) {
        std::vector<std::uint8_t>& slot = c.sendSlots[k];
        if (slot.empty()) {
            continue;
        }
        const std::uint32_t sequence = c.sendBase + static_cast<std::uint32_t>(k);
        const auto position = static_cast<std::int32_t>(sequence - theirBase);
        if (position < 0 || (position < kSlots && d[40 + position] != 0)) {
            c.bytesAcked += static_cast<std::int32_t>(Get32(slot.data() + 32));
            slot.clear();
            c.lastSentTick[k] = 0;
            c.retries[k] = 0;
            freed = true;
        }
    }
    if (freed) {
        SlotsFreed(c);
    }
    c.lastActivity = clock_->Seconds();
}

void QUInternalServer::SlotsFreed(UdpConnection& c) noexcept {
    // The window moves on now rather than at the next acknowledgement pass, so that a
    // writer waiting for room sees it; the packets waiting for room go when the burst ends.
    c.CompactSendSlots();
    c.slotsFreed = true;
    Touch(c);
}

void QUInternalServer::OnSingleAck(UdpConnection& c, const std::uint8_t* d) noexcept {
    const std::uint32_t sequence = Get32(d + 36);
    const auto k = static_cast<std::int32_t>(sequence - c.sendBase);
    if (k >= 0 && k < c.usedSendSlots && !c.sendSlots[k].empty() &&
        Get32(c.sendSlots[k].data() + 32) == Get32(d + 32) &&
        Get32(c.sendSlots[k].data() + 36) == sequence) {
        c.bytesAcked += static_cast<std::int32_t>(Get32(d + 32));
        c.sendSlots[k].clear();
        c.lastSentTick[k] = 0;
        c.retries[k] = 0;
        SlotsFreed(c);
    }
    c.lastActivity = clock_->Seconds();
}

}  // namespace koruvan::engine
