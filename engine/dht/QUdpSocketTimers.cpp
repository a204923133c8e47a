// The transport's timed work, run from the server loop: the data pass (first transmissions
// beyond the window and retransmissions), the acknowledgement pass and the 3-second
// connection timers, and when each of them next has work. The caller holds the server lock.
#include <cstring>

#include "engine/dht/QUInternalServer.h"

namespace koruvan::engine {

using namespace udp;

namespace {

std::uint32_t NonZeroTick(std::uint32_t tick) noexcept {
    return tick != 0 ? tick : 1;
}

// An acknowledgement is repeated after this long while the sender has not caught up.
constexpr std::uint32_t kAckRepeatMs = 1200;

}  // namespace

void QUInternalServer::DataPass() noexcept {
    const std::uint32_t now = clock_->Tick();
    for (std::size_t i = main_.size(); i-- > 0;) {
        UdpConnection& c = *main_[i];
        if (c.state != kEstablished || c.usedSendSlots == 0) {
            continue;
        }
        if (!DataPassRecord(c, now)) {
            // The socket is full: the rest waits for the next pass rather than spinning here
            // with the lock held.
            break;
        }
    }
    AckPass();
}

bool QUInternalServer::DataPassRecord(UdpConnection& c, std::uint32_t now) noexcept {
    const std::uint32_t seconds = clock_->Seconds();
    const int n = c.Window(seconds) / 2 + 2;
    const int resendLimit = c.LossRate(seconds) > 19 ? 2 : n;
    int counted = 0;
    int retriedSeen = 0;
    int resent = 0;
    for (int k = 0; k < c.usedSendSlots; ++k) {
        if (c.sendSlots[k].empty()) {
            continue;
        }
        if (c.retries[k] > 128) {
            CloseConnection(c);
            return true;
        }
        if (++counted > n || (c.retries[k] > 0 && ++retriedSeen > resendLimit)) {
            return true;
        }
        const bool wasSent = c.lastSentTick[k] != 0;
        const auto due = static_cast<std::uint32_t>(1600 + 800 * c.retries[k]);
        if (wasSent && now - c.lastSentTick[k] <= due) {
            continue;
        }
        const int error = TransmitSlot(c, k);
        if (error == kWsaEwouldblock) {
            return false;
        }
        if (error != 0) {
            continue;
        }
        if (wasSent) {
            ++c.retransmits;
            ++resent;
        }
        ++c.sends;
        ++c.retries[k];
        c.lastSentTick[k] = NonZeroTick(now);
        if (c.retries[k] > 1 || (wasSent && resent >= resendLimit)) {
            return true;
        }
    }
    return true;
}

void QUInternalServer::AckPass() noexcept {
    const std::uint32_t now = clock_->Tick();
    for (std::size_t i = main_.size(); i-- > 0;) {
        UdpConnection& c = *main_[i];
        if (c.state != kEstablished) {
            continue;
        }
        if (c.lastAckTick == 0) {
            if (!AnswerNewData(c, now)) {
                return;
            }
            continue;
        }
        if (now - c.lastAckTick < kAckRepeatMs) {
            continue;
        }
        const int filled = c.FilledReceiveSlots();
        c.MoveInSequence();
        c.CompactSendSlots();
        if (filled == 0 && c.receiveBase == c.peerSendBase && now - c.lastAckTick <= 11999) {
            continue;
        }
        if (!SendAck(c, now, filled)) {
            return;
        }
    }
}

std::int64_t QUInternalServer::DataDueMs(std::uint32_t now) noexcept {
    // Walks the send slots as DataPassRecord does, as far as a pass would get.
    const std::uint32_t seconds = clock_->Seconds();
    std::int64_t next = -1;
    for (auto& record : main_) {
        UdpConnection& c = *record;
        if (c.state != kEstablished || c.usedSendSlots == 0) {
            continue;
        }
        const int n = c.Window(seconds) / 2 + 2;
        const int resendLimit = c.LossRate(seconds) > 19 ? 2 : n;
        int counted = 0;
        int retriedSeen = 0;
        for (int k = 0; k < c.usedSendSlots; ++k) {
            if (c.sendSlots[k].empty()) {
                continue;
            }
            if (c.retries[k] > 128) {
                return 0;
            }
            if (++counted > n || (c.retries[k] > 0 && ++retriedSeen > resendLimit)) {
                break;
            }
            std::int64_t due = 0;
            if (c.lastSentTick[k] != 0) {
                const std::uint32_t wait = 1600u + 800u * static_cast<std::uint32_t>(c.retries[k]);
                const std::uint32_t since = now - c.lastSentTick[k];
                due = since > wait ? 0 : std::int64_t{wait - since} + 1;
            }
            if (next < 0 || due < next) {
                next = due;
            }
        }
    }
    return next;
}

std::int64_t QUInternalServer::AckDueMs(std::uint32_t now) noexcept {
    std::int64_t next = -1;
    for (auto& record : main_) {
        const UdpConnection& c = *record;
        if (c.state != kEstablished) {
            continue;
        }
        std::int64_t due = 0;
        if (c.lastAckTick == 0) {
            // Owed: at once, or when a held one is due anyway.
            const std::uint32_t held = now - c.ackHeldTick;
            due = c.ackHeldTick == 0 || held >= kAckRepeatMs ? 0 : kAckRepeatMs - held;
        } else {
            // Repeated while the two sides disagree, else as a sign of life.
            const bool behind = c.FilledReceiveSlots() > 0 || c.receiveBase != c.peerSendBase;
            const std::uint32_t period = behind ? kAckRepeatMs : 12000u;
            const std::uint32_t since = now - c.lastAckTick;
            due = since >= period ? 0 : period - since;
        }
        if (next < 0 || due < next) {
            next = due;
        }
    }
    return next;
}

bool QUInternalServer::NeedsConnectionCheck() const noexcept {
    if (!acceptQueue_.empty() || !punches_.empty()) {
        return true;
    }
    for (const auto& record : main_) {
        const std::int32_t state = record->state;
        if (state == kWaitLookup || state == kPunching || state == kEstablished) {
            return true;
        }
    }
    return false;
}

void QUInternalServer::ConnectionTimers() noexcept {
    const std::int64_t now = clock_->Seconds();
    const std::int64_t timeout = connectTimeoutSeconds_;
    for (auto it = acceptQueue_.begin(); it != acceptQueue_.end();) {
        UdpConnection& r = **it;
        const bool drop =
            r.state == kClosed || (r.state == kAcceptSent && now - r.lastActivity > timeout);
        if (drop) {
            Recycle(std::move(*it));
            it = acceptQueue_.erase(it);
            continue;
        }
        if (r.state == kAcceptSent) {
            SendAcceptPacket(r);
        }
        ++it;
    }
    for (auto& record : main_) {
        UdpConnection& c = *record;
        const std::int64_t silent = now - c.lastActivity;
        if (c.state == kWaitLookup || c.state == kPunching) {
            if (silent > timeout) {
                MarkClosed(c);
            } else if (c.state == kPunching) {
                SendConnectRequest(c);
            } else if (now - c.lastLookup > 3) {
                c.lastLookup = now;
                c.requestNumber = QueueLookup(c.targetIp, c.targetIdentity);
            }
        } else if (c.state == kEstablished) {
            if (silent > timeout) {
                CloseConnection(c);
            } else if (silent > timeout / 2) {
                std::uint8_t body[32] = {};
                Put32(body, static_cast<std::uint32_t>(c.listenPort));
                SendControl(c, kProbe, body);
            }
        }
    }
}

}  // namespace koruvan::engine
