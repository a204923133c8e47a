// Checks of URLs that arrive from outside (plan files, configuration documents) before they
// are handed to the engine, a fetch or the desktop.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace koruvan::app {

// The parts of an absolute URL that the checks look at.
struct UrlParts {
    std::string scheme;     // lower case
    std::string authority;  // host, with ":port" when the URL names one (IPv6 in brackets)
    std::string host;
};

// Parses an absolute URL with a host. Nullopt when it does not parse, has no host, or holds
// a blank, a control character or a byte outside ASCII (such a URL could split a source
// list line or a request line).
[[nodiscard]] std::optional<UrlParts> ParseWebUrl(std::string_view url);

// ParseWebUrl succeeds and the scheme is one of `schemes` (lower case).
[[nodiscard]] bool IsUrlWithScheme(std::string_view url,
                                   std::initializer_list<std::string_view> schemes);

// True when `text` has no byte below 0x21 and no DEL: one token fit for a request header
// or a source list line.
[[nodiscard]] bool IsPlainToken(std::string_view text) noexcept;

}  // namespace koruvan::app
