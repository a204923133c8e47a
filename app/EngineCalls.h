// The engine calls the download controller makes, behind one small interface: the program
// forwards them to the flat call interface (engine/core/EngineApi.h); controller tests
// script task progress through a fake. Calls have the flat interface's meaning and status
// codes (engine/core/TaskRecords.h) and never throw.
#pragma once

#include <cstdint>

#include "engine/core/TaskRecords.h"

namespace koruvan::app {

// One task's share of the swarm (the engine's TaskSwarm record).
struct SwarmFigures {
    std::int32_t connectedPeers = 0;
    std::int32_t uploadRate = 0;  // bytes per second
    std::uint64_t uploadedBytes = 0;
    std::int32_t listenPort = 0;  // the P2P service's port, 0 while it does not listen
};

class EngineCalls {
  public:
    virtual ~EngineCalls() = default;

    virtual std::int32_t EngineStartup(const char* workFolder) noexcept = 0;
    virtual std::int32_t EngineCleanup() noexcept = 0;

    // `start`: the file's planned size and the task's first limit (engine/core/EngineApi.h).
    virtual std::int32_t CreateAndStartTask(engine::TaskDescriptor* descriptor,
                                            const engine::TaskStartOptions& start) noexcept = 0;
    virtual std::int32_t RecoverAndContinueTask(engine::TaskDescriptor* descriptor, bool force,
                                                const engine::TaskStartOptions& start) noexcept = 0;
    virtual std::int32_t StopTask(engine::TaskHandle handle, bool reset) noexcept = 0;
    virtual std::int32_t StopTasks(const engine::TaskHandle* handles, std::int32_t count,
                                   bool reset, std::int32_t* results) noexcept = 0;
    virtual std::int32_t RestartTask(engine::TaskHandle handle) noexcept = 0;

    virtual std::int32_t QueryTask(engine::TaskHandle handle,
                                   engine::TaskProgress* progress) noexcept = 0;
    virtual std::int32_t IsTaskComplete(engine::TaskHandle handle, std::int32_t* done) noexcept = 0;
    // Why a task gets nothing (engine::QueryTaskProblem); no text unless overridden.
    virtual std::int32_t QueryTaskProblem(engine::TaskHandle /*handle*/, char* buffer,
                                          std::int32_t size) noexcept {
        if (buffer != nullptr && size > 0) {
            buffer[0] = '\0';
        }
        return 0;
    }
    virtual std::int32_t SetTaskSpeedLimit(engine::TaskHandle handle, std::int32_t which,
                                           std::int32_t kibPerSecond) noexcept = 0;
    virtual std::int32_t SetTaskConnectionLimits(engine::TaskHandle handle,
                                                 std::int32_t maxWebSources,
                                                 std::int32_t maxPeers) noexcept = 0;
    virtual std::int32_t SetTaskSourceLists(engine::TaskHandle handle, const char* listA,
                                            const char* listB) noexcept = 0;
    virtual std::int32_t ClearTaskSourceLists(engine::TaskHandle handle) noexcept = 0;

    virtual std::int32_t SetListenPort(std::int32_t port) noexcept = 0;
    virtual std::int32_t EnableP2P(bool on) noexcept = 0;
    virtual void SetBtPeerFlag(std::int32_t value) noexcept = 0;
    // The P2P service's local IPv4 address (dotted; empty: the system's choice), its
    // multicast discovery on the local network and its IP filter file (the number of
    // ranges loaded, negative when the file cannot be read).
    virtual std::int32_t SetBindAddress(const char* dottedIpv4) noexcept = 0;
    virtual void SetLanDiscovery(bool on) noexcept = 0;
    virtual std::int32_t LoadIpFilter(const char* path) noexcept = 0;
    // A task's peers and uploads; negative status codes as QueryTask's.
    virtual std::int32_t QueryTaskSwarm(engine::TaskHandle handle,
                                        SwarmFigures* swarm) noexcept = 0;
    // The UDP transport's rendezvous server and local port; nothing unless overridden.
    virtual std::int32_t SetRendezvousServer(const char* /*host*/, std::int32_t /*port*/) noexcept {
        return 0;
    }
    virtual std::int32_t SetUdpPort(std::int32_t /*port*/) noexcept { return 0; }
    // The DHT node's switch and bootstrap endpoints; nothing unless overridden.
    virtual std::int32_t SetDhtEnabled(bool /*on*/) noexcept { return 0; }
    virtual std::int32_t SetDhtBootstrap(const char* /*list*/) noexcept { return 0; }

