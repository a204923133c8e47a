// The engine's one UDP socket. A thread named "UDPServer" receives every datagram and sorts
// it: bencoded DHT messages go to the handler the DHT node registers, everything else to
// the rendezvous client and the pseudo-socket transport (reliable streams between nodes
// behind NAT routers, opened by hole punching). The thread also drives every transport
// timer and keeps this node registered with the rendezvous server.
//
// The thread sleeps in poll() on its socket and on a wake-up of its own until the next
// timer is due; it never wakes just to look. After each burst of datagrams it answers what
// the burst asked for at once: acknowledgements for new data, the packets a freed window
// lets go, and the callers waiting in UdpSelect (or on a thread wake-up) for a record that
// turned ready. A caller whose call makes a timer due earlier than the loop's planned
// wake-up signals the loop.
//
// Locking: every field below is guarded by the server lock (ThreadLock(), recursive),
// except the atomics (transportDisabled_, transportSwitch_, dhtRunning_, externalIp_),
// which are read without it, the loop's wake-up loopWake_ (a fixed descriptor that any
// thread may signal without a lock), and the readiness fields marked "readyMutex_" (lock
// order: the server lock before readyMutex_). The receive loop holds the server lock while
// it receives, dispatches and runs timers, and releases it around every wait and around
// the call into the DHT handler.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/time.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/core/base/QThread.h"
#include "engine/dht/UdpConnection.h"
#include "engine/dht/UdpWakeFd.h"
#include "engine/dht/UdpWire.h"

namespace koruvan::engine {

struct UdpServerConfig {
    char serverHost[128] = {};
    std::int32_t serverPort = 82;
    std::int32_t keepAliveSeconds = 52;
    std::int32_t connectTimeoutSeconds = 30;
    std::int32_t localPort = 8000;
    std::uint32_t localIp = 0;  // network order; 0: found by the local-address rule
    std::uint8_t nodeId[8] = {};
};

// The server's time: millisecond ticks, the engine's seconds counter, sleeps and waits.
// Tests install a hand-driven one.
class UdpClock {
  public:
    virtual ~UdpClock() = default;
    virtual std::uint32_t Tick() noexcept;
    virtual std::uint32_t Seconds() noexcept;
    virtual void Sleep(std::uint32_t ms) noexcept;
    // The loop's wait, as poll(): until a descriptor is ready or timeoutMs passed (negative:
    // no limit).
    virtual int Poll(pollfd* fds, int count, int timeoutMs) noexcept;
    // A pseudo-socket caller's wait on cv (lock held) until ready() holds or ms passed
    // (negative: no limit).
    virtual void Wait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                      std::int64_t ms, const std::function<bool()>& ready) noexcept;
};

// Receives DHT datagrams: bytes (a NUL follows the last one), length, sender IPv4 (network
// order), sender port.
using DhtHandler = std::function<void(const std::uint8_t*, int, std::uint32_t, int)>;
// Where outgoing datagrams go instead of the socket (tests and fuzzing): returns 0 when the
// datagram went out, else a Winsock error number (kWsaEwouldblock for "try later").
using DatagramSink = std::function<int(const std::uint8_t*, int, std::uint32_t, int)>;

// The error number of the calling thread's last pseudo-socket call.
int UdpLastError() noexcept;
void SetUdpLastError(int error) noexcept;

// The local-address rule: of the given addresses (network order), the last public one,
// else the last one; 0 when there are none.
std::uint32_t PickLocalAddress(const std::vector<std::uint32_t>& addresses) noexcept;
bool IsPrivateAddress(std::uint32_t ip) noexcept;
// The rendezvous server's address (network order): a dotted address as it is, else a name
// look-up; 0 when there is none.
std::uint32_t ResolveServerName(const std::string& host) noexcept;

class TBufferPool;
class LockGuard;
// The registration pass's clean-up of a buffer pool; true when it released its free blocks.
bool ReleaseIdleBuffers(TBufferPool& pool) noexcept;

class QUInternalServer final : public QThread {
  public:
    // The process-wide server, created (stopped) on first use.
    static QUInternalServer& Instance();
    // Stops and deletes the process-wide server; false when there was none.
    static bool DeleteInstance() noexcept;

    explicit QUInternalServer(UdpClock* clock = nullptr);
    ~QUInternalServer() override;

