// The engine-wide P2P service shared by all tasks: the TCP listener on the listen port at
// the bind address, the screening of incoming connections and their hand-over to the task
// whose info hash they name, the registry of info hashes, and local-network discovery over
// IPv4 multicast (group 233.65.31.78, port 31576) on the bind address's interface, or,
// without a bind address, on the interface the system sends to the group by.
//
// Driven from the tasks' rounds. Locking: every field of the service is guarded by
// TaskRegistryLock, which Upkeep, Discovery, Register, Unregister and Stop take themselves;
// the callbacks into a ServiceTask run on that task's own thread with the lock held (lock
// order: TaskRegistryLock, then the task's thread lock).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/core/DiscoveryDatagram.h"
#include "engine/core/LocalNetwork.h"
#include "engine/peers/MulticastSocket.h"
#include "engine/peers/TPeerConnection.h"

namespace koruvan::engine {

// What the service needs from a task.
class ServiceTask {
  public:
    // The registered info hash (20 bytes).
    [[nodiscard]] virtual const std::uint8_t* ServiceInfoHash() = 0;
    [[nodiscard]] virtual const std::uint8_t* ServicePeerId() = 0;
    // The connection (after any disguise header) opens with a handshake for this task.
    [[nodiscard]] virtual bool CheckIncomingHandshake(const TPeerConnection& connection) = 0;
    // Takes the connection as a new peer; false when refused (the caller closes it).
    virtual bool AcceptIncoming(std::unique_ptr<TPeerConnection>& connection) = 0;
    [[nodiscard]] virtual bool AddressFiltered(std::uint32_t ip) = 0;
    // A peer of the same download announced itself on the local network.
    virtual void AddLocalPeer(std::uint32_t ip, std::uint16_t port,
                              const std::array<std::uint8_t, 20>& peerId) = 0;
    // The service's address and port changed (0, 0 while it is stopped).
    virtual void ServiceAddressChanged(std::uint32_t ip, std::uint16_t port) = 0;

  protected:
    ~ServiceTask() = default;
};

class P2PService {
  public:
    static constexpr std::int32_t kAcceptsPerUpkeep = 11;
    static constexpr std::size_t kPendingLimit = 32;
    static constexpr std::int64_t kAddressCheckSeconds = 180;

    static P2PService& Instance();

    void Register(ServiceTask* task);
    void Unregister(ServiceTask* task);
    // Accepts and screens incoming connections, then keeps the listener and the multicast
    // socket up while P2P is enabled (stops everything while it is not). `nowMs` is the
    // tick count, `engineSeconds` the engine time.
    void Upkeep(ServiceTask& task, std::uint64_t nowMs, std::int64_t engineSeconds);
    // Sends the task's announcement once, then reads datagrams and answers them.
    void Discovery(ServiceTask& task, std::int64_t engineSeconds);
    // Closes the listener, the pending connections and the multicast socket.
    void Stop();

    // For tests and the swarm query.
    [[nodiscard]] std::uint16_t Port();
    [[nodiscard]] std::uint32_t Address();
    [[nodiscard]] std::size_t PendingCount();
    [[nodiscard]] bool MulticastJoined();

  private:
    struct Pending {
        std::unique_ptr<TPeerConnection> connection;
        std::uint64_t since = 0;  // tick count, ms
    };
    struct Announcement {
        DiscoveryDatagram datagram;
        std::int64_t received = 0;
        std::vector<ServiceTask*> seenBy;
    };
    struct Registered {
        ServiceTask* task = nullptr;
        std::array<std::uint8_t, 20> hash{};  // copied at registration
        bool announced = false;
        std::uint32_t knownIp = 0;
        std::uint16_t knownPort = 0;
    };

    // Caller holds TaskRegistryLock.
    void AcceptConnections(ServiceTask& task, std::uint64_t nowMs);
    void ScreenPending(ServiceTask& task, std::uint64_t nowMs);
    bool HashRegistered(const std::uint8_t* hash) const;
    void StartListening(std::int64_t engineSeconds);
    void StopLocked();
    // The pseudo-socket listener follows the TCP listener and the transport switch.
    void KeepUdpListener();
    Registered* Find(ServiceTask* task);
    void Handle(ServiceTask& task, const DiscoveryDatagram& d);
    bool SendDatagram(const DiscoveryDatagram& d);
    // Opens the multicast socket on the discovery interface, or closes it when discovery is
    // off; every 180 s (`recheck`) it moves to another interface when the choice changed.
    void KeepMulticast(bool recheck);
    void CloseMulticast();
    // The address the datagrams announce: the listener's, or the discovery interface's
    // when the listener is on every address.
    [[nodiscard]] std::uint32_t AnnouncedAddress() const;
    [[nodiscard]] OwnService Own() const;

    TPeerConnection listener_;
    // Its companion on the UDP pseudo-socket layer, on the same port while the transport is
    // enabled: peers behind NAT routers reach this node through it.
    TPeerConnection udpListener_;
    std::uint32_t address_ = 0;  // network order
    std::uint16_t port_ = 0;
    std::int64_t lastCheck_ = 0;
    std::vector<Pending> pending_;
    std::vector<Registered> tasks_;
    MulticastSocket multicast_;
    std::vector<Announcement> announcements_;
    // This host's interfaces, read when the listener starts and at each address check.
    std::vector<LocalInterface> interfaces_;
};

}  // namespace koruvan::engine
