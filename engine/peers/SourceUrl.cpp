#include "engine/peers/SourceUrl.h"

#include <cctype>
#include <charconv>

#include "engine/peers/Resolver.h"
#include "engine/peers/TPeerId.h"

namespace koruvan::engine {
namespace {

constexpr std::size_t kMaxDecoded = 4096;
constexpr const char* kAnonymousPassword = "koruvan@koruvan.example";

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// "host[:port]" → host and port; false for an empty host or a bad port.
bool SplitHostPort(std::string_view part, std::uint16_t defaultPort, std::string& host,
                   std::uint16_t& port) {
    const auto colon = part.rfind(':');
    port = defaultPort;
    if (colon != std::string_view::npos) {
        const std::string_view digits = part.substr(colon + 1);
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (ec != std::errc() || end != digits.data() + digits.size() || value == 0 ||
            value > 65535) {
            return false;
        }
        port = static_cast<std::uint16_t>(value);
        part = part.substr(0, colon);
    }
    host.assign(part);
    return !host.empty();
}

// The last path segment, or empty when the path ends in "/".
std::string LastSegment(std::string_view path) {
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool SplitWeb(std::string_view rest, std::uint16_t defaultPort, SourceUrl& out) {
    const auto slash = rest.find('/');
    std::string_view hostPart = rest.substr(0, slash);
    out.path = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
    return SplitHostPort(hostPart, defaultPort, out.host, out.port);
}

bool SplitFtp(std::string_view rest, SourceUrl& out) {
    const auto slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    const auto at = authority.rfind('@');
    if (at != std::string_view::npos) {
        const std::string_view login = authority.substr(0, at);
        const auto colon = login.find(':');
        out.user.assign(login.substr(0, colon));
        out.password = colon == std::string_view::npos ? "" : std::string(login.substr(colon + 1));
        authority = authority.substr(at + 1);
    } else {
        out.user = "anonymous";
        out.password = kAnonymousPassword;
    }
    out.path = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
    return SplitHostPort(authority, 21, out.host, out.port);
}

bool SplitTracker(std::string_view announce, SourceUrl& out) {
    const auto sep = announce.find("://");
    if (sep == std::string_view::npos) {
        return false;
    }
    const std::string_view scheme = announce.substr(0, sep);
    if (StartsWithNoCase(scheme, "http") ||
        (scheme.size() == 3 && StartsWithNoCase(scheme, "tcp"))) {
        out.udpTracker = false;
    } else if (scheme.size() == 3 && StartsWithNoCase(scheme, "udp")) {
        out.udpTracker = true;
    } else {
        return false;
    }
    std::string_view rest = announce.substr(sep + 3);
    const auto question = rest.find('?');
    if (question != std::string_view::npos) {
        out.query.assign(rest.substr(question + 1));
        rest = rest.substr(0, question);
    }
    const auto slash = rest.find('/');
    out.path = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
    return SplitHostPort(rest.substr(0, slash), 80, out.host, out.port);
}

bool SplitNode(std::string_view rest, SourceUrl& out) {
    return rest.find(':') != std::string_view::npos && SplitHostPort(rest, 0, out.host, out.port);
}

}  // namespace

std::string MakeTransmissible(std::string_view url) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(url.size());
    for (const char ch : url) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte <= 32 || byte >= 128) {
            out.push_back('%');
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 15]);
        } else {
            out.push_back(ch);
        }
    }
    return out;
}

std::string PercentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size() < kMaxDecoded ? text.size() : kMaxDecoded);
    for (std::size_t i = 0; i < text.size() && out.size() < kMaxDecoded; ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int high = HexValue(text[i + 1]);
            const int low = HexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::optional<SourceUrl> SplitSourceUrl(std::string_view text) {
    std::string url(text);
    for (char& ch : url) {
        if (ch == '\\') {
            ch = '/';
        }
    }
    // Texts are UTF-8 inside the program, so the conversion to UTF-8 is the identity.
    url = StartsWithNoCase(url, "http") ? MakeTransmissible(url) : PercentDecode(url);

    SourceUrl out;
    bool ok = false;
    if (StartsWithNoCase(url, "ftp://")) {
        out.kind = kKindFtp;
        ok = SplitFtp(std::string_view(url).substr(6), out);
    } else if (StartsWithNoCase(url, "http")) {
        const auto sep = url.find("://");
        out.kind = kKindHttp;
        ok = sep != std::string::npos && SplitWeb(std::string_view(url).substr(sep + 3), 80, out);
    } else if (StartsWithNoCase(url, "tracker://")) {
        out.kind = kKindTracker;
        ok = SplitTracker(std::string_view(url).substr(10), out);
    } else if (StartsWithNoCase(url, "btnode://")) {
        out.kind = kKindBitTorrent;
        ok = SplitNode(std::string_view(url).substr(9), out);
    }
    if (!ok) {
        return std::nullopt;
    }
    if (out.kind == kKindHttp) {
        out.fileName = PercentDecode(LastSegment(out.path));
    } else if (out.kind == kKindFtp) {
        out.fileName = LastSegment(out.path);
    }
    out.url = std::move(url);
    return out;
}

bool ParseSourceUrl(TPeerId& identity) {
    const auto split = SplitSourceUrl(identity.text);
    if (!split) {
        identity.parsed = false;
        return false;
    }
    identity.TakeSourceUrl(*split);
    identity.resolved = false;
    if (split->kind == kKindBitTorrent) {
        // A node given directly: its address is dotted, never looked up.
        const std::uint32_t ip = ParseDotted(split->host);
        identity.ip = ip == kNoAddress ? kNoAddress : HostToNet32(ip);
        if (identity.ip == kNoAddress) {
            identity.parsed = false;
            return false;
        }
    } else {
        std::vector<std::uint32_t> addresses;
        const std::int32_t found = ResolveHost(split->host.c_str(), addresses);
        identity.resolutionFailed = found < 0;
        if (found <= 0 || addresses.empty()) {
            identity.ip = kNoAddress;
            identity.parsed = false;
            return false;
        }
        identity.ip = addresses.front();
        identity.Details().addresses.assign(addresses.begin() + 1, addresses.end());
    }
    identity.resolved = true;
    identity.parsed = true;
    return true;
}

}  // namespace koruvan::engine
