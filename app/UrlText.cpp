#include "app/UrlText.h"

#include <uriparser/Uri.h>

#include <algorithm>
#include <cctype>

namespace koruvan::app {
namespace {

std::string Range(const UriTextRangeA& range) {
    if (range.first == nullptr || range.afterLast == nullptr) {
        return {};
    }
    return std::string(range.first, range.afterLast);
}

}  // namespace

bool IsPlainToken(std::string_view text) noexcept {
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b > 0x20 && b != 0x7F;
    });
}

std::optional<UrlParts> ParseWebUrl(std::string_view url) {
    const bool ascii = std::all_of(url.begin(), url.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (url.empty() || !ascii || !IsPlainToken(url)) {
        return std::nullopt;
    }
    UriUriA uri;
    const char* errorPos = nullptr;
    if (uriParseSingleUriExA(&uri, url.data(), url.data() + url.size(), &errorPos) != URI_SUCCESS) {
        return std::nullopt;
    }
    UrlParts parts;
    parts.scheme = Range(uri.scheme);
    std::transform(parts.scheme.begin(), parts.scheme.end(), parts.scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    parts.host = Range(uri.hostText);
    if (!parts.host.empty()) {
        const bool ipv6 = uri.hostData.ip6 != nullptr || uri.hostData.ipFuture.first != nullptr;
        parts.authority = ipv6 ? "[" + parts.host + "]" : parts.host;
        if (uri.portText.first != nullptr) {
            parts.authority += ":" + Range(uri.portText);
        }
    }
    uriFreeUriMembersA(&uri);
    if (parts.scheme.empty() || parts.host.empty()) {
        return std::nullopt;
    }
    return parts;
}

bool IsUrlWithScheme(std::string_view url, std::initializer_list<std::string_view> schemes) {
    const auto parts = ParseWebUrl(url);
    return parts && std::find(schemes.begin(), schemes.end(), parts->scheme) != schemes.end();
}

}  // namespace koruvan::app
