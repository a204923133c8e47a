// The engine's start and stop of its UDP server: the start-up values the front end chose
// (rendezvous server, local UDP port), the start at the first task and the stops at the last
// task and at engine clean-up.
#pragma once

#include <atomic>
#include <cstdint>

namespace koruvan::engine {

inline constexpr int kDefaultRendezvousPort = 82;
inline constexpr int kDefaultUdpPort = 8000;
inline constexpr int kUdpKeepAliveSeconds = 52;
inline constexpr int kUdpConnectTimeoutSeconds = 30;

// The rendezvous server (host name or dotted address, at most 127 characters; port
// 1..65535). Until a front end sets one, the server is not started and the transport stays
// disabled, so that no engine user ever looks a name up unasked. 0, or -1 for bad values.
std::int32_t SetUdpRendezvous(const char* host, std::int32_t port) noexcept;
// The local UDP port (1..65535; 0 restores the default 8000). 0, or -1 for bad values.
std::int32_t SetUdpLocalPort(std::int32_t port) noexcept;

// Starts the process-wide server with the node id's first 8 bytes (first task); true when it
// runs and the transport is enabled. The server follows the engine's "transport disabled"
// switch from then on (null: its own).
bool StartEngineUdpServer(const std::uint8_t* nodeId16,
                          std::atomic<bool>* transportDisabled = nullptr) noexcept;
// The P2P service's listening address and port: the UDP socket moves to that port (and
// the address becomes the local one) while the server runs.
void SetUdpListenAddress(std::uint32_t ip, int port) noexcept;
// True while incoming connections over the pseudo-socket layer are wanted: no connection
// from outside the local network reached this node's TCP listener (`reachableFromOutside`)
// and the rendezvous server reported a public external address.
bool UdpRelayWanted(bool reachableFromOutside) noexcept;

// The last task ended: the transport is disabled and every pseudo-socket freed.
void StopEngineUdpTransport() noexcept;
// Engine clean-up: stops and deletes the server; false when there was none.
bool DeleteEngineUdpServer() noexcept;

}  // namespace koruvan::engine
