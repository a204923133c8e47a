// How fast a window turns over: at the end of every burst of datagrams the server answers
// what the burst brought instead of leaving it to the next timer pass. New data is
// acknowledged at once; an acknowledgement that freed send slots lets the packets waiting
// for room in the window go at once. The caller holds the server lock.
#include "engine/dht/QUInternalServer.h"

namespace koruvan::engine {

using namespace udp;

namespace {

// An owed acknowledgement held back for a reader that is a window behind goes out after this
// long anyway (the repeat time of the acknowledgement pass), so that the sender keeps hearing
// from this side.
constexpr std::uint32_t kHeldAckMs = 1200;

std::uint32_t NonZeroTick(std::uint32_t tick) noexcept {
    return tick != 0 ? tick : 1;
}

}  // namespace

void QUInternalServer::FinishBurst() noexcept {
    const std::uint32_t now = clock_->Tick();
    for (std::size_t i = main_.size(); i-- > 0;) {
        UdpConnection& c = *main_[i];
        if (c.state != kEstablished) {
            continue;
        }
        if (c.slotsFreed) {
            c.slotsFreed = false;
            SendFresh(c);
        }
        if (c.lastAckTick == 0 && !AnswerNewData(c, now)) {
            break;  // the socket is full: the acknowledgement pass tries again
        }
    }
    FlushSignals();
}

bool QUInternalServer::AnswerNewData(UdpConnection& c, std::uint32_t now) noexcept {
    const int filled = c.FilledReceiveSlots();
    c.MoveInSequence();
    if (c.receiveSlots[0]) {
        // The ready queue is full and the reader has not caught up: acknowledging the
        // stored packets now would free the sender's window for packets beyond what this
        // side can hold, and those would be dropped and sent again seconds later.
        if (c.ackHeldTick == 0) {
            c.ackHeldTick = NonZeroTick(now);
            return true;
        }
        if (now - c.ackHeldTick < kHeldAckMs) {
            return true;
        }
    }
    return SendAck(c, now, filled);
}

bool QUInternalServer::SendAck(UdpConnection& c, std::uint32_t now, int filled) noexcept {
    c.MoveInSequence();
    c.CompactSendSlots();
    std::uint8_t body[32] = {};
    Put32(body, c.sendBase);
    Put32(body + 4, c.receiveBase);
    for (int k = 0; k < kSlots; ++k) {
        body[8 + k] = c.receiveSlots[k] ? 1 : 0;
    }
    c.lastAckTick = NonZeroTick(now);
    c.ackHeldTick = 0;
    if (SendControl(c, kAck, body) == kWsaEwouldblock) {
        return false;
    }
    return filled < 2 || SendControl(c, kAck, body) != kWsaEwouldblock;
}

void QUInternalServer::SendFresh(UdpConnection& c) noexcept {
    const int window = c.Window(clock_->Seconds());
    const std::uint32_t now = clock_->Tick();
    for (int k = 0; k < window && k < c.usedSendSlots; ++k) {
        if (c.sendSlots[k].empty() || c.lastSentTick[k] != 0) {
            continue;
        }
        if (TransmitSlot(c, k) == kWsaEwouldblock) {
            return;  // the data pass sends it later
        }
        // Counted as UdpSend counts its own first transmissions.
        ++c.sends;
        c.lastSentTick[k] = NonZeroTick(now - 5);
    }
}

}  // namespace koruvan::engine
