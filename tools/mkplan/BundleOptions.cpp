#include "tools/mkplan/BundleOptions.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>
#include <set>

#include "app/PlanFile.h"
#include "app/UrlText.h"
#include "tools/mkplan/PlanContent.h"

namespace koruvan::tools {
namespace {

// File names go into URLs, the plan and the XML documents unchanged, so they keep to
// characters that need no escaping anywhere.
bool IsPlainFileName(std::string_view name) {
    if (name.empty() || name == "." || name == ".." || name.size() > 255) {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '_' ||
               c == '-' || c == '+' || c == '~';
    });
}

bool HasControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b < 0x20 || b == 0x7F;
    });
}

bool IsUrlOf(std::string_view url, std::initializer_list<std::string_view> schemes) {
    return app::IsUrlWithScheme(url, schemes);
}

std::optional<std::string> CheckUrls(const BundleOptions& o) {
    if (!IsUrlOf(o.baseUrl, {"http", "https"})) {
        return "--base-url must be an http or https URL: \"" + o.baseUrl + "\"";
    }
    if (!o.configUrl.empty() && !IsUrlOf(o.configUrl, {"http", "https"})) {
        return "--config-url must be an http or https URL: \"" + o.configUrl + "\"";
    }
    if (!o.telemetryUrl.empty() && !IsUrlOf(o.telemetryUrl, {"http", "https"})) {
        return "--telemetry-url must be an http or https URL: \"" + o.telemetryUrl + "\"";
    }
    for (const std::string& m : o.mirrors) {
        if (!ParseMirror(m)) {
            return "--mirror must be an http or https URL naming a host: \"" + m + "\"";
        }
    }
    for (const std::string& t : o.trackers) {
        if (!IsUrlOf(t, {"http", "https", "udp"})) {
            return "--tracker must be an http, https or udp URL: \"" + t + "\"";
        }
    }
    if (!o.expiredUrl.empty() && !IsUrlOf(o.expiredUrl, {"http", "https"})) {
        return "--expired-url must be an http or https URL: \"" + o.expiredUrl + "\"";
    }
    if (o.bindAddress && !o.bindAddress->empty() && !app::IsDottedIpv4(*o.bindAddress)) {
        return "--bind-address must be a dotted IPv4 address or none: \"" + *o.bindAddress + "\"";
    }
    return std::nullopt;
}

std::optional<std::string> CheckFiles(const BundleOptions& o) {
    if (o.fromDir.has_value() == !o.sizes.empty()) {
        return std::string("give either --from DIR or --sizes LIST");
    }
    if (!o.fromDir && o.sizes.size() != kBundleFiles) {
        return std::string("--sizes needs exactly five sizes");
    }
    if (o.installerScript && o.fromDir) {
        return std::string("--installer-script only applies to generated files (--sizes)");
    }
    if (o.installerScript && o.sizes[0] < InstallerScriptHead().size()) {
        return "file 0 must have at least " + std::to_string(InstallerScriptHead().size()) +
               " bytes to hold the installer script";
    }
    std::set<std::string> seen;
    for (const std::string& name : o.names) {
        if (!IsPlainFileName(name)) {
            return "file names may only hold letters, digits and . _ - + ~: \"" + name + "\"";
        }
        if (!seen.insert(name).second) {
            return "file name given twice: \"" + name + "\"";
        }
    }
    return std::nullopt;
}

}  // namespace

std::string PlanBindAddress(const BundleOptions& options) {
    if (options.bindAddress) {
        return *options.bindAddress;
    }
    const auto base = app::ParseWebUrl(options.baseUrl);
    const bool loopback =
        base && (base->host == "localhost" ||
                 (app::IsDottedIpv4(base->host) && base->host.compare(0, 4, "127.") == 0));
    return loopback ? std::string(kLoopbackBindAddress) : std::string();
}

std::optional<Mirror> ParseMirror(std::string_view url) {
    const auto parts = app::ParseWebUrl(url);
    if (!parts || (parts->scheme != "http" && parts->scheme != "https")) {
        return std::nullopt;
    }
    const auto start = url.find("://");
    const auto at = url.find(parts->authority, start);
    if (start == std::string_view::npos || at == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view path = url.substr(at + parts->authority.size());
    if (path.find_first_of("?#") != std::string_view::npos) {
        return std::nullopt;
    }
    while (!path.empty() && path.back() == '/') {
        path.remove_suffix(1);
    }
    return Mirror{parts->authority, std::string(path) + std::string(kFileFolder)};
}

std::optional<std::uint64_t> ParseSize(std::string_view text) {
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr == text.data()) {
        return std::nullopt;
    }
    const std::string_view unit(ptr, static_cast<std::size_t>(end - ptr));
    unsigned shift = 0;
    if (unit.size() == 1) {
        switch (std::toupper(static_cast<unsigned char>(unit[0]))) {
            case 'K':
                shift = 10;
                break;
            case 'M':
                shift = 20;
                break;
            case 'G':
                shift = 30;
                break;
            default:
                return std::nullopt;
        }
    } else if (!unit.empty()) {
        return std::nullopt;
    }
    if (value == 0 || value > (std::numeric_limits<std::uint64_t>::max() >> shift)) {
        return std::nullopt;
    }
    return value << shift;
}

std::optional<std::vector<std::uint64_t>> ParseSizes(std::string_view text) {
    std::vector<std::uint64_t> sizes;
    while (true) {
        const auto comma = text.find(',');
        const auto size = ParseSize(text.substr(0, comma));
        if (!size) {
            return std::nullopt;
        }
        sizes.push_back(*size);
        if (comma == std::string_view::npos) {
            break;
        }
        text.remove_prefix(comma + 1);
    }
    if (sizes.size() != kBundleFiles) {
        return std::nullopt;
    }
    return sizes;
}

std::optional<std::string> CheckOptions(const BundleOptions& o) {
    if (o.outDir.empty()) {
        return std::string("--out is required");
    }
    if (auto problem = CheckFiles(o)) {
        return problem;
    }
    if (auto problem = CheckUrls(o)) {
        return problem;
    }
    if (o.secType != "A0" && o.secType != "B1") {
        return "--sec-type must be A0 or B1: \"" + o.secType + "\"";
    }
    if (!o.secKey.empty() && !app::IsPlainToken(o.secKey)) {
        return std::string("--sec-key must be one word without blanks or control characters");
    }
    if (HasControlCharacter(o.userAgent) || HasControlCharacter(o.referer)) {
        return std::string("--user-agent and --referer must not hold control characters");
    }
    return std::nullopt;
}

}  // namespace koruvan::tools
