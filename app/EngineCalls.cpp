#include "app/EngineCalls.h"

#include "engine/core/EngineApi.h"

namespace koruvan::app {

std::int32_t RealEngine::EngineStartup(const char* workFolder) noexcept {
    return engine::EngineStartup(workFolder);
}
std::int32_t RealEngine::EngineCleanup() noexcept {
    return engine::EngineCleanup();
}
std::int32_t RealEngine::CreateAndStartTask(engine::TaskDescriptor* descriptor,
                                            const engine::TaskStartOptions& start) noexcept {
    return engine::CreateAndStartTask(descriptor, start);
}
std::int32_t RealEngine::RecoverAndContinueTask(engine::TaskDescriptor* descriptor, bool force,
                                                const engine::TaskStartOptions& start) noexcept {
    return engine::RecoverAndContinueTask(descriptor, force, start);
}
std::int32_t RealEngine::StopTask(engine::TaskHandle handle, bool reset) noexcept {
    return engine::StopTask(handle, reset);
}
std::int32_t RealEngine::StopTasks(const engine::TaskHandle* handles, std::int32_t count,
                                   bool reset, std::int32_t* results) noexcept {
    return engine::StopTasks(handles, count, reset, results);
}
std::int32_t RealEngine::RestartTask(engine::TaskHandle handle) noexcept {
    return engine::RestartTask(handle);
}
std::int32_t RealEngine::QueryTask(engine::TaskHandle handle,
                                   engine::TaskProgress* progress) noexcept {
    return engine::QueryTask(handle, progress);
}
std::int32_t RealEngine::QueryTaskProblem(engine::TaskHandle handle, char* buffer,
                                          std::int32_t size) noexcept {
    return engine::QueryTaskProblem(handle, buffer, size);
}
std::int32_t RealEngine::IsTaskComplete(engine::TaskHandle handle, std::int32_t* done) noexcept {
    return engine::IsTaskComplete(handle, done);
}
std::int32_t RealEngine::SetTaskSpeedLimit(engine::TaskHandle handle, std::int32_t which,
                                           std::int32_t kibPerSecond) noexcept {
    return engine::SetTaskSpeedLimit(handle, which, kibPerSecond);
}
std::int32_t RealEngine::SetTaskConnectionLimits(engine::TaskHandle handle,
                                                 std::int32_t maxWebSources,
                                                 std::int32_t maxPeers) noexcept {
    return engine::SetTaskConnectionLimits(handle, maxWebSources, maxPeers);
}
std::int32_t RealEngine::SetTaskSourceLists(engine::TaskHandle handle, const char* listA,
                                            const char* listB) noexcept {
    return engine::SetTaskSourceLists(handle, listA, listB);
}
std::int32_t RealEngine::ClearTaskSourceLists(engine::TaskHandle handle) noexcept {
    return engine::ClearTaskSourceLists(handle);
}
std::int32_t RealEngine::SetListenPort(std::int32_t port) noexcept {
    return engine::SetListenPort(port);
}
std::int32_t RealEngine::EnableP2P(bool on) noexcept {
    return engine::EnableP2P(on);
}
void RealEngine::SetBtPeerFlag(std::int32_t value) noexcept {
    engine::SetBtPeerFlag(value);
}
std::int32_t RealEngine::SetBindAddress(const char* dottedIpv4) noexcept {
    return engine::SetBindAddress(dottedIpv4);
}
void RealEngine::SetLanDiscovery(bool on) noexcept {
    engine::SetLanDiscovery(on);
}
std::int32_t RealEngine::LoadIpFilter(const char* path) noexcept {
    return engine::LoadIpFilter(path);
}
std::int32_t RealEngine::QueryTaskSwarm(engine::TaskHandle handle, SwarmFigures* swarm) noexcept {
    if (swarm == nullptr) {
        return engine::kErrNullDescriptor;
    }
    engine::TaskSwarm record{};
    const std::int32_t result = engine::QueryTaskSwarm(handle, &record);
    if (result == engine::kOk) {
        swarm->connectedPeers = record.connectedPeers;
        swarm->uploadRate = record.uploadRate;
        swarm->uploadedBytes = record.uploadedBytes;
        swarm->listenPort = record.listenPort;
    }
    return result;
}
std::int32_t RealEngine::SetRendezvousServer(const char* host, std::int32_t port) noexcept {
    return engine::SetRendezvousServer(host, port);
}
std::int32_t RealEngine::SetUdpPort(std::int32_t port) noexcept {
    return engine::SetUdpPort(port);
}
std::int32_t RealEngine::SetDhtEnabled(bool on) noexcept {
    return engine::SetDhtEnabled(on);
}
std::int32_t RealEngine::SetDhtBootstrap(const char* list) noexcept {
    return engine::SetDhtBootstrap(list);
}
std::uint64_t RealEngine::GetDiskFreeBytes(const char* path) noexcept {
    return engine::GetDiskFreeBytes(path);
}
std::int64_t RealEngine::GetFileAllocatedBytes(const char* path) noexcept {
    return engine::GetFileAllocatedBytes(path);
}

EngineCalls& ProcessEngine() noexcept {
    static RealEngine engine;
    return engine;
}

}  // namespace koruvan::app
