#include "engine/peers/ProxyHandshake.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "engine/peers/IpAddress.h"

namespace koruvan::engine {
namespace {

// The longest tunnel reply header accepted; a proxy that sends more is not a proxy.
constexpr std::size_t kMaxTunnelHeader = 16 * 1024;
constexpr std::size_t kMaxStatusWord = 50;
constexpr std::uint8_t kSocks4Granted = 90;  // 'Z'

void AppendPort(std::vector<std::uint8_t>& out, std::uint16_t port) {
    out.push_back(static_cast<std::uint8_t>(port >> 8));
    out.push_back(static_cast<std::uint8_t>(port & 0xFF));
}

// ip is in network order, so its bytes in memory are already the wire bytes.
void AppendAddress(std::vector<std::uint8_t>& out, std::uint32_t ip) {
    std::uint8_t bytes[4];
    std::memcpy(bytes, &ip, sizeof bytes);
    out.insert(out.end(), bytes, bytes + 4);
}

std::string_view Cut(std::string_view text) {
    return text.substr(0, std::min(text.size(), kSocksMaxField));
}

bool HasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

bool IsToken(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    return std::all_of(text.begin(), text.end(), [](char ch) {
        const auto byte = static_cast<unsigned char>(ch);
        return byte > 32 && byte < 127;
    });
}

// One request line target: no line break but the closing CR LF.
bool IsTargetLine(std::string_view target) {
    if (target.size() < 3 || target.substr(target.size() - 2) != "\r\n") {
        return false;
    }
    return !HasLineBreak(target.substr(0, target.size() - 2));
}

// Offset just past the blank line ending a header ("\r\n\r\n" or "\n\n"), or 0 without one.
std::size_t HeaderEnd(std::string_view text) {
    const auto crlf = text.find("\r\n\r\n");
    const auto lf = text.find("\n\n");
    std::size_t end = 0;
    if (crlf != std::string_view::npos) {
        end = crlf + 4;
    }
    if (lf != std::string_view::npos && (end == 0 || lf + 2 < end)) {
        end = lf + 2;
    }
    return end;
}

std::size_t FindNoCase(std::string_view text, std::string_view needle) {
    if (needle.size() > text.size()) {
        return std::string_view::npos;
    }
    for (std::size_t i = 0; i + needle.size() <= text.size(); ++i) {
        bool match = true;
        for (std::size_t k = 0; k < needle.size() && match; ++k) {
            match = std::tolower(static_cast<unsigned char>(text[i + k])) ==
                    std::tolower(static_cast<unsigned char>(needle[k]));
        }
        if (match) {
            return i;
        }
    }
    return std::string_view::npos;
}

// The status word of the status line (the second of its words, at most 50 bytes).
std::string_view StatusWord(std::string_view header) {
    std::string_view line = header.substr(0, header.find('\n'));
    auto skipBlanks = [&line] {
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            line.remove_prefix(1);
        }
    };
    auto nextWord = [&line, &skipBlanks] {
        skipBlanks();
        std::size_t n = 0;
        while (n < line.size() && line[n] != ' ' && line[n] != '\t' && line[n] != '\r') {
            ++n;
        }
        std::string_view word = line.substr(0, n);
        line.remove_prefix(n);
        return word.substr(0, std::min(word.size(), kMaxStatusWord));
    };
    nextWord();  // protocol version
    return nextWord();
}

// Body length announced by a Content-Length line of the header: -1 when there is none,
// -2 when the value is not a number or too large.
std::int64_t AnnouncedBody(std::string_view header) {
    const auto at = FindNoCase(header, "\nContent-Length:");
    if (at == std::string_view::npos) {
        return -1;
    }
    std::string_view value = header.substr(at + 16);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
        value.remove_prefix(1);
    }
    std::int64_t length = 0;
    std::size_t digits = 0;
    while (digits < value.size() && value[digits] >= '0' && value[digits] <= '9') {
        length = length * 10 + (value[digits] - '0');
        if (length > kMaxTunnelReplyBody) {
            return -2;
        }
        ++digits;
    }
    value.remove_prefix(digits);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
        value.remove_prefix(1);
    }
    if (digits == 0 || value.empty() || (value.front() != '\r' && value.front() != '\n')) {
        return -2;
    }
    return length;
}

}  // namespace

std::string Base64Encode(std::string_view bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = (static_cast<std::uint8_t>(bytes[i]) << 16) |
                                (static_cast<std::uint8_t>(bytes[i + 1]) << 8) |
                                static_cast<std::uint8_t>(bytes[i + 2]);
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(kAlphabet[(v >> 6) & 63]);
        out.push_back(kAlphabet[v & 63]);
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t v = static_cast<std::uint8_t>(bytes[i]) << 16;
        if (rest == 2) {
            v |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
        }
        out.push_back(kAlphabet[(v >> 18) & 63]);
        out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}

