#include "engine/dht/QUInternalServer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "engine/core/base/EngineClock.h"
#include "engine/core/base/EngineLocks.h"
#include "engine/core/base/LockGuard.h"
#include "engine/peers/BufferPool.h"
#include "engine/peers/Resolver.h"

namespace koruvan::engine {
namespace {

thread_local int t_lastError = 0;
std::atomic<QUInternalServer*> g_instance{nullptr};

// The transport's timer periods. The data and acknowledgement passes run when a record
// needs them, at most this often; the other timers run on the seconds clock.
constexpr std::uint32_t kDataPassSpacingMs = 40;
constexpr std::uint32_t kAckPassSpacingMs = 20;
constexpr std::uint32_t kCheckSeconds = 3;
constexpr std::uint32_t kRegisterSeconds = 300;
constexpr std::int64_t kSecondsSlackMs = 150;

}  // namespace

bool ReleaseIdleBuffers(TBufferPool& pool) noexcept {
    // Connection buffers: when more than 2048 KiB are cached and at most 35 % of them are in
    // use, the free ones go back to the system.
    const BufferPoolTotals t = pool.Totals();
    const std::size_t total = t.inUseBytes + t.freeBytes;
    if (total <= 2048u * 1024u || t.inUseBytes * 100 > total * 35) {
        return false;
    }
    pool.Trim(0);
    return true;
}

std::uint32_t UdpClock::Tick() noexcept {
    return TickCount();
}
std::uint32_t UdpClock::Seconds() noexcept {
    return EngineSeconds();
}
void UdpClock::Sleep(std::uint32_t ms) noexcept {
    SleepMs(ms);
}
int UdpClock::Poll(pollfd* fds, int count, int timeoutMs) noexcept {
    return ::poll(fds, static_cast<nfds_t>(count), timeoutMs < 0 ? -1 : timeoutMs);
}
void UdpClock::Wait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                    std::int64_t ms, const std::function<bool()>& ready) noexcept {
    try {
        if (ms < 0) {
            cv.wait(lock, ready);
        } else {
            cv.wait_for(lock, std::chrono::milliseconds(ms), ready);
        }
    } catch (...) {
        // A failed wait returns early; the caller looks again and waits anew.
    }
}

int UdpLastError() noexcept {
    return t_lastError;
}
void SetUdpLastError(int error) noexcept {
    t_lastError = error;
}

QUInternalServer& QUInternalServer::Instance() {
    QUInternalServer* server = g_instance.load();
    if (server == nullptr) {
        LockGuard guard(&TaskRegistryLock(), true);
        server = g_instance.load();
        if (server == nullptr) {
            server = new QUInternalServer();
            g_instance.store(server);
        }
    }
    return *server;
}

bool QUInternalServer::DeleteInstance() noexcept {
    QUInternalServer* server = g_instance.exchange(nullptr);
    if (server == nullptr) {
        return false;
    }
    server->Stop();
    delete server;
    return true;
}

QUInternalServer::QUInternalServer(UdpClock* clock) : clock_(clock) {
    if (clock_ == nullptr) {
        ownClock_ = std::make_unique<UdpClock>();
        clock_ = ownClock_.get();
    }
}

QUInternalServer::~QUInternalServer() {
    std::uint32_t id = 0;
    RequestStop(&id);
    loopWake_.Signal();
    WakeSelectors();
    QThread::Stop(true);
    Cleanup();
    CloseSocket();
}

int QUInternalServer::Configure(const UdpServerConfig& config) noexcept {
    const std::size_t hostLen = strnlen(config.serverHost, sizeof(config.serverHost));
    if (hostLen == 0 || config.serverPort < 1 || config.serverPort > 65535 ||
        config.localPort < 1 || config.localPort > 65535 || config.connectTimeoutSeconds <= 0) {
        return -1;
    }
    LockGuard guard(&ThreadLock(), true);
    localIp_ = config.localIp;
    localPort_ = config.localPort;
    serverHost_.assign(config.serverHost, std::min<std::size_t>(hostLen, 127));
    serverPort_ = config.serverPort;
    serverIp_ = 0;
    if (IsDigitsAndDots(serverHost_)) {
        ResolveServer();  // a dotted address needs no look-up
    }
    keepAliveSeconds_ = std::max(config.keepAliveSeconds, 10);
    connectTimeoutSeconds_ = config.connectTimeoutSeconds;
    std::memcpy(identity_, config.nodeId, udp::kNodeIdBytes);
    if (identity_[0] == 0) {
        identity_[0] = 1;
    }
    if (identity_[1] == 0) {
        identity_[1] = 2;
    }
    std::memcpy(identity_ + 8, "UDP0", 4);
    configured_ = true;
    return 0;
}

