// The pseudo-socket calls, shaped like the Winsock ones: every failure sets a Winsock
// error number (UdpLastError) and returns -1 or the invalid handle 0.
#include <algorithm>
#include <cstring>

#include "engine/core/base/LockGuard.h"
#include "engine/dht/QUInternalServer.h"

namespace koruvan::engine {

using namespace udp;

namespace {

int Fail(int error) noexcept {
    SetUdpLastError(error);
    return -1;
}

}  // namespace

std::uint32_t QUInternalServer::UdpSocket() noexcept {
    LockGuard guard(&ThreadLock(), true);
    std::unique_ptr<UdpConnection> record = NewRecord();
    const std::uint32_t handle = record->handle;
    main_.push_back(std::move(record));
    SetUdpLastError(0);
    return handle;
}

int QUInternalServer::UdpBind(std::uint32_t handle, const sockaddr_in* address,
                              int length) noexcept {
    LockGuard guard(&ThreadLock(), true);
    if (address == nullptr || length < 16) {
        return Fail(kWsaEinval);
    }
    const int port = ntohs(address->sin_port);
    for (auto& r : bound_) {
        if (r->listenPort == port) {
            return Fail(kWsaEaddrinuse);
        }
    }
    UdpConnection* c = Find(main_, handle);
    if (c == nullptr) {
        return Fail(kWsaEnotsock);
    }
    if (c->state != kFresh) {
        return Fail(kWsaEinval);
    }
    std::unique_ptr<UdpConnection> record = Take(main_, handle);
    record->state = kBound;
    record->listenPort = port;
    bound_.push_back(std::move(record));
    SetUdpLastError(0);
    return 0;
}

int QUInternalServer::UdpListen(std::uint32_t handle, int backlog) noexcept {
    LockGuard guard(&ThreadLock(), true);
    backlog_ = std::min(4096, std::max({backlog, backlog_, 5}));
    if (!configured_) {
        return Fail(kWsaNotInitialised);
    }
    UdpConnection* c = Find(bound_, handle);
    if (c == nullptr) {
        return Fail(kWsaEnotsock);
    }
    c->state = kListening;
    SetUdpLastError(0);
    return 0;
}

std::uint32_t QUInternalServer::UdpAccept(std::uint32_t listener, sockaddr_in* address,
                                          int* length) noexcept {
    LockGuard guard(&ThreadLock(), true);
    if (TransportDisabled()) {
        Fail(kWsaEinval);
        return 0;
    }
    UdpConnection* l = Find(bound_, listener);
    if (l == nullptr) {
        Fail(kWsaEnotsock);
        return 0;
    }
    if (l->state != kListening) {
        Fail(kWsaEinval);
        return 0;
    }
    for (auto it = acceptQueue_.begin(); it != acceptQueue_.end(); ++it) {
        UdpConnection& r = **it;
        if (r.state != kEstablished || r.listenPort != l->listenPort) {
            continue;
        }
        r.lastActivity = clock_->Seconds();
        if (address != nullptr) {
            std::memset(address, 0, sizeof(*address));
            address->sin_family = AF_INET;
            address->sin_port = htons(static_cast<std::uint16_t>(r.targetPort));
            address->sin_addr.s_addr = r.targetIp;
            std::memcpy(address->sin_zero, r.targetIdentity, kNodeIdBytes);
        }
        if (length != nullptr) {
            *length = 16;
        }
        const std::uint32_t handle = r.handle;
        UdpConnection& accepted = *it->get();
        main_.push_back(std::move(*it));
        acceptQueue_.erase(it);
        // Its first acknowledgement (of data that arrived before the accept, if any) goes now.
        if (accepted.lastAckTick == 0) {
            AnswerNewData(accepted, clock_->Tick());
        }
        Reschedule();
        SetUdpLastError(0);
        return handle;
    }
    Fail(kWsaEwouldblock);
    return 0;
}

int QUInternalServer::UdpConnect(std::uint32_t handle, const sockaddr_in* address,
                                 int length) noexcept {
    LockGuard guard(&ThreadLock(), true);
    if (TransportDisabled() || address == nullptr || length != 16 ||
        address->sin_addr.s_addr == 0 || address->sin_addr.s_addr == 0xFFFFFFFFu) {
        return Fail(kWsaEnetunreach);
    }
    UdpConnection* c = Find(main_, handle);
    if (c == nullptr) {
        return Fail(kWsaEnotsock);
    }
    if (c->state != kFresh) {
        return Fail(kWsaEintr);
    }
    const std::int64_t now = clock_->Seconds();
    c->state = kWaitLookup;
    c->lastActivity = now;
    c->targetIp = address->sin_addr.s_addr;
    c->targetPort = ntohs(address->sin_port);
    c->listenPort = c->targetPort;
    std::memcpy(c->targetIdentity, address->sin_zero, kNodeIdBytes);
    std::memcpy(c->targetIdentity + kNodeIdBytes, "UDP0", 4);
    c->lastLookup = now - 1;
    c->requestNumber = QueueLookup(c->targetIp, c->targetIdentity);
    Reschedule();  // the lookup goes out with the loop's next pass
    return Fail(kWsaEwouldblock);
}

int QUInternalServer::UdpSend(std::uint32_t handle, const std::uint8_t* buffer,
                              int length) noexcept {
    LockGuard guard(&ThreadLock(), true);
    if (TransportDisabled() || buffer == nullptr || length < 0) {
        return Fail(kWsaEinval);
    }
    UdpConnection* c = Find(main_, handle);
    if (c == nullptr || c->state == kWaitLookup || c->state == kPunching) {
        return Fail(kWsaEwouldblock);
    }
    if (c->state != kEstablished) {
        return Fail(kWsaEnotconn);
    }
    c->CompactSendSlots();
    const std::uint32_t seconds = clock_->Seconds();
    const int payload = c->PayloadSize(seconds);
    const int window = c->Window(seconds);
    int taken = 0;
    while (c->usedSendSlots < kSlots && taken < length) {
        const int chunk = std::min(payload, length - taken);
        const int slot = c->usedSendSlots++;
        std::vector<std::uint8_t>& p = c->sendSlots[slot];
        p.assign(static_cast<std::size_t>(kHeaderBytes + chunk), 0);
        Put32(p.data() + 32, static_cast<std::uint32_t>(chunk));
        Put32(p.data() + 36, c->sendBase + static_cast<std::uint32_t>(slot));
        std::memcpy(p.data() + kHeaderBytes, buffer + taken, static_cast<std::size_t>(chunk));
        taken += chunk;
        c->retries[slot] = 0;
        c->lastSentTick[slot] = 0;
        if (slot < window && TransmitSlot(*c, slot) != kWsaEwouldblock) {
            ++c->sends;
            const std::uint32_t sent = clock_->Tick() - 5;
            c->lastSentTick[slot] = sent != 0 ? sent : 1;
        }
    }
    if (taken == 0) {
        return Fail(kWsaEwouldblock);
    }
    Reschedule();  // retransmission timers, and packets left for the data pass
    SetUdpLastError(0);
    return taken;
}

int QUInternalServer::UdpRecv(std::uint32_t handle, std::uint8_t* buffer, int size) noexcept {
    LockGuard guard(&ThreadLock(), true);
    if (TransportDisabled() || buffer == nullptr || size <= 0) {
        return Fail(kWsaEinval);
    }
    UdpConnection* c = Find(main_, handle);
    if (c == nullptr || c->state == kWaitLookup || c->state == kPunching) {
        return Fail(kWsaEwouldblock);
    }
    // A closed connection still hands out what arrived before the close.
    if (c->state != kEstablished && !(c->state == kClosed && c->HasReadable())) {
        return Fail(kWsaEnotconn);
    }
    int copied = 0;
    while (copied < size) {
        UdpBlock* block = nullptr;
        const bool fromQueue = !c->readyQueue.empty();
        if (fromQueue) {
            block = &c->readyQueue.front();
        } else if (c->receiveSlots[0]) {
            block = c->receiveSlots[0].get();
        } else {
            break;
        }
        if (block->length <= 0) {
            CloseConnection(*c);
            return Fail(kWsaEinval);
        }
        const std::size_t left = block->payload.size() - block->offset;
        const std::size_t n = std::min(left, static_cast<std::size_t>(size - copied));
        std::memcpy(buffer + copied, block->payload.data() + block->offset, n);
        block->offset += n;
        copied += static_cast<int>(n);
        if (block->offset < block->payload.size()) {
            break;
        }
        if (fromQueue) {
            c->readyQueue.pop_front();
        } else {
            c->receiveBase = block->sequence + 1;
            for (int k = 0; k + 1 < kSlots; ++k) {
                c->receiveSlots[k] = std::move(c->receiveSlots[k + 1]);
            }
            c->receiveSlots[kSlots - 1].reset();
        }
    }
    if (copied == 0) {
        return Fail(kWsaEwouldblock);
    }
    if (c->lastAckTick == 0 && c->ackHeldTick != 0) {
        // An acknowledgement waited for the reader to make room: it goes now.
        const int filled = c->FilledReceiveSlots();
        c->MoveInSequence();
        if (!c->receiveSlots[0]) {
            SendAck(*c, clock_->Tick(), filled);
            Reschedule();
        }
    }
    SetUdpLastError(0);
    return copied;
}

int QUInternalServer::UdpGetLocalName(std::uint32_t handle, sockaddr_in* address,
                                      int* length) noexcept {
    LockGuard guard(&ThreadLock(), true);
    if (address == nullptr || length == nullptr) {
        return Fail(kWsaEinval);
    }
    UdpConnection* c = Find(main_, handle);
    if (c == nullptr) {
        return Fail(kWsaEnotsock);
    }
    if (!c->connected) {
        return Fail(kWsaEnotconn);
    }
    std::memset(address, 0, sizeof(*address));
    address->sin_family = AF_INET;
    address->sin_addr.s_addr = localIp_;
    address->sin_port = htons(static_cast<std::uint16_t>(c->listenPort));
    std::memcpy(address->sin_zero, identity_, kNodeIdBytes);
    *length = 16;
    SetUdpLastError(0);
    return 0;
}

int QUInternalServer::UdpCloseSocket(std::uint32_t handle) noexcept {
    LockGuard guard(&ThreadLock(), true);
    if (std::unique_ptr<UdpConnection> c = Take(main_, handle)) {
        if (c->connected && c->state != kClosed) {
            std::uint8_t body[32] = {};
            Put32(body, static_cast<std::uint32_t>(c->listenPort));
            Put32(body + 4, c->handle);
            Put32(body + 8, c->instanceWord);
            SendControl(*c, kClose, body);
            SendControl(*c, kClose, body);
        }
        Recycle(std::move(c));
    } else if (std::unique_ptr<UdpConnection> l = Take(bound_, handle)) {
        const int port = l->listenPort;
        for (auto it = acceptQueue_.begin(); it != acceptQueue_.end();) {
            if ((*it)->listenPort == port) {
                Recycle(std::move(*it));
                it = acceptQueue_.erase(it);
            } else {
                ++it;
            }
        }
        Recycle(std::move(l));
    } else {
        return Fail(kWsaEnotsock);
    }
    FlushSignals();
    SetUdpLastError(0);
    return 0;
}

int QUInternalServer::ConnectionState(std::uint32_t handle) noexcept {
    LockGuard guard(&ThreadLock(), true);
    for (List* list : {&main_, &bound_, &acceptQueue_}) {
        if (UdpConnection* c = Find(*list, handle)) {
            return c->state;
        }
    }
    return -1;
}

int QUInternalServer::Backlog() noexcept {
    LockGuard guard(&ThreadLock(), true);
    return backlog_;
}

std::size_t QUInternalServer::PendingLookups() noexcept {
    LockGuard guard(&ThreadLock(), true);
    return pending_.size();
}

std::size_t QUInternalServer::PunchEntries() noexcept {
    LockGuard guard(&ThreadLock(), true);
    return punches_.size();
}

QUInternalServer::TransportFigures QUInternalServer::FiguresOf(std::uint32_t handle) noexcept {
    LockGuard guard(&ThreadLock(), true);
    TransportFigures f;
    if (UdpConnection* c = Find(main_, handle)) {
        const std::uint32_t now = clock_->Seconds();
        f.lossRate = c->LossRate(now);
        f.window = c->Window(now);
        f.payloadSize = c->PayloadSize(now);
        f.sends = c->sends;
        f.retransmits = c->retransmits;
    }
    return f;
}

}  // namespace koruvan::engine
