// Secure-link signing of source URLs (timestamp-and-hash CDN URL authentication), applied
// by web sources to every request they build, and the engine hooks that give web sources
// the signed URL and the header texts from one configuration set.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/SecConfig.h"
#include "engine/core/base/SecConfigHook.h"
#include "platform/Clock.h"

namespace koruvan::app {

// Signs `url` with `key` by scheme `secType` at `unixSeconds`:
// - prefix: the URL up to the end of its host (and port, when it names one) plus the next
//   character, normally the "/" that begins the path; path: the URL relative to its domain
//   root ("/" + path, with the query if any);
// - empty key: prefix + path (so the URL carries two slashes after the host);
// - "A0": t = local time "%Y%m%d%H%M", h = MD5(key + t + path), prefix + t + "/" + h + path;
// - "B1": t = Unix seconds in decimal, h = MD5(key + path + t), prefix + h + "/" + t + path;
// - any other scheme: t as for "B1", prefix + MD5(key + path + t).
// h is 32 lower-case hex digits. The empty text when the URL does not parse or has no host.
[[nodiscard]] std::string SignUrlPath(std::string_view url, std::string_view key,
                                      std::string_view secType, std::int64_t unixSeconds);

// The same with the key and scheme of `values` and the time of `clock`.
[[nodiscard]] std::string SignUrlPath(std::string_view url, const SecConfigValues& values,
                                      platform::TimeSource& clock);

// The same with the process-wide configuration and the system clock.
[[nodiscard]] std::string SignUrlPath(std::string_view url);

// The signed URL and the header texts, all from one process-wide configuration set (the
// engine's request preparer). An URL that cannot be signed goes out as it is.
[[nodiscard]] engine::WebRequestTexts PrepareWebRequestTexts(std::string_view url);

// Registers ParseSecConfig and PrepareWebRequestTexts with the engine.
void RegisterSecConfigHooks() noexcept;

}  // namespace koruvan::app
