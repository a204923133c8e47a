// How a connection reaches its remote party through a proxy: an HTTP tunnel (CONNECT),
// SOCKS4, SOCKS4a or SOCKS5. Each connection copies the settings in force when it connects.
// A process-wide default record is used whenever a caller passes none; nothing in the
// downloader changes it, so web sources and trackers go direct unless a test or a later
// settings surface sets it.
#pragma once

#include <cstdint>
#include <string>

#include "engine/peers/IpAddress.h"

namespace koruvan::engine {

inline constexpr std::int32_t kProxyNone = 0;
inline constexpr std::int32_t kProxyHttp = 1;
inline constexpr std::int32_t kProxySocks4 = 2;
inline constexpr std::int32_t kProxySocks5 = 3;
inline constexpr std::int32_t kProxySocks4a = 4;

// Proxy time-out when the settings leave it open (timeoutSeconds -1).
inline constexpr std::int32_t kDefaultProxyTimeoutSeconds = 12;

struct TProxySettings {
    std::int32_t type = kProxyNone;
    std::uint32_t ip = 0;  // network order
    std::uint16_t port = 0;
    std::int32_t timeoutSeconds = -1;  // -1: 12 seconds
    bool remoteNames = false;          // SOCKS4a and SOCKS5: send the host name, not an address
    bool skipHandshake = false;        // HTTP tunnel: treat the tunnel as open at once
    std::string user;
    std::string password;
    std::string domain;
    std::string method;  // empty: "CONNECT"
    std::string target;  // the text after the method on the request line

    // A proxy type is set and its address and port are valid.
    [[nodiscard]] bool IsUsable() const noexcept;
    // The proxy is usable and takes the target's host name (HTTP always; SOCKS4a and SOCKS5
    // with remoteNames; never plain SOCKS4).
    [[nodiscard]] bool SendsNames() const noexcept;
    // The full time-out in milliseconds: 12 s unless a positive value is set (at most 1 h).
    [[nodiscard]] std::int32_t TimeoutMs() const noexcept;
    // The method actually sent: "CONNECT" unless another one is set.
    [[nodiscard]] const char* EffectiveMethod() const noexcept;
    // The reply to the method is the tunnel's own answer and is not passed on to the peer.
    [[nodiscard]] bool ConsumesReply() const noexcept;
};

// Copies of and replacement for the process-wide defaults (one lock guards them).
[[nodiscard]] TProxySettings DefaultProxySettings();
void SetDefaultProxySettings(const TProxySettings& settings);

}  // namespace koruvan::engine
