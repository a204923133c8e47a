#include "app/UrlSigning.h"

#include <uriparser/Uri.h>

#include <algorithm>
#include <memory>

#include "app/Md5.h"
#include "platform/LocalTime.h"

namespace koruvan::app {
namespace {

struct UriDeleter {
    void operator()(UriUriA* uri) const noexcept {
        uriFreeUriMembersA(uri);
        delete uri;
    }
};
using UriPtr = std::unique_ptr<UriUriA, UriDeleter>;

UriPtr ParseUri(std::string_view text) {
    auto* uri = new UriUriA;
    const char* errorPos = nullptr;
    if (uriParseSingleUriExA(uri, text.data(), text.data() + text.size(), &errorPos) !=
        URI_SUCCESS) {
        delete uri;
        return nullptr;
    }
    return UriPtr(uri);
}

// The URL relative to its own domain root, as uriparser writes it: the absolute path with
// its leading "/" and the query; a fragment is never part of a request.
std::string DomainRootReference(const UriUriA& uri) {
    UriUriA relative;
    if (uriRemoveBaseUriA(&relative, &uri, &uri, URI_TRUE) != URI_SUCCESS) {
        return {};
    }
    const UriPtr owner(new UriUriA(relative));
    int chars = 0;
    if (uriToStringCharsRequiredA(owner.get(), &chars) != URI_SUCCESS) {
        return {};
    }
    std::string text(static_cast<std::size_t>(chars) + 1, '\0');
    if (uriToStringA(text.data(), owner.get(), chars + 1, nullptr) != URI_SUCCESS) {
        return {};
    }
    text.resize(std::min(static_cast<std::size_t>(chars), text.find('#')));
    return text;
}

// Where the prefix ends: one character past the host, or past the port when there is one,
// so that a URL with a port keeps it. (Counting from the host alone would cut the port off
// and swallow the first character of the signed path.)
std::size_t PrefixLength(const UriUriA& uri, std::string_view text) {
    const char* end =
        uri.portText.first != nullptr ? uri.portText.afterLast : uri.hostText.afterLast;
    std::size_t length = static_cast<std::size_t>(end - text.data());
    if (uri.portText.first == nullptr &&
        (uri.hostData.ip6 != nullptr || uri.hostData.ipFuture.first != nullptr)) {
        ++length;  // the closing "]" of an IPv6 literal
    }
    return std::min(length + 1, text.size());
}

}  // namespace

std::string SignUrlPath(std::string_view url, std::string_view key, std::string_view secType,
                        std::int64_t unixSeconds) {
    const UriPtr uri = ParseUri(url);
    if (uri == nullptr || uri->hostText.first == nullptr) {
        return {};
    }
    const std::string prefix(url.substr(0, PrefixLength(*uri, url)));
    const std::string path = DomainRootReference(*uri);
    if (key.empty()) {
        return prefix + path;
    }
    const std::string secret(key);
    if (secType == "A0") {
        const std::string t = platform::FormatLocalTime("%Y%m%d%H%M", unixSeconds);
        return prefix + t + "/" + Md5Hex(secret + t + path) + path;
    }
    const std::string t = std::to_string(unixSeconds);
    const std::string h = Md5Hex(secret + path + t);
    if (secType == "B1") {
        return prefix + h + "/" + t + path;
    }
    return prefix + h;
}

std::string SignUrlPath(std::string_view url, const SecConfigValues& values,
                        platform::TimeSource& clock) {
    return SignUrlPath(url, values.md5key, values.secType, clock.WallSeconds());
}

std::string SignUrlPath(std::string_view url) {
    return SignUrlPath(url, *ProcessSecConfig().Current(), platform::SystemTimeSource());
}

engine::WebRequestTexts PrepareWebRequestTexts(std::string_view url) {
    const auto values = ProcessSecConfig().Current();
    std::string signedUrl = SignUrlPath(url, *values, platform::SystemTimeSource());
    if (signedUrl.empty()) {
        signedUrl = std::string(url);
    }
    return engine::WebRequestTexts{std::move(signedUrl), values->userAgent, values->referer};
}

void RegisterSecConfigHooks() noexcept {
    engine::SetSecConfigRefresher([] { return ParseSecConfig(); });
    engine::SetWebRequestPreparer(&PrepareWebRequestTexts);
}

}  // namespace koruvan::app
