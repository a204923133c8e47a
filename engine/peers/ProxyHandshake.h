// The bytes of the proxy handshakes and the checks of the proxies' replies. Pure functions:
// the connection sends what they build and feeds them what arrives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/peers/ProxySettings.h"

namespace koruvan::engine {

// Results of CheckProxyReply besides a reply length.
inline constexpr std::int32_t kProxyReplyFailed = -1;
inline constexpr std::int32_t kProxyReplyIncomplete = -2;

// The longest host name, user and password a SOCKS request carries; longer texts are cut.
inline constexpr std::size_t kSocksMaxField = 255;
// The largest body an HTTP proxy may attach to its tunnel reply.
inline constexpr std::int64_t kMaxTunnelReplyBody = 64 * 1024;

// Standard base64 with "=" padding.
[[nodiscard]] std::string Base64Encode(std::string_view bytes);

// "CONNECT host:port HTTP/1.1\r\n" (method and target from the settings), the
// Proxy-Authorization line when a user is set, the Domain line when a domain is set, and the
// closing blank line. maskCredentials writes "******" in place of the encoded credentials
// (for logs). Empty when the request cannot be sent safely: a method that is not a single
// token, a target that is not one line ending in CR LF, or a domain with a line break.
[[nodiscard]] std::string BuildHttpTunnelRequest(const TProxySettings& proxy,
                                                 bool maskCredentials = false);

// SOCKS4 CONNECT: version 4, command 1, port, address, empty user id (9 bytes); with a host
// name (SOCKS4a) the address is 0.0.0.1 and the name (at most 255 bytes) follows the user
// id, terminated by 0. Empty for port 0, or a name with a zero byte in it.
[[nodiscard]] std::vector<std::uint8_t> BuildSocks4Request(std::uint32_t ip, std::uint16_t port,
                                                           std::string_view hostName);

// SOCKS5 method offer: 5, 1, 0 (no authentication) or 5, 1, 2 (user name and password).
[[nodiscard]] std::vector<std::uint8_t> BuildSocks5Greeting(bool withCredentials);
// RFC 1929 sub-negotiation: 1, user length, user, password length, password (each at most
// 255 bytes).
[[nodiscard]] std::vector<std::uint8_t> BuildSocks5Credentials(std::string_view user,
                                                               std::string_view password);
// SOCKS5 CONNECT: 5, 1, 0, then type 3 with the name (at most 255 bytes) or type 1 with the
// address, then the port. Empty for port 0 or an empty name when a name is asked for.
[[nodiscard]] std::vector<std::uint8_t> BuildSocks5Connect(std::uint32_t ip, std::uint16_t port,
                                                           std::string_view hostName);

// Checks the proxy's reply at the front of the received bytes: its length when complete,
// kProxyReplyIncomplete while more bytes are needed, kProxyReplyFailed when the proxy refused
// or answered something malformed. type is the proxy type of TProxySettings.
[[nodiscard]] std::int32_t CheckProxyReply(std::int32_t type, const std::uint8_t* data,
                                           std::size_t size) noexcept;
[[nodiscard]] std::int32_t CheckHttpTunnelReply(const std::uint8_t* data,
                                                std::size_t size) noexcept;
[[nodiscard]] std::int32_t CheckSocks4Reply(const std::uint8_t* data, std::size_t size) noexcept;
[[nodiscard]] std::int32_t CheckSocks5Reply(const std::uint8_t* data, std::size_t size) noexcept;

}  // namespace koruvan::engine
