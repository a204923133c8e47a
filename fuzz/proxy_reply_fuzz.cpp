// Fuzz target for the checks of proxy replies and the proxy request builders.
//
// The first byte picks the proxy type; the rest is the reply, checked whole and as every
// growing prefix (the bytes arrive in pieces), always from a heap copy of exactly that many
// bytes so that AddressSanitizer catches a read past them. A verdict, once reached, must not
// change as more bytes arrive, and a complete reply never claims more bytes than there are.
// The same bytes, split into fields, feed the request builders, whose output must keep its
// line structure whatever the fields hold.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "engine/peers/ProxyHandshake.h"

namespace {

using namespace koruvan::engine;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

std::int32_t CheckCopy(std::int32_t type, const std::uint8_t* data, std::size_t size) {
    auto copy = std::make_unique<std::uint8_t[]>(size == 0 ? 1 : size);
    if (size > 0) {
        std::memcpy(copy.get(), data, size);
    }
    return CheckProxyReply(type, size == 0 ? nullptr : copy.get(), size);
}

void CheckReply(std::int32_t type, const std::uint8_t* data, std::size_t size) {
    std::int32_t verdict = kProxyReplyIncomplete;
    // Prefixes in steps that stay cheap for long inputs, then the whole.
    const std::size_t step = size / 64 + 1;
    for (std::size_t n = 0; n <= size; n += (n < 64 ? 1 : step)) {
        const std::int32_t r = CheckCopy(type, data, n);
        Check(r == kProxyReplyFailed || r == kProxyReplyIncomplete ||
              (r > 0 && static_cast<std::size_t>(r) <= n));
        if (verdict != kProxyReplyIncomplete) {
            Check(r == verdict);
        }
        verdict = r;
    }
    const std::int32_t whole = CheckCopy(type, data, size);
    Check(verdict == kProxyReplyIncomplete || whole == verdict);
}

std::size_t CountOf(std::string_view text, std::string_view needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string_view::npos;
         at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

void CheckRequests(std::string_view input) {
    // Fields separated by 0x1F: method, target, user, password, domain, host name.
    std::string fields[6];
    std::size_t field = 0;
    for (const char ch : input) {
        if (ch == '\x1F' && field < 5) {
            ++field;
        } else {
            fields[field].push_back(ch);
        }
    }
    TProxySettings proxy;
    proxy.method = fields[0];
    proxy.target = fields[1];
    proxy.user = fields[2];
    proxy.password = fields[3];
    proxy.domain = fields[4];
    const std::string request = BuildHttpTunnelRequest(proxy);
    if (!request.empty()) {
        const std::size_t lines = 2 + (proxy.user.empty() ? 0 : 1) + (proxy.domain.empty() ? 0 : 1);
        Check(CountOf(request, "\n") == lines);
        Check(request.size() >= 4 && request.compare(request.size() - 4, 4, "\r\n\r\n") == 0);
    }
    const auto socks4 = BuildSocks4Request(0x0100007F, 80, fields[5]);
    Check(socks4.empty() || socks4.size() <= 9 + kSocksMaxField + 1);
    const auto socks5 = BuildSocks5Connect(0x0100007F, 80, fields[5]);
    Check(socks5.size() <= 5 + kSocksMaxField + 2);
    const auto login = BuildSocks5Credentials(fields[2], fields[3]);
    Check(login.size() <= 3 + 2 * kSocksMaxField);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::int32_t type = 1 + data[0] % 4;
    CheckReply(type, data + 1, size - 1);
    CheckRequests(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
    return 0;
}
