#include "engine/core/P2PService.h"

#include <algorithm>
#include <cstring>

#include "engine/core/EngineState.h"
#include "engine/core/base/EngineLocks.h"
#include "engine/core/base/LockGuard.h"
#include "engine/dht/UdpServerStart.h"
#include "engine/peers/BtWire.h"
#include "engine/peers/IpAddress.h"

namespace koruvan::engine {
namespace {

constexpr std::int32_t kPendingRead = 1024;
constexpr std::int32_t kPendingReadLimit = 1092;
constexpr std::uint64_t kPendingLifeMs = 5000;
constexpr std::uint64_t kShortPendingLifeMs = 3000;
constexpr std::uint64_t kFloodShortLifeMs = 1000;
constexpr std::int64_t kAnnouncementLife = 30;

std::uint16_t ConfiguredPort() {
    const std::int32_t port = Engine().listenPort.load();
    return port > 0 && port <= 0xFFFF ? static_cast<std::uint16_t>(port) : 8080;
}

}  // namespace

P2PService& P2PService::Instance() {
    static P2PService* service = new P2PService;  // lives to the end of the process
    return *service;
}

P2PService::Registered* P2PService::Find(ServiceTask* task) {
    const auto it = std::find_if(tasks_.begin(), tasks_.end(),
                                 [task](const Registered& r) { return r.task == task; });
    return it != tasks_.end() ? &*it : nullptr;
}

void P2PService::Register(ServiceTask* task) {
    LockGuard guard(&TaskRegistryLock(), true);
    const std::uint8_t* hash = task->ServiceInfoHash();
    if (hash == nullptr || Find(task) != nullptr ||
        std::all_of(hash, hash + 20, [](std::uint8_t b) { return b == 0; })) {
        return;
    }
    Registered entry{task};
    std::memcpy(entry.hash.data(), hash, 20);
    tasks_.push_back(entry);
}

void P2PService::Unregister(ServiceTask* task) {
    LockGuard guard(&TaskRegistryLock(), true);
    tasks_.erase(std::remove_if(tasks_.begin(), tasks_.end(),
                                [task](const Registered& r) { return r.task == task; }),
                 tasks_.end());
    for (Announcement& a : announcements_) {
        a.seenBy.erase(std::remove(a.seenBy.begin(), a.seenBy.end(), task), a.seenBy.end());
    }
}

bool P2PService::HashRegistered(const std::uint8_t* hash) const {
    return std::any_of(tasks_.begin(), tasks_.end(), [hash](const Registered& r) {
        return std::memcmp(r.hash.data(), hash, 20) == 0;
    });
}

void P2PService::AcceptConnections(ServiceTask& task, std::uint64_t nowMs) {
    for (std::int32_t n = 0; n < kAcceptsPerUpkeep && listener_.IsOpen(); ++n) {
        std::unique_ptr<TPeerConnection> accepted = listener_.Accept();
        if (!accepted && udpListener_.IsOpen() && !Engine().transportDisabled.load()) {
            accepted = udpListener_.Accept();
        }
        if (!accepted) {
            break;
        }
        const std::uint32_t remote = accepted->RemoteIp();
        if (!accepted->UdpMode() &&
            FromOutsideLocalNetwork(remote, address_, AddressesOf(interfaces_))) {
            Engine().reachableFromOutside.store(true);
            Engine().transportDisabled.store(true);
        }
        // Every task holds a copy of the one global filter: the caller's copy decides.
        if (task.AddressFiltered(remote)) {
            continue;  // closed as it goes out of scope
        }
        pending_.push_back(Pending{std::move(accepted), nowMs});
    }
}

void P2PService::ScreenPending(ServiceTask& task, std::uint64_t nowMs) {
    for (std::size_t i = 0; i < pending_.size();) {
        TPeerConnection& c = *pending_[i].connection;
        const std::int64_t before = c.BytesReceived();
        const std::int32_t read = before < kPendingReadLimit ? c.Receive(kPendingRead) : 0;
        if (read < 0) {
            pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        // A disguised connection opens with an HTTP-style header: dropped before the
        // handshake, remembered so that the answer carries one too.
        std::size_t header = 0;
        if (c.DataSize() > 0 && c.Data()[0] != 19 &&
            bt::FindDisguise(c.Data(), static_cast<std::size_t>(c.DataSize()), header) ==
                bt::Disguise::kHeader) {
            c.Consume(static_cast<std::int32_t>(header));
            c.SetDisguised(true);
        }
        // Over the pseudo-socket layer only while this node itself needs the relay.
        if (c.UdpMode() && c.DataSize() >= 68 &&
            !UdpRelayWanted(Engine().reachableFromOutside.load())) {
            pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        if (task.CheckIncomingHandshake(c)) {
            std::unique_ptr<TPeerConnection> taken = std::move(pending_[i].connection);
            pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(i));
            (void)task.AcceptIncoming(taken);  // a refused connection closes with `taken`
            continue;
        }
        const auto size = static_cast<std::size_t>(c.DataSize());
        const std::uint64_t age = nowMs - pending_[i].since;
        const bool foreign = size >= 48 && c.Data()[0] == 19 && !HashRegistered(c.Data() + 28);
        const bool expired = age >= kPendingLifeMs || (size < 68 && age >= kShortPendingLifeMs);
        if (foreign || expired) {
            pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        ++i;
    }
    if (pending_.size() > kPendingLimit) {
        pending_.erase(
            std::remove_if(pending_.begin(), pending_.end(),
                           [nowMs](const Pending& p) {
                               const std::uint64_t age = nowMs - p.since;
                               return age > kShortPendingLifeMs ||
                                      (age > kFloodShortLifeMs && p.connection->DataSize() < 68);
                           }),
            pending_.end());
    }
}

void P2PService::StartListening(std::int64_t engineSeconds) {
    const std::uint32_t configured = Engine().bindAddress.load();
    bool recheck = false;
    if (listener_.IsOpen() && engineSeconds - lastCheck_ > kAddressCheckSeconds) {
        if (configured != address_ || ConfiguredPort() != port_) {
            StopLocked();  // restarted below on the new address
        } else {
            interfaces_ = ListLocalInterfaces();
            recheck = true;
        }
        lastCheck_ = engineSeconds;
    }
    if (!listener_.IsOpen()) {
        address_ = 0;
        port_ = 0;
        Engine().servicePort.store(0);
        udpListener_.Close();
        if (!listener_.Listen(ConfiguredPort(), configured)) {
            return;
        }
        address_ = configured;
        port_ = ConfiguredPort();
        Engine().servicePort.store(port_);
        lastCheck_ = engineSeconds;
        interfaces_ = ListLocalInterfaces();
    }
    KeepUdpListener();
    KeepMulticast(recheck);
}

void P2PService::KeepMulticast(bool recheck) {
    if (!Engine().lanDiscovery.load()) {
        CloseMulticast();
        return;
    }
    if (multicast_.IsOpen() && !recheck) {
        return;
    }
    // Without a bind address: the interface the system sends to the group by (its routing
    // table), so that the announced address is the one the datagrams leave from.
    const std::uint32_t chosen =
        ChooseDiscoveryAddress(address_, RouteSourceAddress(kDiscoveryGroup, kDiscoveryPort),
                               interfaces_.empty() ? ListLocalInterfaces() : interfaces_);
    if (multicast_.IsOpen() && chosen == multicast_.Interface()) {
        return;
    }
    CloseMulticast();  // another interface: the tasks announce themselves there again
    if (IsValidIp(chosen)) {
        (void)multicast_.Open(kDiscoveryGroup, kDiscoveryPort, chosen);
    }
}

void P2PService::CloseMulticast() {
    if (!multicast_.IsOpen()) {
        return;
    }
    multicast_.Close();
    for (Registered& r : tasks_) {
        r.announced = false;
    }
}

std::uint32_t P2PService::AnnouncedAddress() const {
    return IsValidIp(address_) ? address_ : multicast_.Interface();
}

OwnService P2PService::Own() const {
    OwnService own;
    // A listener on one address answers there alone; on every address, at each of them.
    own.addresses =
        IsValidIp(address_) ? std::vector<std::uint32_t>{address_} : AddressesOf(interfaces_);
    own.port = port_;
    own.nodeId = Engine().nodeId;
    return own;
}

void P2PService::KeepUdpListener() {
    // The UDP socket moves to the TCP listener's port, so that peers reach both at one port.
    SetUdpListenAddress(address_, port_);
    if (Engine().transportDisabled.load()) {
        udpListener_.Close();
    } else if (!udpListener_.IsOpen() && listener_.IsOpen()) {
        (void)udpListener_.Listen(port_, address_, Engine().nodeId.data());
    }
}

void P2PService::StopLocked() {
    listener_.Close();
    udpListener_.Close();
    pending_.clear();
    multicast_.Close();
    announcements_.clear();
    for (Registered& r : tasks_) {
        r.announced = false;
    }
    address_ = 0;
    port_ = 0;
    Engine().servicePort.store(0);
}

void P2PService::Stop() {
    LockGuard guard(&TaskRegistryLock(), true);
    StopLocked();
}

void P2PService::Upkeep(ServiceTask& task, std::uint64_t nowMs, std::int64_t engineSeconds) {
    LockGuard guard(&TaskRegistryLock(), true);
    AcceptConnections(task, nowMs);
    ScreenPending(task, nowMs);
    if (Engine().p2pEnabled.load()) {
        StartListening(engineSeconds);
    } else if (listener_.IsOpen()) {
        StopLocked();
    }
    Registered* self = Find(&task);
    if (self != nullptr && (self->knownIp != address_ || self->knownPort != port_)) {
        self->knownIp = address_;
        self->knownPort = port_;
        task.ServiceAddressChanged(address_, port_);
    }
}

bool P2PService::SendDatagram(const DiscoveryDatagram& d) {
    const auto bytes = EncodeDiscovery(d);
    if (!multicast_.Send(bytes.data(), bytes.size())) {
        multicast_.Close();  // silently off until the next upkeep opens it again
        return false;
    }
    return true;
}

void P2PService::Handle(ServiceTask& task, const DiscoveryDatagram& d) {
    task.AddLocalPeer(d.ip, d.port, d.peerId);
    if (!d.reply) {
        DiscoveryDatagram answer;
        answer.ip = AnnouncedAddress();
        answer.port = port_;
        answer.reply = true;
        std::memcpy(answer.infoHash.data(), task.ServiceInfoHash(), 20);
        std::memcpy(answer.peerId.data(), task.ServicePeerId(), 20);
        (void)SendDatagram(answer);
    }
}

void P2PService::Discovery(ServiceTask& task, std::int64_t engineSeconds) {
    LockGuard guard(&TaskRegistryLock(), true);
    Registered* self = Find(&task);
    if (self == nullptr || !multicast_.IsOpen() || !Engine().lanDiscovery.load() || port_ == 0) {
        return;
    }
    const std::uint8_t* hash = task.ServiceInfoHash();
    if (!self->announced) {
        DiscoveryDatagram own;
        own.ip = AnnouncedAddress();
        own.port = port_;
        std::memcpy(own.infoHash.data(), hash, 20);
        std::memcpy(own.peerId.data(), task.ServicePeerId(), 20);
        if (SendDatagram(own) && SendDatagram(own)) {
            self->announced = true;
        }
        return;
    }
    const OwnService me = Own();
    std::uint8_t buffer[512];
    for (;;) {
        std::uint32_t from = 0;
        const std::int32_t n = multicast_.Receive(buffer, sizeof buffer, &from);
        if (n < 0) {
            break;
        }
        DiscoveryDatagram d;
        if (!DecodeDiscovery(buffer, static_cast<std::size_t>(n), d)) {
            continue;
        }
        if (IsOwnDatagram(d, from, me)) {
            continue;  // looped back from the group
        }
        if (!IsValidIp(d.ip)) {
            d.ip = from;  // a sender that announces no address: the address it sent from
        }
        if (std::memcmp(d.infoHash.data(), hash, 20) == 0) {
            Handle(task, d);
            continue;
        }
        const bool known =
            std::any_of(announcements_.begin(), announcements_.end(),
                        [&](const Announcement& a) { return a.datagram.peerId == d.peerId; });
        if (!known) {
            announcements_.push_back(Announcement{d, engineSeconds, {&task}});
        }
    }
    for (std::size_t i = 0; i < announcements_.size();) {
        Announcement& a = announcements_[i];
        const bool seen = std::find(a.seenBy.begin(), a.seenBy.end(), &task) != a.seenBy.end();
        if (!seen && std::memcmp(a.datagram.infoHash.data(), hash, 20) == 0) {
            Handle(task, a.datagram);
            announcements_.erase(announcements_.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        if (!seen) {
            a.seenBy.push_back(&task);
        }
        if (engineSeconds - a.received > kAnnouncementLife || a.seenBy.size() >= tasks_.size()) {
            announcements_.erase(announcements_.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        ++i;
    }
}

std::uint16_t P2PService::Port() {
    LockGuard guard(&TaskRegistryLock(), true);
    return port_;
}

std::uint32_t P2PService::Address() {
    LockGuard guard(&TaskRegistryLock(), true);
    return address_;
}

std::size_t P2PService::PendingCount() {
    LockGuard guard(&TaskRegistryLock(), true);
    return pending_.size();
}

bool P2PService::MulticastJoined() {
    LockGuard guard(&TaskRegistryLock(), true);
    return multicast_.IsOpen();
}

}  // namespace koruvan::engine