    virtual std::uint64_t GetDiskFreeBytes(const char* path) noexcept = 0;
    virtual std::int64_t GetFileAllocatedBytes(const char* path) noexcept = 0;
};

// The real engine. Not final: a test may replace single calls (the free-space query) and
// keep the rest real.
class RealEngine : public EngineCalls {
  public:
    std::int32_t EngineStartup(const char* workFolder) noexcept override;
    std::int32_t EngineCleanup() noexcept override;
    std::int32_t CreateAndStartTask(engine::TaskDescriptor* descriptor,
                                    const engine::TaskStartOptions& start) noexcept override;
    std::int32_t RecoverAndContinueTask(engine::TaskDescriptor* descriptor, bool force,
                                        const engine::TaskStartOptions& start) noexcept override;
    std::int32_t StopTask(engine::TaskHandle handle, bool reset) noexcept override;
    std::int32_t StopTasks(const engine::TaskHandle* handles, std::int32_t count, bool reset,
                           std::int32_t* results) noexcept override;
    std::int32_t RestartTask(engine::TaskHandle handle) noexcept override;
    std::int32_t QueryTask(engine::TaskHandle handle,
                           engine::TaskProgress* progress) noexcept override;
    std::int32_t IsTaskComplete(engine::TaskHandle handle, std::int32_t* done) noexcept override;
    std::int32_t QueryTaskProblem(engine::TaskHandle handle, char* buffer,
                                  std::int32_t size) noexcept override;
    std::int32_t SetTaskSpeedLimit(engine::TaskHandle handle, std::int32_t which,
                                   std::int32_t kibPerSecond) noexcept override;
    std::int32_t SetTaskConnectionLimits(engine::TaskHandle handle, std::int32_t maxWebSources,
                                         std::int32_t maxPeers) noexcept override;
    std::int32_t SetTaskSourceLists(engine::TaskHandle handle, const char* listA,
                                    const char* listB) noexcept override;
    std::int32_t ClearTaskSourceLists(engine::TaskHandle handle) noexcept override;
    std::int32_t SetListenPort(std::int32_t port) noexcept override;
    std::int32_t EnableP2P(bool on) noexcept override;
    void SetBtPeerFlag(std::int32_t value) noexcept override;
    std::int32_t SetBindAddress(const char* dottedIpv4) noexcept override;
    void SetLanDiscovery(bool on) noexcept override;
    std::int32_t LoadIpFilter(const char* path) noexcept override;
    std::int32_t QueryTaskSwarm(engine::TaskHandle handle, SwarmFigures* swarm) noexcept override;
    std::int32_t SetRendezvousServer(const char* host, std::int32_t port) noexcept override;
    std::int32_t SetUdpPort(std::int32_t port) noexcept override;
    std::int32_t SetDhtEnabled(bool on) noexcept override;
    std::int32_t SetDhtBootstrap(const char* list) noexcept override;
    std::uint64_t GetDiskFreeBytes(const char* path) noexcept override;
    std::int64_t GetFileAllocatedBytes(const char* path) noexcept override;
};

// One shared instance of the real engine (it holds no state of its own).
[[nodiscard]] EngineCalls& ProcessEngine() noexcept;

}  // namespace koruvan::app
