// Host names and dotted addresses turned into IPv4 addresses: a lookup with a time limit on a
// short-lived thread, a plain blocking lookup, the process-wide cache of names that do not
// resolve and the one-time DNS diagnostic report. The system resolver can be replaced (tests
// inject slow or failing lookups); no lookup here ever needs the network for a dotted address.
//
// The cache, the installed lookup and the result of each pending lookup have a lock of their
// own; a caller never holds one while a lookup runs.
//
// Error codes are those the downloader has always reported: 11001 host not found, 11002 try
// again, 11003 no recovery, 11004 no data, 87 invalid parameter, 10060 time limit reached.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/peers/IpAddress.h"

namespace koruvan::engine {

inline constexpr std::int32_t kResolveInvalidParameter = 87;
inline constexpr std::int32_t kResolveTimedOut = 10060;
inline constexpr std::int32_t kResolveNoResources = 10055;
inline constexpr std::int32_t kResolveHostNotFound = 11001;
inline constexpr std::int32_t kResolveTryAgain = 11002;
inline constexpr std::int32_t kResolveNoRecovery = 11003;
inline constexpr std::int32_t kResolveNoData = 11004;

// ResolveHost's time limit and address buffer.
inline constexpr std::int32_t kResolveTimeLimitMs = 3000;
inline constexpr std::int32_t kResolveBufferBytes = 1024;

// Log categories (and levels) of the two failure lines.
inline constexpr int kLogInvalidIp = 13;    // "无效 IP: %s"
inline constexpr int kLogInvalidHost = 29;  // "Invalid Host: %s"

// A dotted address made only of digits and dots: one to four decimal parts of 0..255,
// shifted into place from the top byte ("10.1.2" is 10.1.2.0). Host order; 0xFFFFFFFF for
// anything else and for the all-zero address.
[[nodiscard]] std::uint32_t ParseDotted(std::string_view text) noexcept;
// True when text consists of digits and dots only (and is not empty).
[[nodiscard]] bool IsDigitsAndDots(std::string_view text) noexcept;
// "a.b.c.d" of an address in network order.
[[nodiscard]] std::string FormatDotted(std::uint32_t ip);

// Adds the IPv4 addresses (network order) of host to out. Returns the number added; 0 for an
// empty host or an invalid dotted address (logged as "无效 IP: %s"); -1 when the name does
// not resolve within 3 seconds or is known not to resolve (logged as "Invalid Host: %s";
// the first failure after a success sends the DNS diagnostic report).
[[nodiscard]] std::int32_t ResolveHost(const char* host, std::vector<std::uint32_t>& out);
// A dotted address as it is, else the first address of a blocking lookup; network order;
// 0xFFFFFFFF when there is none. A name known not to resolve is not looked up again.
[[nodiscard]] std::uint32_t ResolveSimple(const char* name);
// Looks host up on a thread of its own and waits at most milliseconds (engine tick time).
// On success the addresses (network order, addrLen bytes each, at most capacity bytes in
// all) are in addrs and their number in *count. On failure *error holds the reason (87 for
// an empty host or a zero limit, 10060 when the limit passed). A lookup that finishes after
// its caller gave up writes nothing anywhere.
[[nodiscard]] bool ResolveWithTimeout(const char* host, std::uint8_t* addrs, std::int32_t capacity,
                                      std::int32_t* addrLen, std::int32_t* count,
                                      std::int32_t* error, std::int32_t milliseconds);

// The process-wide cache of names the resolver reported unknown (exact matches, each once).
void MarkUnresolvable(std::string_view name);
[[nodiscard]] bool IsUnresolvable(std::string_view name);
void ClearUnresolvable();

// A lookup: 0 and the addresses (network order), or one of the error codes above. It may
// run on a resolver thread after its caller gave up, so it must own everything it uses.
using HostLookup =
    std::function<std::int32_t(const std::string& host, std::vector<std::uint32_t>& addresses)>;
// The system resolver (getaddrinfo, IPv4 only).
std::int32_t SystemHostLookup(const std::string& host, std::vector<std::uint32_t>& addresses);
// Replaces the lookup used from now on (empty restores the system resolver).
void SetHostLookup(HostLookup lookup);
// Resolver threads still running, late ones included.
[[nodiscard]] std::int32_t RunningLookupThreads() noexcept;

// The DNS-report flag: set when the diagnostic report was sent, cleared by the next
// successful lookup.
[[nodiscard]] bool DnsReportFlag() noexcept;
void ClearDnsReportFlag() noexcept;

}  // namespace koruvan::engine
