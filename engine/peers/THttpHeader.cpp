#include "engine/peers/THttpHeader.h"

#include <cctype>
#include <charconv>
#include <cstring>

namespace koruvan::engine {
namespace {

bool IsBlank(char c) {
    const auto b = static_cast<unsigned char>(c);
    return b >= 1 && b <= 32;
}

bool EqualNames(std::string_view a, std::string_view b, bool caseSensitive) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const char x = caseSensitive
                           ? a[i]
                           : static_cast<char>(std::tolower(static_cast<unsigned char>(a[i])));
        const char y = caseSensitive
                           ? b[i]
                           : static_cast<char>(std::tolower(static_cast<unsigned char>(b[i])));
        if (x != y) {
            return false;
        }
    }
    return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualNames(text.substr(0, prefix.size()), prefix, false);
}

// Offset just past the first empty line, or 0 when there is none yet.
std::size_t HeaderEnd(std::string_view data) {
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] != '\n') {
            continue;
        }
        if (i + 1 < data.size() && data[i + 1] == '\n') {
            return i + 2;
        }
        if (i + 2 < data.size() && data[i + 1] == '\r' && data[i + 2] == '\n') {
            return i + 3;
        }
    }
    return 0;
}

std::int64_t ParseInt64(std::string_view text, bool& ok) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    ok = ec == std::errc() && end != text.data();
    return ok ? value : -1;
}

}  // namespace

void THttpHeader::Clear() {
    lines_.clear();
    status_ = 0;
    reason_.clear();
    version_ = "1.0";
}

std::int32_t THttpHeader::Parse(const char* data, std::int32_t len) {
    Clear();
    if (data == nullptr || len <= 0) {
        return 0;
    }
    const std::string_view all(data, static_cast<std::size_t>(len));
    const std::size_t end = HeaderEnd(all);
    if (end == 0) {
        return 0;
    }
    std::string_view text = all.substr(0, end);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) {
        text.remove_suffix(1);
    }
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t stop = text.find('\n', start);
        if (stop == std::string_view::npos) {
            stop = text.size();
        }
        std::string_view line = text.substr(start, stop - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines_.emplace_back(line);
        start = stop + 1;
    }
    if (!lines_.empty() && lines_.front().compare(0, 4, "HTTP") == 0) {
        std::string_view status = lines_.front();
        const std::size_t slash = status.find('/');
        const std::size_t space = status.find(' ');
        if (slash != std::string_view::npos && slash < space) {
            version_ = std::string(status.substr(slash + 1, space - slash - 1));
        }
        std::string_view rest = space == std::string_view::npos ? "" : status.substr(space);
        while (!rest.empty() && IsBlank(rest.front()))
            rest.remove_prefix(1);
        std::int32_t code = 0;
        const auto [codeEnd, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), code);
        status_ = ec == std::errc() ? code : 0;
        rest.remove_prefix(static_cast<std::size_t>(codeEnd - rest.data()));
        while (!rest.empty() && IsBlank(rest.front()))
            rest.remove_prefix(1);
        reason_ = std::string(rest);
        lines_.erase(lines_.begin());
    }
    return static_cast<std::int32_t>(end);
}

const std::string* THttpHeader::FindLine(std::string_view name) const {
    for (const auto& line : lines_) {
        const std::size_t colon = line.find(separator_);
        if (colon == std::string::npos) {
            continue;
        }
        std::string_view lineName(line.data(), colon);
        while (!lineName.empty() && (lineName.back() == ' ' || lineName.back() == '\t')) {
            lineName.remove_suffix(1);
        }
        if (EqualNames(lineName, name, caseSensitive_)) {
            return &line;
        }
    }
    return nullptr;
}

bool THttpHeader::Has(std::string_view name) const {
    return FindLine(name) != nullptr;
}

std::string THttpHeader::Get(std::string_view name) const {
    const std::string* line = FindLine(name);
    if (line == nullptr) {
        return {};
    }
    std::string_view value(*line);
    value.remove_prefix(value.find(separator_) + 1);
    while (!value.empty() && IsBlank(value.front())) {
        value.remove_prefix(1);
    }
    return std::string(value);
}

std::string BuildRequest(std::string_view host, std::string_view path, const std::string* referer,
                         const std::string* cookie, std::int64_t start, std::int64_t end,
                         const HttpRequestTexts& texts) {
    std::string r;
    r.reserve(1024);
    r.append("GET ").append(path).append(" HTTP/1.1\r\n");
    r.append("Host:").append(host).append("\r\n");
    r.append("Accept:*/*\r\n");
    if (referer != nullptr) {
        r.append("Referer:").append(*referer).append("\r\n");
    } else {
        r.append("Referer: ")
            .append(texts.sourceReferer.empty() ? texts.processReferer : texts.sourceReferer)
            .append("\r\n");
    }
    r.append("User-Agent:").append(texts.userAgent).append("\r\n");
    r.append("Connection:Keep-Alive\r\n");
    if (cookie != nullptr) {
        r.append("Set Cookie:0").append(*cookie).append("\r\n");
    }
    if (start > 0) {
        r.append("Range: bytes=").append(std::to_string(start)).append("-");
        if (end > start) {
            r.append(std::to_string(end));
        }
        r.append("\r\n");
    }
    r.append("Pragma: no-cache\r\n");
    r.append("Cache-Control: no-cache\r\n");
    r.append("\r\n");
    return r;
}

std::int64_t ContentLength(const THttpHeader& header, bool& lengthUnknown) {
    bool ok = false;
    if (header.Has("Content-Range")) {
        const std::string range = header.Get("Content-Range");
        const std::size_t slash = range.find('/');
        if (slash == std::string::npos) {
            return -1;
        }
        const std::int64_t total = ParseInt64(std::string_view(range).substr(slash + 1), ok);
        return ok ? total : -1;  // "*" (unknown total) or garbage: unknown
    }
    if (header.Has("Content-Length")) {
        const std::int64_t length = ParseInt64(header.Get("Content-Length"), ok);
        return ok ? length : -1;
    }
    lengthUnknown = true;
    return -1;
}

std::string HttpDispositionFileName(const THttpHeader& header) {
    const std::string value = header.Get("Content-Disposition");
    const std::size_t at = value.find("filename=");
    if (at == std::string::npos) {
        return {};
    }
    std::string_view name = std::string_view(value).substr(at + 9);
    const bool quoted = !name.empty() && name.front() == '"';
    if (quoted) {
        name.remove_prefix(1);
    }
    const std::size_t semicolon = name.find(';');
    if (semicolon != std::string_view::npos) {
        name = name.substr(0, semicolon);
    }
    if (!name.empty() && name.back() == '"') {
        name.remove_suffix(1);
    }
    return std::string(name);
}

std::string AbsoluteLocation(std::string_view location, std::string_view host, std::uint16_t port) {
    if (location.empty() || StartsWithNoCase(location, "http") ||
        StartsWithNoCase(location, "ftp://")) {
        return std::string(location);
    }
    std::string url = "https://";
    url.append(host);
    if (port != 80) {
        url.append(":").append(std::to_string(port));
    }
    if (location.front() != '/') {
        url.append("/");
    }
    url.append(location);
    return url;
}

}  // namespace koruvan::engine