int QUInternalServer::Start(const UdpServerConfig& config) noexcept {
    if (IsRunning()) {
        return 0;
    }
    if (Configure(config) != 0) {
        return -1;
    }
    return QThread::Start("UDPServer") ? 0 : -1;
}

void QUInternalServer::Stop() noexcept {
    if (IsRunning()) {
        // The loop and the callers in UdpSelect wait without time limits: tell them.
        std::uint32_t id = 0;
        RequestStop(&id);
        loopWake_.Signal();
        WakeSelectors();
        QThread::Stop(true);
        Cleanup();
    }
}

void QUInternalServer::Cleanup() noexcept {
    {
        LockGuard guard(&ThreadLock(), true);
        main_.clear();
        acceptQueue_.clear();
        bound_.clear();
        punches_.clear();
        free_.clear();
        pending_.clear();
        batchLen_ = 0;
        externalIp_.store(0);
        for (WakeArm& arm : arms_) {
            arm.wake->Signal();  // its record is gone
        }
        arms_.clear();
        touched_.clear();
    }
    WakeSelectors();
}

void QUInternalServer::SetLocalAddress(std::uint32_t ip, int port) noexcept {
    LockGuard guard(&ThreadLock(), true);
    if (ip != 0 && ip != 0xFFFFFFFFu) {
        localIp_ = ip;
    }
    if (port >= 1 && port <= 65535 && port != localPort_) {
        // A changed port makes the loop rebind at its next pass, and the node registers again
        // from there so that the rendezvous server learns the new mapping at once.
        localPort_ = port;
        registerClock_ = 0;
        loopWake_.Signal();
    }
}

bool QUInternalServer::IsBehindNat() noexcept {
    LockGuard guard(&ThreadLock(), true);
    return externalIp_.load() != localIp_;
}

std::uint32_t QUInternalServer::LocalIp() noexcept {
    LockGuard guard(&ThreadLock(), true);
    return localIp_;
}

int QUInternalServer::BoundPort() noexcept {
    LockGuard guard(&ThreadLock(), true);
    return fd_ >= 0 ? boundPort_ : 0;
}

bool QUInternalServer::ServerReplied() noexcept {
    LockGuard guard(&ThreadLock(), true);
    return serverReplied_;
}

void QUInternalServer::SetDhtHandler(DhtHandler handler) {
    auto shared = handler ? std::make_shared<DhtHandler>(std::move(handler)) : nullptr;
    LockGuard guard(&ThreadLock(), true);
    dhtHandler_ = std::move(shared);
}

void QUInternalServer::SetDatagramSink(DatagramSink sink) {
    LockGuard guard(&ThreadLock(), true);
    sink_ = std::move(sink);
}

void QUInternalServer::HandleDatagram(std::uint8_t* data, int len, std::uint32_t ip,
                                      int port) noexcept {
    if (data == nullptr || len <= 0) {
        return;
    }
    if (len > 8 && data[0] == 'd') {
        std::shared_ptr<DhtHandler> handler;
        {
            LockGuard guard(&ThreadLock(), true);
            handler = dhtHandler_;
        }
        CallDht(handler, data, len, ip, port);
        return;
    }
    if (TransportDisabled()) {
        return;
    }
    LockGuard guard(&ThreadLock(), true);
    DispatchTransport(data, len, ip, port);
    FinishBurst();
}

void QUInternalServer::CallDht(const std::shared_ptr<DhtHandler>& handler, const std::uint8_t* data,
                               int len, std::uint32_t ip, int port) noexcept {
    if (handler && *handler) {
        try {
            (*handler)(data, len, ip, port);
        } catch (...) {
            // A failing handler loses this one message, never the server.
        }
    }
}

