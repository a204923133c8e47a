// Engine-wide settings and flags shared by the call interface and the task layers.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace koruvan::engine {

struct EngineState {
    std::atomic<bool> started{false};
    std::atomic<bool> p2pEnabled{false};
    std::atomic<std::int32_t> listenPort{0};  // 0 = the default port
    std::atomic<std::int32_t> btPeerFlag{0};
    // Local IPv4 address (network order) of the listener, outgoing peer connections,
    // tracker announces and the multicast interface; 0 = the system's choice.
    std::atomic<std::uint32_t> bindAddress{0};
    // Multicast discovery of peers on the local network.
    std::atomic<bool> lanDiscovery{true};
    // The P2P listener's port while it runs, else 0 (written by the service under
    // TaskRegistryLock, read by any thread).
    std::atomic<std::int32_t> servicePort{0};
    std::string workFolder;  // guarded by EngineApiLock

    // Switched by the first and last task.
    std::atomic<bool> transportDisabled{true};
    std::atomic<bool> dhtSearch{false};
    std::atomic<bool> reachableFromOutside{false};
    std::atomic<std::int32_t> pendingConnectionLimit{32};
    // Bytes asked of this engine by remote peers and not sent yet (every upload queue).
    std::atomic<std::int64_t> queuedUploadBytes{0};

    // Process node id: 16 random bytes, first byte never 0 once set. Written once by the
    // first task under TaskRegistryLock.
    std::array<std::uint8_t, 16> nodeId{};
};

EngineState& Engine() noexcept;

// Services the first task of the process starts and the last one stops.
void StartFirstTaskServices();
void StopLastTaskServices();
// Engine clean-up: stops the DHT node and the UDP server when they run.
void StopEngineServices();

// The engine-wide limit on connection attempts pending at once, from the system's
// half-open limit: min(32, limit - 2), 32 when the limit is unknown or too small.
std::int32_t PendingConnectionLimitFor(int halfOpenLimit) noexcept;

}  // namespace koruvan::engine