    // 0 on success (or when already running), -1 for a bad configuration or no thread.
    int Start(const UdpServerConfig& config) noexcept;
    // Stops the thread when it runs, then Cleanup.
    void Stop() noexcept;
    // Frees every connection record and pending lookup; external address back to unknown.
    void Cleanup() noexcept;
    void SetLocalAddress(std::uint32_t ip, int port) noexcept;
    [[nodiscard]] bool IsBehindNat() noexcept;
    [[nodiscard]] std::uint32_t ExternalIp() const noexcept { return externalIp_.load(); }
    [[nodiscard]] std::uint32_t LocalIp() noexcept;
    [[nodiscard]] int BoundPort() noexcept;
    [[nodiscard]] bool ServerReplied() noexcept;
    // One datagram to ip (network order):port; true when it went out whole.
    bool SendDatagram(const void* data, int len, std::uint32_t ip, int port) noexcept;

    // The DHT node's seam: its datagram handler and its running flag.
    void SetDhtHandler(DhtHandler handler);
    void SetDhtRunning(bool running) noexcept {
        dhtRunning_.store(running);
        loopWake_.Signal();
    }
    [[nodiscard]] bool DhtRunning() const noexcept { return dhtRunning_.load(); }
    void SetTransportDisabled(bool disabled) noexcept {
        transportSwitch_.load()->store(disabled);
        loopWake_.Signal();
    }
    [[nodiscard]] bool TransportDisabled() const noexcept {
        return transportSwitch_.load()->load();
    }
    // Makes the server follow an engine-wide "transport disabled" switch instead of its own
    // (null: its own again). The switch must outlive the server.
    void UseTransportSwitch(std::atomic<bool>* flag) noexcept {
        transportSwitch_.store(flag != nullptr ? flag : &transportDisabled_);
    }

    // Takes a configuration without starting the thread (tests drive the loop's steps).
    int Configure(const UdpServerConfig& config) noexcept;
    void SetDatagramSink(DatagramSink sink);
    // One received datagram, sorted to the DHT or the transport, as a burst of its own (the
    // loop's step).
    void HandleDatagram(std::uint8_t* data, int len, std::uint32_t ip, int port) noexcept;
    // One timer pass of the loop: whatever is due.
    void RunTimers() noexcept;
    // Milliseconds until the next timer is due (0: now; -1: none), what the loop waits for.
    [[nodiscard]] std::int64_t NextTimerMs() noexcept;
    [[nodiscard]] const std::uint8_t* Identity() const noexcept { return identity_; }

    // Pseudo-socket calls. Handles are record numbers (0 = invalid); errors go through
    // SetUdpLastError with Winsock numbers, and calls return -1 on failure.
    std::uint32_t UdpSocket() noexcept;
    int UdpBind(std::uint32_t handle, const sockaddr_in* address, int length) noexcept;
    int UdpListen(std::uint32_t handle, int backlog) noexcept;
    std::uint32_t UdpAccept(std::uint32_t listener, sockaddr_in* address, int* length) noexcept;
    int UdpConnect(std::uint32_t handle, const sockaddr_in* address, int length) noexcept;
    int UdpSend(std::uint32_t handle, const std::uint8_t* buffer, int length) noexcept;
    int UdpRecv(std::uint32_t handle, std::uint8_t* buffer, int size) noexcept;
    int UdpGetLocalName(std::uint32_t handle, sockaddr_in* address, int* length) noexcept;
    // Sets hold handles; each given set is rewritten to its ready handles. Waits, without
    // polling, until something is ready or the timeout passed; a null timeout waits until
    // something is ready or the server stops.
    int UdpSelect(std::vector<std::uint32_t>* readSet, std::vector<std::uint32_t>* writeSet,
                  std::vector<std::uint32_t>* errorSet, const timeval* timeout) noexcept;
    int UdpCloseSocket(std::uint32_t handle) noexcept;
    // Signals `wake` once the record turns readable (or writable, forWrite), closes or
    // goes away: at once when it already is. For threads that wait in poll() on TCP sockets
    // and pseudo-sockets together.
    void UdpArmWake(std::uint32_t handle, bool forWrite,
                    const std::shared_ptr<UdpWakeFd>& wake) noexcept;

    // Observations for tests and diagnostics (take the lock).
    [[nodiscard]] int ConnectionState(std::uint32_t handle) noexcept;
    [[nodiscard]] int Backlog() noexcept;
    [[nodiscard]] std::size_t PendingLookups() noexcept;
    [[nodiscard]] std::size_t PunchEntries() noexcept;
    // A connection's transfer figures (all -1 for an unknown handle).
    struct TransportFigures {
        int lossRate = -1;
        int window = -1;
        int payloadSize = -1;
        int sends = -1;
        int retransmits = -1;
    };
    [[nodiscard]] TransportFigures FiguresOf(std::uint32_t handle) noexcept;
    [[nodiscard]] int LossRateOf(std::uint32_t handle) noexcept {
        return FiguresOf(handle).lossRate;
    }

