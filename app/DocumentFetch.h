// HTTP(S) GET of the two configuration documents with libcurl's easy interface. Failures are
// written to standard error (never shown to the user) and returned as an error text.
#pragma once

#include <string>

namespace koruvan::app {

// Time-outs of the fetches, in seconds (0: none).
inline constexpr long kSecConfigTimeoutSeconds = 2;
inline constexpr long kExpiryCheckTimeoutSeconds = 2;
inline constexpr long kResourceListTimeoutSeconds = 0;

// GETs `url` and appends the response body to `body`, following redirects. True when the
// request was performed and the status is not in 400..599. On failure `error` is set
// ("Failed to get " + URL + " (" + reason + ")", the reason being the transport's
// error text or "HTTP " + status; or the set-up failure text) and `status` holds the response code
// seen (0 when no response came). Safe to call from several threads at once.
//
// Beyond what the fetch is asked to do, it keeps the outside world in bounds: only http and
// https (also for redirects), at most 10 redirects, a body of at most 1 MiB, and TLS
// certificates and host names verified on https.
[[nodiscard]] bool FetchDocument(const std::string& url, std::string& body, std::string& error,
                                 long& status, long timeoutSeconds);

}  // namespace koruvan::app
