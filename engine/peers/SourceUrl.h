// Source URL texts split into what a peer needs: kind, host, port, path, login and file name.
// SplitSourceUrl only splits; ParseSourceUrl also resolves the host into the identity.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace koruvan::engine {

class TPeerId;

// Peer kinds.
constexpr std::int32_t kKindBitTorrent = 1;
constexpr std::int32_t kKindHttp = 2;
constexpr std::int32_t kKindFtp = 4;
constexpr std::int32_t kKindTracker = 8;
constexpr std::int32_t kKindWebSource = kKindHttp | kKindFtp;

struct SourceUrl {
    std::int32_t kind = 0;
    std::string url;   // the text after the backslash and encoding rules
    std::string host;  // host name or dotted address
    std::uint16_t port = 0;
    std::string path;   // "/" when none; for trackers the path without the query
    std::string query;  // trackers only: the text after "?"
    bool udpTracker = false;
    std::string user;  // FTP login
    std::string password;
    std::string fileName;  // HTTP and FTP: the last path segment (percent-decoded for HTTP)
};

// Splits a source text; nullopt for an unknown scheme or a malformed host part.
std::optional<SourceUrl> SplitSourceUrl(std::string_view text);

// Fills an identity from its address text: splits it (as SplitSourceUrl), then resolves the
// host of every kind but a BitTorrent node (whose address must be dotted). The first address
// becomes the identity's address, the others go to its address list, and the identity is
// marked parsed and resolved. False when the text does not split, or the host gives no
// address; a name that does not resolve also sets the identity's resolution-failed flag. In
// both failure cases the identity's address is 255.255.255.255.
[[nodiscard]] bool ParseSourceUrl(TPeerId& identity);

// Percent-encodes every byte <= 32 or >= 128 as %xx (lower-case hex).
std::string MakeTransmissible(std::string_view url);
// Decodes %xx escapes (invalid escapes are kept as they are), at most 4096 bytes of output.
std::string PercentDecode(std::string_view text);

}  // namespace koruvan::engine
