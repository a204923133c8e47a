#include "engine/core/EngineDht.h"

#include <atomic>
#include <mutex>

#include "engine/dht/CKademlia.h"
#include "engine/dht/QUInternalServer.h"

namespace koruvan::engine {
namespace {

std::atomic<bool>& Switch() {
    static std::atomic<bool> on{false};
    return on;
}

std::mutex& ListLock() {
    static std::mutex lock;
    return lock;
}

std::string& BootstrapList() {
    static std::string list;  // guarded by ListLock()
    return list;
}

// Datagrams reach the node through the instance lock, so a datagram in flight never meets
// a node being deleted.
void DeliverToNode(const std::uint8_t* bytes, int len, std::uint32_t ip, int port) {
    CKademlia::Deliver(bytes, len, ip, port);
}

}  // namespace

void SetDhtSwitch(bool on) noexcept {
    Switch().store(on);
}

bool DhtSwitch() noexcept {
    return Switch().load();
}

void SetDhtBootstrapList(std::string list) {
    std::lock_guard guard(ListLock());
    BootstrapList() = std::move(list);
}

bool StartEngineDht(bool udpServerRuns) noexcept {
    try {
        if (!Switch().load() || !udpServerRuns) {
            return false;
        }
        CKademlia& node = CKademlia::Instance();
        if (node.IsRunning()) {
            return true;
        }
        node.SetSender([](const void* data, int len, std::uint32_t ip, int port) {
            return QUInternalServer::Instance().SendDatagram(data, len, ip, port);
        });
        {
            std::lock_guard guard(ListLock());
            node.SetBootstrapList(BootstrapList());
        }
        QUInternalServer& server = QUInternalServer::Instance();
        server.SetDhtHandler(DeliverToNode);
        server.SetDhtRunning(true);
        if (!node.Start()) {
            server.SetDhtRunning(false);
            return false;
        }
        return true;
    } catch (...) {
        return false;
    }
}

void StopEngineDht() noexcept {
    if (!CKademlia::HasInstance()) {
        return;
    }
    CKademlia::Instance().Stop(true);
    QUInternalServer::Instance().SetDhtRunning(false);
}

bool DeleteEngineDht() noexcept {
    return CKademlia::DeleteInstance();
}

std::int32_t DhtTableSize() noexcept {
    return CKademlia::RunningTableSize();
}

}  // namespace koruvan::engine
