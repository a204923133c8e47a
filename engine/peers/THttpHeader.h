// An HTTP response header: the status line split into version, code and reason, and the
// header lines looked up by name (case-insensitively unless told otherwise).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace koruvan::engine {

class THttpHeader {
  public:
    // Parses the header at the start of `data`: the bytes through the first empty line.
    // Returns their count, or 0 while the header is incomplete.
    std::int32_t Parse(const char* data, std::int32_t len);
    // The value of the first line named `name` (blanks before ':' allowed), with leading
    // blanks skipped; empty when absent.
    std::string Get(std::string_view name) const;
    bool Has(std::string_view name) const;
    std::int32_t Status() const noexcept { return status_; }
    const std::string& Reason() const noexcept { return reason_; }
    const std::string& Version() const noexcept { return version_; }
    const std::vector<std::string>& Lines() const noexcept { return lines_; }
    void Clear();
    void SetCaseSensitive(bool on) noexcept { caseSensitive_ = on; }

  private:
    const std::string* FindLine(std::string_view name) const;

    std::vector<std::string> lines_;
    std::int32_t status_ = 0;
    std::string reason_;
    std::string version_ = "1.0";
    char separator_ = ':';
    bool caseSensitive_ = false;
};

// The request of a web-source peer, byte for byte (header lines end with CR LF, no spaces
// after "Host:", "Accept:", "User-Agent:" and "Connection:"). `referer` overrides the
// default "Referer: " line; `sourceReferer` (the source's own text) is preferred over the
// process-wide one; a Range line appears only when start > 0.
struct HttpRequestTexts {
    std::string userAgent;       // process-wide User-Agent text
    std::string processReferer;  // process-wide Referer text
    std::string sourceReferer;   // the source identity's Referer text
};
std::string BuildRequest(std::string_view host, std::string_view path, const std::string* referer,
                         const std::string* cookie, std::int64_t start, std::int64_t end,
                         const HttpRequestTexts& texts);

// The content size from Content-Range (the number after "/", -1 without one) or else
// Content-Length; -1 with `lengthUnknown` set when neither header is there.
std::int64_t ContentLength(const THttpHeader& header, bool& lengthUnknown);

// The file name of a Content-Disposition header's "filename=" value; empty when absent.
std::string HttpDispositionFileName(const THttpHeader& header);

// A redirect target: absolute locations (starting with "http" or "ftp://") as they are,
// others made absolute as "https://" + host + (":" + port unless 80) + "/"-joined location.
std::string AbsoluteLocation(std::string_view location, std::string_view host, std::uint16_t port);

}  // namespace koruvan::engine
