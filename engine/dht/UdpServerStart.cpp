#include "engine/dht/UdpServerStart.h"

#include <cstring>
#include <mutex>
#include <string>

#include "engine/dht/QUInternalServer.h"
#include "engine/dht/QUdpSocketTransport.h"

namespace koruvan::engine {
namespace {

struct StartValues {
    std::mutex lock;
    std::string host;  // guarded by lock
    int port = kDefaultRendezvousPort;
    int localPort = kDefaultUdpPort;
};

StartValues& Values() {
    static StartValues values;
    return values;
}

}  // namespace

std::int32_t SetUdpRendezvous(const char* host, std::int32_t port) noexcept {
    if (host == nullptr || host[0] == '\0' || std::strlen(host) > 127 || port < 1 || port > 65535) {
        return -1;
    }
    try {
        std::lock_guard<std::mutex> guard(Values().lock);
        Values().host = host;
        Values().port = port;
    } catch (...) {
        return -1;
    }
    return 0;
}

std::int32_t SetUdpLocalPort(std::int32_t port) noexcept {
    if (port < 0 || port > 65535) {
        return -1;
    }
    std::lock_guard<std::mutex> guard(Values().lock);
    Values().localPort = port == 0 ? kDefaultUdpPort : port;
    return 0;
}

bool StartEngineUdpServer(const std::uint8_t* nodeId16,
                          std::atomic<bool>* transportDisabled) noexcept {
    UdpServerConfig config;
    {
        std::lock_guard<std::mutex> guard(Values().lock);
        if (Values().host.empty()) {
            return false;
        }
        std::strncpy(config.serverHost, Values().host.c_str(), sizeof(config.serverHost) - 1);
        config.serverPort = Values().port;
        config.localPort = Values().localPort;
    }
    config.keepAliveSeconds = kUdpKeepAliveSeconds;
    config.connectTimeoutSeconds = kUdpConnectTimeoutSeconds;
    config.localIp = 0;
    std::memcpy(config.nodeId, nodeId16, sizeof(config.nodeId));
    if (config.nodeId[0] == 0) {
        config.nodeId[0] = 1;
    }
    try {
        QUInternalServer& server = QUInternalServer::Instance();
        server.UseTransportSwitch(transportDisabled);
        if (server.Start(config) != 0) {
            return false;
        }
        server.SetTransportDisabled(false);
        SetPseudoSocketTransport(&EngineUdpTransport());
        return true;
    } catch (...) {
        return false;
    }
}

void SetUdpListenAddress(std::uint32_t ip, int port) noexcept {
    try {
        QUInternalServer& server = QUInternalServer::Instance();
        if (server.IsRunning()) {
            server.SetLocalAddress(ip, port);
        }
    } catch (...) {
    }
}

bool UdpRelayWanted(bool reachableFromOutside) noexcept {
    if (reachableFromOutside) {
        return false;
    }
    try {
        const std::uint32_t external = QUInternalServer::Instance().ExternalIp();
        return external != 0 && external != 0xFFFFFFFFu && !IsPrivateAddress(external);
    } catch (...) {
        return false;
    }
}

void StopEngineUdpTransport() noexcept {
    try {
        QUInternalServer& server = QUInternalServer::Instance();
        server.SetTransportDisabled(true);
        server.Cleanup();
    } catch (...) {
    }
}

bool DeleteEngineUdpServer() noexcept {
    SetPseudoSocketTransport(nullptr);
    return QUInternalServer::DeleteInstance();
}

}  // namespace koruvan::engine