    int Run() override;
    void Refresh() override {}

  private:
    // What a waiter asks of a record.
    enum class Interest { kRead, kWrite, kError };
    struct WakeArm {
        std::uint32_t handle = 0;
        bool forWrite = false;
        std::shared_ptr<UdpWakeFd> wake;
    };
    struct PunchEntry {
        std::uint8_t identity[udp::kIdentityBytes] = {};
        std::uint32_t ip = 0;
        int port = 0;
        int sendCount = 0;
    };
    using List = std::deque<std::unique_ptr<UdpConnection>>;

    // Socket (QUInternalServerSocket.cpp).
    bool OpenSocket() noexcept;
    void CloseSocket() noexcept;
    // 0 or a Winsock-style error; kWsaEwouldblock when the socket would block.
    int SendRaw(const std::uint8_t* data, int len, std::uint32_t ip, int port) noexcept;
    bool ResolveServer() noexcept;
    bool NeedsOpen() const noexcept;
    void UnlockedSleep(std::uint32_t ms) noexcept;
    // Waits up to ms for the loop's wake-up; the caller does not hold the server lock.
    void WaitForWake(std::uint32_t ms) noexcept;

    // The loop (QUInternalServerLoop.cpp).
    enum class Burst { kNothing, kDrained, kFull, kSocketError };
    Burst ReceiveBurst(std::uint8_t* buffer, LockGuard& guard) noexcept;
    void WaitForWork(LockGuard& guard) noexcept;
    void PauseWhileUnused(LockGuard& guard) noexcept;
    // A caller changed what is due: wakes the loop when it sleeps past the new first timer.
    void Reschedule() noexcept;
    static void CallDht(const std::shared_ptr<DhtHandler>& handler, const std::uint8_t* data,
                        int len, std::uint32_t ip, int port) noexcept;

    // Rendezvous (QUInternalServerRendezvous.cpp).
    void SendRegister() noexcept;
    void SendKeepAlive() noexcept;
    std::uint32_t QueueLookup(std::uint32_t ip, const std::uint8_t* identity) noexcept;
    void SendBatch() noexcept;
    void DispatchTransport(const std::uint8_t* d, int n, std::uint32_t ip, int port) noexcept;
    void OnKeepAliveReply(const std::uint8_t* d) noexcept;
    void OnLookupReply(const std::uint8_t* d, int n) noexcept;
    void ResolveWaiting(const std::uint8_t* id, std::uint32_t ip, int port, bool byPlaceholder,
                        const std::uint8_t* placeholder) noexcept;
    void OnConnectNotice(const std::uint8_t* d) noexcept;
    void SendPunch(const PunchEntry& entry, int* error) noexcept;
    void OnPunch(const std::uint8_t* d, std::uint32_t ip, int port) noexcept;
    void ResendPunches() noexcept;
    void StartPunching(UdpConnection& c) noexcept;

    // Transport packets (QUdpSocketPackets.cpp).
    void OnTransportPacket(const std::uint8_t* d, int n, std::uint32_t ip, int port) noexcept;
    void OnConnect(const std::uint8_t* d, std::uint32_t ip, int port) noexcept;
    void OnAccept(const std::uint8_t* d, std::uint32_t ip, int port) noexcept;
    void OnAcceptAck(const std::uint8_t* d, std::uint32_t ip, int port) noexcept;
    void OnData(UdpConnection& c, const std::uint8_t* d, int n) noexcept;
    void OnAck(UdpConnection& c, const std::uint8_t* d) noexcept;
    void OnSingleAck(UdpConnection& c, const std::uint8_t* d) noexcept;
    void SlotsFreed(UdpConnection& c) noexcept;
    // Sends a control packet of type with a 32-byte body (sent twice for connect, accept
    // and accept acknowledgement); the Winsock result.
    int SendControl(UdpConnection& c, std::uint32_t type, const std::uint8_t* body) noexcept;
    int SendConnectRequest(UdpConnection& c) noexcept;
    int SendAcceptPacket(UdpConnection& c) noexcept;
    int SendRefuse(const std::uint8_t* request, std::uint32_t ip, int port) noexcept;
    int TransmitSlot(UdpConnection& c, int slot) noexcept;
    void CloseConnection(UdpConnection& c) noexcept;
    void MarkClosed(UdpConnection& c) noexcept;

