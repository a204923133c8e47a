// The DNS diagnostic report: when a host name fails to resolve (the first failure after a
// success), the error, the host and the configured DNS servers are reported as usage event
// "11500106". The servers come from the resolver configuration file (/etc/resolv.conf; tests
// point it elsewhere). Building the report never sends anything to a DNS server.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace koruvan::engine {

inline constexpr const char* kDnsReportEvent = "11500106";
inline constexpr const char* kDefaultResolvConf = "/etc/resolv.conf";
// At most this many servers are listed (the system resolver uses three).
inline constexpr std::size_t kMaxReportedDnsServers = 8;

// The "nameserver" addresses of a resolver configuration file, in file order; only valid
// IPv4 or IPv6 addresses, at most kMaxReportedDnsServers. False when the file cannot be read.
[[nodiscard]] bool ReadDnsServers(const std::string& path, std::vector<std::string>& servers);

// "ErrCode : (e) Host : (h) " followed by ", no DNS" without servers, else
// ", DNS : (first)" and ", 备用 DNS : (next)" for each further one.
[[nodiscard]] std::string BuildDnsReportText(std::uint32_t error, std::string_view host,
                                             const std::vector<std::string>& servers);

// Reads the servers, builds the text and reports it as event "11500106".
void SendDnsReport(std::uint32_t error, std::string_view host) noexcept;

// The configuration file read by SendDnsReport (empty restores /etc/resolv.conf).
void SetResolvConfPath(std::string path);
[[nodiscard]] std::string ResolvConfPath();

}  // namespace koruvan::engine