std::string BuildHttpTunnelRequest(const TProxySettings& proxy, bool maskCredentials) {
    const std::string_view method = proxy.EffectiveMethod();
    if (!IsToken(method) || !IsTargetLine(proxy.target) || HasLineBreak(proxy.domain)) {
        return {};
    }
    std::string request;
    request.append(method).append(" ").append(proxy.target);
    if (!proxy.user.empty()) {
        request.append("Proxy-Authorization: Basic ")
            .append(maskCredentials ? "******" : Base64Encode(proxy.user + ":" + proxy.password))
            .append("\r\n");
    }
    if (!proxy.domain.empty()) {
        request.append("Domain: ").append(proxy.domain).append("\r\n");
    }
    request.append("\r\n");
    return request;
}

std::vector<std::uint8_t> BuildSocks4Request(std::uint32_t ip, std::uint16_t port,
                                             std::string_view hostName) {
    const std::string_view name = Cut(hostName);
    if (port == 0 || name.find('\0') != std::string_view::npos) {
        return {};
    }
    // SOCKS4a marks a named target with the address 0.0.0.1 (network order).
    const std::uint32_t address = name.empty() ? ip : HostToNet32(1);
    std::vector<std::uint8_t> out;
    out.reserve(10 + name.size());
    out.push_back(4);
    out.push_back(1);
    AppendPort(out, port);
    AppendAddress(out, address);
    out.push_back(0);  // empty user id
    if (!name.empty()) {
        out.insert(out.end(), name.begin(), name.end());
        out.push_back(0);
    }
    return out;
}

std::vector<std::uint8_t> BuildSocks5Greeting(bool withCredentials) {
    return {5, 1, static_cast<std::uint8_t>(withCredentials ? 2 : 0)};
}

std::vector<std::uint8_t> BuildSocks5Credentials(std::string_view user, std::string_view password) {
    const std::string_view u = Cut(user);
    const std::string_view p = Cut(password);
    std::vector<std::uint8_t> out{1, static_cast<std::uint8_t>(u.size())};
    out.insert(out.end(), u.begin(), u.end());
    out.push_back(static_cast<std::uint8_t>(p.size()));
    out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<std::uint8_t> BuildSocks5Connect(std::uint32_t ip, std::uint16_t port,
                                             std::string_view hostName) {
    const std::string_view name = Cut(hostName);
    if (port == 0) {
        return {};
    }
    std::vector<std::uint8_t> out{5, 1, 0};
    if (!name.empty()) {
        out.push_back(3);
        out.push_back(static_cast<std::uint8_t>(name.size()));
        out.insert(out.end(), name.begin(), name.end());
    } else {
        out.push_back(1);
        AppendAddress(out, ip);
    }
    AppendPort(out, port);
    return out;
}

std::int32_t CheckHttpTunnelReply(const std::uint8_t* data, std::size_t size) noexcept {
    if (data == nullptr) {
        return kProxyReplyIncomplete;
    }
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::size_t end = HeaderEnd(text.substr(0, std::min(size, kMaxTunnelHeader)));
    if (end == 0) {
        return size >= kMaxTunnelHeader ? kProxyReplyFailed : kProxyReplyIncomplete;
    }
    const std::string_view header = text.substr(0, end);
    const std::string_view status = StatusWord(header);
    if (status.size() < 2 || status[0] != '2' || status[1] != '0') {
        return kProxyReplyFailed;
    }
    const std::int64_t body = AnnouncedBody(header);
    if (body == -2) {
        return kProxyReplyFailed;
    }
    const std::size_t total = end + static_cast<std::size_t>(body > 0 ? body : 0);
    return total > size ? kProxyReplyIncomplete : static_cast<std::int32_t>(total);
}

std::int32_t CheckSocks4Reply(const std::uint8_t* data, std::size_t size) noexcept {
    if (data == nullptr || size < 8) {
        return kProxyReplyIncomplete;
    }
    return data[0] == 0 && data[1] == kSocks4Granted ? 8 : kProxyReplyFailed;
}

std::int32_t CheckSocks5Reply(const std::uint8_t* data, std::size_t size) noexcept {
    if (data == nullptr) {
        return kProxyReplyIncomplete;
    }
    if (size > 1 && data[1] != 0) {
        return kProxyReplyFailed;
    }
    if (size < 5) {
        return kProxyReplyIncomplete;
    }
    std::size_t length = 0;
    switch (data[3]) {
        case 1:  // IPv4 address
            length = 10;
            break;
        case 3:  // name: length byte, name, port
            length = static_cast<std::size_t>(data[4]) + 7;
            break;
        case 4:  // IPv6 address
            length = 22;
            break;
        default:
            return kProxyReplyFailed;
    }
    return size < length ? kProxyReplyIncomplete : static_cast<std::int32_t>(length);
}

std::int32_t CheckProxyReply(std::int32_t type, const std::uint8_t* data,
                             std::size_t size) noexcept {
    switch (type) {
        case kProxyHttp:
            return CheckHttpTunnelReply(data, size);
        case kProxySocks4:
        case kProxySocks4a:
            return CheckSocks4Reply(data, size);
        case kProxySocks5:
            return CheckSocks5Reply(data, size);
        default:
            return kProxyReplyFailed;
    }
}

}  // namespace koruvan::engine