    // Timers (QUdpSocketTimers.cpp).
    void DataPass() noexcept;
    bool DataPassRecord(UdpConnection& c, std::uint32_t now) noexcept;
    void AckPass() noexcept;
    void ConnectionTimers() noexcept;
    bool NeedsConnectionCheck() const noexcept;
    // Milliseconds from now until the data pass, or the acknowledgement pass, has work for
    // a record (-1: none), without the spacing between passes.
    std::int64_t DataDueMs(std::uint32_t now) noexcept;
    std::int64_t AckDueMs(std::uint32_t now) noexcept;

    // Window turnover (QUdpSocketTurnover.cpp).
    // After a burst of datagrams: owed acknowledgements, packets a freed window lets go,
    // and the waiters of every record that changed.
    void FinishBurst() noexcept;
    // Acknowledges new data at once, unless the reader has fallen a whole window behind;
    // false when the socket would block.
    bool AnswerNewData(UdpConnection& c, std::uint32_t now) noexcept;
    // Sends the acknowledgement, twice when `filled` (receive slots filled before the data
    // moved on to the ready queue) is two or more; false when the socket would block.
    bool SendAck(UdpConnection& c, std::uint32_t now, int filled) noexcept;
    // Transmits the packets that were never sent and now lie within the window.
    void SendFresh(UdpConnection& c) noexcept;

    // Readiness (QUdpSocketReady.cpp).
    bool IsReady(std::uint32_t handle, Interest interest) noexcept;
    // Notes that a record's waiters may find it changed (signalled by FlushSignals).
    void Touch(const UdpConnection& c) noexcept;
    void TouchListener(int listenPort) noexcept;
    // Signals the waiters of every touched record.
    void FlushSignals() noexcept;
    // Wakes every caller waiting in UdpSelect to look again (no server lock needed).
    void WakeSelectors() noexcept;

    // Lists.
    UdpConnection* Find(List& list, std::uint32_t handle) noexcept;
    std::unique_ptr<UdpConnection> Take(List& list, std::uint32_t handle) noexcept;
    std::unique_ptr<UdpConnection> NewRecord() noexcept;
    void Recycle(std::unique_ptr<UdpConnection> record) noexcept;

    UdpClock* clock_;
    std::unique_ptr<UdpClock> ownClock_;

    int fd_ = -1;
    int boundPort_ = 0;
    bool broadcast_ = false;
    int localPort_ = 8000;
    std::uint32_t localIp_ = 0;
    std::atomic<std::uint32_t> externalIp_{0};
    bool serverReplied_ = false;
    std::string serverHost_;
    std::uint32_t serverIp_ = 0;
    int serverPort_ = 82;
    int keepAliveSeconds_ = 45;
    int connectTimeoutSeconds_ = 18;
    std::uint8_t identity_[udp::kIdentityBytes] = {};
    bool configured_ = false;

    std::uint32_t requestCounter_ = 0;
    std::vector<std::uint32_t> pending_;
    std::uint8_t batch_[udp::kMaxDatagram] = {};
    int batchLen_ = 0;
    std::uint32_t batchRequest_ = 0;

    List main_;
    List acceptQueue_;
    List bound_;
    std::vector<PunchEntry> punches_;
    std::vector<std::unique_ptr<UdpConnection>> free_;
    std::uint32_t nextHandle_ = 1;
    int backlog_ = 32;

    std::uint32_t lastDataPass_ = 0;
    std::uint32_t lastAckPass_ = 0;
    std::uint32_t lastCheck_ = 0;
    std::uint32_t registerClock_ = 0;  // 0: register at the next pass
    std::uint32_t keepAliveClock_ = 0;

    // The loop's wake-up, and its planned one: loopWaiting_ while it waits in poll(), until
    // loopWakeAt_ (tick) when loopWaitBounded_.
    UdpWakeFd loopWake_;
    bool loopWaiting_ = false;
    bool loopWaitBounded_ = false;
    std::uint32_t loopWakeAt_ = 0;

    // Readiness: handles touched since the last signal; threads armed on a record.
    std::vector<std::uint32_t> touched_;
    std::vector<WakeArm> arms_;
    // UdpSelect waits on readyCv_ until readyGeneration_ moves (guarded by readyMutex_).
    std::mutex readyMutex_;
    std::condition_variable readyCv_;
    std::uint64_t readyGeneration_ = 0;  // guarded by readyMutex_
    int selectWaiters_ = 0;              // guarded by readyMutex_

    std::shared_ptr<DhtHandler> dhtHandler_;
    DatagramSink sink_;
    std::atomic<bool> transportDisabled_{true};
    std::atomic<std::atomic<bool>*> transportSwitch_{&transportDisabled_};
    std::atomic<bool> dhtRunning_{false};
};

}  // namespace koruvan::engine