void QUInternalServer::RunTimers() noexcept {
    if (TransportDisabled()) {
        return;
    }
    LockGuard guard(&ThreadLock(), true);
    const std::uint32_t tick = clock_->Tick();
    // The passes run when a record has work for them, never closer together than their old
    // periods: retransmissions keep their pace under loss.
    if (DataDueMs(tick) == 0 && tick - lastDataPass_ >= kDataPassSpacingMs) {
        DataPass();
        lastDataPass_ = lastAckPass_ = tick;
    } else if (AckDueMs(tick) == 0 && tick - lastAckPass_ >= kAckPassSpacingMs) {
        AckPass();
        lastAckPass_ = tick;
    }
    const std::uint32_t seconds = clock_->Seconds();
    if (seconds - lastCheck_ >= kCheckSeconds && NeedsConnectionCheck()) {
        ConnectionTimers();
        ResendPunches();
        lastCheck_ = seconds;
    }
    if (registerClock_ == 0 || seconds - registerClock_ >= kRegisterSeconds) {
        SendRegister();
        registerClock_ = keepAliveClock_ = seconds;
        ReleaseIdleBuffers(SocketBufferPool());
    }
    if (seconds - keepAliveClock_ >= static_cast<std::uint32_t>(keepAliveSeconds_)) {
        if (IsBehindNat()) {
            SendKeepAlive();
        }
        keepAliveClock_ = seconds;
        if (!serverReplied_) {
            registerClock_ = 0;
        }
    }
    if (batchLen_ > 0) {
        SendBatch();
    }
    FlushSignals();
}

std::int64_t QUInternalServer::NextTimerMs() noexcept {
    if (TransportDisabled()) {
        return -1;
    }
    LockGuard guard(&ThreadLock(), true);
    const std::uint32_t tick = clock_->Tick();
    std::int64_t next = -1;
    const auto consider = [&next](std::int64_t ms) {
        if (ms >= 0 && (next < 0 || ms < next)) {
            next = ms;
        }
    };
    // A pass that is due waits out the spacing after the previous one.
    const auto spaced = [tick](std::int64_t due, std::uint32_t last, std::uint32_t spacing) {
        const std::uint32_t since = tick - last;
        return due < 0 || since >= spacing ? due : std::max<std::int64_t>(due, spacing - since);
    };
    consider(spaced(DataDueMs(tick), lastDataPass_, kDataPassSpacingMs));
    consider(spaced(AckDueMs(tick), lastAckPass_, kAckPassSpacingMs));
    if (batchLen_ > 0) {
        consider(0);
    }
    // The seconds clock advances in whole seconds a little after the tick does: a wait for
    // it runs a little longer, so that the timer is due when the loop looks.
    const std::uint32_t seconds = clock_->Seconds();
    const auto inSeconds = [seconds](std::uint32_t since, std::uint32_t period) {
        const std::uint32_t elapsed = seconds - since;
        return elapsed >= period ? std::int64_t{0}
                                 : std::int64_t{period - elapsed} * 1000 + kSecondsSlackMs;
    };
    if (NeedsConnectionCheck()) {
        consider(inSeconds(lastCheck_, kCheckSeconds));
    }
    consider(registerClock_ == 0 ? 0 : inSeconds(registerClock_, kRegisterSeconds));
    consider(inSeconds(keepAliveClock_, static_cast<std::uint32_t>(keepAliveSeconds_)));
    return next;
}

UdpConnection* QUInternalServer::Find(List& list, std::uint32_t handle) noexcept {
    if (handle == 0) {
        return nullptr;
    }
    for (auto& record : list) {
        if (record->handle == handle) {
            return record.get();
        }
    }
    return nullptr;
}

std::unique_ptr<UdpConnection> QUInternalServer::Take(List& list, std::uint32_t handle) noexcept {
    for (auto it = list.begin(); it != list.end(); ++it) {
        if ((*it)->handle == handle) {
            std::unique_ptr<UdpConnection> record = std::move(*it);
            list.erase(it);
            return record;
        }
    }
    return nullptr;
}

std::unique_ptr<UdpConnection> QUInternalServer::NewRecord() noexcept {
    std::unique_ptr<UdpConnection> record;
    if (!free_.empty()) {
        record = std::move(free_.back());
        free_.pop_back();
    } else {
        record = std::make_unique<UdpConnection>();
    }
    if (nextHandle_ == 0) {
        nextHandle_ = 1;
    }
    record->Reset(nextHandle_++);
    record->statsWindowStart = clock_->Seconds();
    return record;
}

void QUInternalServer::Recycle(std::unique_ptr<UdpConnection> record) noexcept {
    if (!record) {
        return;
    }
    touched_.push_back(record->handle);  // its waiters learn that it is gone
    record->FreeBuffers();
    if (free_.size() < udp::kMaxFreeRecords) {
        free_.push_back(std::move(record));
    }
}

}  // namespace koruvan::engine
