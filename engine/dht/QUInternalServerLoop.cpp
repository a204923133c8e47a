// The "UDPServer" thread: bursts of datagrams, the timers after them, and the waits in
// poll() until the socket has data, a caller signals the loop or the next timer is due.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "engine/core/base/LockGuard.h"
#include "engine/dht/QUInternalServer.h"

namespace koruvan::engine {
namespace {

// Datagrams of more than 8 bytes taken in one burst before the timers get their turn.
constexpr int kBurstDatagrams = 19;
// After a full burst: the lock is left to the pseudo-socket callers for a moment.
constexpr std::uint32_t kFloodPauseMs = 2;
constexpr std::uint32_t kSocketErrorPauseMs = 2;
constexpr std::uint32_t kResolveRetryMs = 30;
// The engine may flip its transport switch without calling the server: while the transport
// is off the loop looks at the switch this often.
constexpr std::int64_t kSwitchCheckMs = 1000;
// Without a wake-up descriptor (none could be made) callers cannot wake the loop: it looks
// this often instead.
constexpr std::int64_t kNoWakeFdPollMs = 10;

}  // namespace

int QUInternalServer::Run() {
    LockGuard guard(&ThreadLock(), true);
    OpenSocket();  // on failure the loop below tries again
    // A name look-up may take seconds: it runs without the server lock.
    while (!StopRequested() && serverIp_ == 0) {
        const std::string host = serverHost_;
        guard.Unlock();
        const std::uint32_t ip = ResolveServerName(host);
        if (ip == 0) {
            WaitForWake(kResolveRetryMs);
        }
        guard.Lock();
        if (ip != 0) {
            serverIp_ = ip;
        }
    }
    std::uint8_t buffer[udp::kReceiveBuffer];
    while (!StopRequested()) {
        if (TransportDisabled() && !dhtRunning_.load()) {
            PauseWhileUnused(guard);
            continue;
        }
        if (NeedsOpen() && !OpenSocket()) {
            continue;
        }
        const Burst burst = ReceiveBurst(buffer, guard);
        if (burst == Burst::kSocketError) {
            CloseSocket();
            if (!OpenSocket()) {
                continue;
            }
            UnlockedSleep(kSocketErrorPauseMs);
        }
        if (burst == Burst::kDrained || burst == Burst::kFull) {
            FinishBurst();
        }
        RunTimers();
        if (burst == Burst::kFull) {
            UnlockedSleep(kFloodPauseMs);  // more is waiting: no wait, only the pause
            continue;
        }
        WaitForWork(guard);
    }
    CloseSocket();
    return 0;
}

QUInternalServer::Burst QUInternalServer::ReceiveBurst(std::uint8_t* buffer,
                                                       LockGuard& guard) noexcept {
    int counted = 0;
    bool any = false;
    while (true) {
        sockaddr_in from{};
        socklen_t fromLen = sizeof(from);
        const ssize_t n = ::recvfrom(fd_, buffer, udp::kMaxDatagram, 0,
                                     reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                return any ? Burst::kDrained : Burst::kNothing;
            }
            return Burst::kSocketError;
        }
        buffer[n] = 0;
        any = true;
        const std::uint32_t ip = from.sin_addr.s_addr;
        const int port = ntohs(from.sin_port);
        if (n > 8 && buffer[0] == 'd') {
            // The DHT handler runs without the server lock: the DHT thread takes its own lock
            // and then sends through this server, so holding ours could deadlock.
            std::shared_ptr<DhtHandler> handler = dhtHandler_;
            guard.Unlock();
            CallDht(handler, buffer, static_cast<int>(n), ip, port);
            guard.Lock();
        } else if (!TransportDisabled()) {
            DispatchTransport(buffer, static_cast<int>(n), ip, port);
        }
        if (n > 8 && ++counted >= kBurstDatagrams) {
            return Burst::kFull;
        }
    }
}

void QUInternalServer::WaitForWork(LockGuard& guard) noexcept {
    if (fd_ < 0) {
        return;  // closed by a failed send: reopened at the top of the loop
    }
    std::int64_t next = NextTimerMs();
    const auto cap = [&next](std::int64_t limit) {
        next = next < 0 ? limit : std::min(next, limit);
    };
    if (TransportDisabled()) {
        cap(kSwitchCheckMs);
    }
    if (loopWake_.Fd() < 0) {
        cap(kNoWakeFdPollMs);
    }
    if (next == 0) {
        return;
    }
    const int timeout = next < 0 ? -1 : static_cast<int>(std::min<std::int64_t>(next, INT_MAX));
    loopWaiting_ = true;
    loopWaitBounded_ = timeout >= 0;
    loopWakeAt_ = clock_->Tick() + static_cast<std::uint32_t>(std::max(timeout, 0));
    pollfd fds[2] = {{fd_, POLLIN, 0}, {loopWake_.Fd(), POLLIN, 0}};
    guard.Unlock();
    clock_->Poll(fds, 2, timeout);
    if (fds[1].revents != 0) {
        loopWake_.Drain();
    }
    guard.Lock();
    loopWaiting_ = false;
}

void QUInternalServer::PauseWhileUnused(LockGuard& guard) noexcept {
    CloseSocket();
    guard.Unlock();
    while (!StopRequested() && TransportDisabled() && !dhtRunning_.load()) {
        WaitForWake(static_cast<std::uint32_t>(kSwitchCheckMs));
    }
    guard.Lock();
    registerClock_ = keepAliveClock_ = 0;
    serverReplied_ = false;
}

void QUInternalServer::WaitForWake(std::uint32_t ms) noexcept {
    pollfd wake{loopWake_.Fd(), POLLIN, 0};
    clock_->Poll(&wake, 1, static_cast<int>(ms));
    if (wake.revents != 0) {
        loopWake_.Drain();
    }
}

void QUInternalServer::UnlockedSleep(std::uint32_t ms) noexcept {
    QTMutex& lock = ThreadLock();
    const std::uint32_t depth = lock.Count();
    for (std::uint32_t k = 0; k < depth; ++k) {
        lock.Unlock();
    }
    clock_->Sleep(ms);
    for (std::uint32_t k = 0; k < depth; ++k) {
        lock.Lock();
    }
}

void QUInternalServer::Reschedule() noexcept {
    if (!loopWaiting_) {
        return;  // the loop is awake and looks at its timers before it waits again
    }
    const std::int64_t next = NextTimerMs();
    if (next < 0) {
        return;
    }
    const std::uint32_t due = clock_->Tick() + static_cast<std::uint32_t>(next);
    if (!loopWaitBounded_ || static_cast<std::int32_t>(due - loopWakeAt_) < 0) {
        loopWaiting_ = false;
        loopWake_.Signal();
    }
}

}  // namespace koruvan::engine
