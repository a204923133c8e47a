#include "engine/core/EngineState.h"

#include "engine/core/EngineDht.h"
#include "engine/core/P2PService.h"
#include "engine/core/base/EngineClock.h"
#include "engine/core/base/KoruvanLog.h"
#include "engine/dht/UdpServerStart.h"
#include "net/HalfOpenProbe.h"
#include "platform/Random.h"

namespace koruvan::engine {
namespace {

// The system's limit on pending outgoing connections, from its TCP driver file. Linux has
// no such file, so the probe reports nothing usable and the engine uses its own maximum.
int ProbeHalfOpenLimit() noexcept {
    try {
        return net::TcpDriverProbe().ReadHalfOpenLimit();
    } catch (...) {
        return net::kProbeReadFailed;
    }
}

// The engine's UDP server (DHT traffic and the UDP transport); when it cannot start, the
// transport stays disabled.
bool StartUdpServer(const std::array<std::uint8_t, 16>& nodeId) noexcept {
    return StartEngineUdpServer(nodeId.data(), &Engine().transportDisabled);
}
void StopUdpServerAccepting() noexcept {
    StopEngineUdpTransport();
}
void StopP2PService() noexcept {
    try {
        P2PService::Instance().Stop();
    } catch (...) {
    }
}
// Stops and deletes the engine's UDP server; false when there was none.
bool DeleteUdpServer() noexcept {
    return DeleteEngineUdpServer();
}

}  // namespace

EngineState& Engine() noexcept {
    static EngineState state;
    return state;
}

std::int32_t PendingConnectionLimitFor(int halfOpenLimit) noexcept {
    const int usable = halfOpenLimit - 2;
    if (usable <= 0) {
        return 32;
    }
    return usable < 32 ? usable : 32;
}

// Caller holds TaskRegistryLock.
void StartFirstTaskServices() {
    TimeEnsure();
    EngineState& engine = Engine();
    if (engine.nodeId[0] == 0) {
        if (!platform::RandomBytes(engine.nodeId.data(), engine.nodeId.size())) {
            // No system randomness: the clocks still make the id unlikely to collide.
            const std::uint64_t seed =
                (static_cast<std::uint64_t>(Time().WallSeconds()) << 32) ^ Time().TickCount();
            for (std::size_t i = 0; i < engine.nodeId.size(); ++i) {
                engine.nodeId[i] = static_cast<std::uint8_t>(seed >> ((i % 8) * 8));
            }
        }
        if (engine.nodeId[0] == 0) {
            engine.nodeId[0] = 1;
        }
    }
    const bool udp = StartUdpServer(engine.nodeId);
    engine.transportDisabled.store(!udp);
    // The DHT switch stays set only when the deployer asked for the node.
    engine.dhtSearch.store(StartEngineDht(udp));
    engine.reachableFromOutside.store(false);
    engine.pendingConnectionLimit.store(PendingConnectionLimitFor(ProbeHalfOpenLimit()));
}

// Caller holds TaskRegistryLock.
void StopLastTaskServices() {
    StopP2PService();
    StopUdpServerAccepting();
    StopEngineDht();
    EngineState& engine = Engine();
    engine.transportDisabled.store(true);
    engine.dhtSearch.store(false);
    engine.reachableFromOutside.store(false);
}

}  // namespace koruvan::engine

namespace koruvan::engine {

void StopEngineServices() {
    StopEngineDht();
    if (DeleteUdpServer()) {
        WriteLog("UDPServer Thread Stopped.. ", 22, 22);
    }
    if (DeleteEngineDht()) {
        WriteLog("Kademlia Thread Stopped.. ", 22, 22);
    }
}

}  // namespace koruvan::engine
