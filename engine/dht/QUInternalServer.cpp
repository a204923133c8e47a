#include "engine/dht/QUInternalServer.h"

#include <algorithm>
#include <cerrno>
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
        QThread::Stop(true);
        Cleanup();
    }
}

void QUInternalServer::Cleanup() noexcept {
    LockGuard guard(&ThreadLock(), true);
    main_.clear();
    acceptQueue_.clear();
    bound_.clear();
    punches_.clear();
    free_.clear();
    pending_.clear();
    batchLen_ = 0;
    externalIp_.store(0);
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
    if (tick - lastDataPass_ >= 40) {
        DataPass();
        lastDataPass_ = lastAckPass_ = tick;
    } else if (tick - lastAckPass_ >= 20) {
        AckPass();
        lastAckPass_ = tick;
    }
    const std::uint32_t seconds = clock_->Seconds();
    if (seconds - lastCheck_ >= 3) {
        ConnectionTimers();
        ResendPunches();
        lastCheck_ = seconds;
    }
    if (registerClock_ == 0 || seconds - registerClock_ >= 300) {
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
}

int QUInternalServer::Run() {
    LockGuard guard(&ThreadLock(), true);
    OpenSocket();  // on failure the loop below tries again
    while (!StopRequested() && !ResolveServer()) {
        UnlockedSleep(30);
    }
    std::uint8_t buffer[udp::kReceiveBuffer];
    int burst = 0;
    int idle = 0;
    bool gotAny = false;
    while (!StopRequested()) {
        if (TransportDisabled() && !dhtRunning_.load()) {
            CloseSocket();
            guard.Unlock();
            while (!StopRequested() && TransportDisabled() && !dhtRunning_.load()) {
                clock_->Sleep(100);
            }
            guard.Lock();
            registerClock_ = keepAliveClock_ = 0;
            serverReplied_ = false;
            continue;
        }
        if (NeedsOpen() && !OpenSocket()) {
            continue;
        }
        sockaddr_in from{};
        socklen_t fromLen = sizeof(from);
        const ssize_t n = recvfrom(fd_, buffer, udp::kMaxDatagram, 0,
                                   reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n >= 0) {
            buffer[n] = 0;
            idle = 0;
            gotAny = true;
            const std::uint32_t ip = from.sin_addr.s_addr;
            const int port = ntohs(from.sin_port);
            if (n > 8 && buffer[0] == 'd') {
                // The DHT handler runs without the server lock: the DHT thread takes its own
                // lock and then sends through this server, so holding ours could deadlock.
                std::shared_ptr<DhtHandler> handler = dhtHandler_;
                guard.Unlock();
                CallDht(handler, buffer, static_cast<int>(n), ip, port);
                guard.Lock();
            } else if (!TransportDisabled()) {
                DispatchTransport(buffer, static_cast<int>(n), ip, port);
            }
            if (n <= 8 || ++burst < 19) {
                continue;
            }
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            CloseSocket();
            if (!OpenSocket()) {
                continue;
            }
            UnlockedSleep(2);
        } else {
            if (!gotAny) {
                UnlockedSleep(10);
            }
            ++idle;
        }
        RunTimers();
        if (idle >= 4) {
            UnlockedSleep(40);
        } else if (burst >= 18) {
            UnlockedSleep(2);
        }
        burst = 0;
        gotAny = false;
    }
    CloseSocket();
    return 0;
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
    record->FreeBuffers();
    if (free_.size() < udp::kMaxFreeRecords) {
        free_.push_back(std::move(record));
    }
}

}  // namespace koruvan::engine
