#include "engine/peers/HttpBody.h"

#include <cctype>
#include <charconv>
#include <optional>
#include <string_view>

namespace koruvan::engine {
namespace {

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())) != 0) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())) != 0) {
        text.remove_suffix(1);
    }
    return text;
}

// A decimal count and nothing else; nullopt for anything else (signs, blanks inside,
// trailing text, overflow).
std::optional<std::int64_t> Count(std::string_view text) {
    text = Trimmed(text);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || text.front() == '-' || text.front() == '+' || error != std::errc() ||
        end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

struct Range {
    std::int64_t first = 0;
    std::int64_t last = 0;
    std::int64_t total = -1;  // -1: "*"
};

// "bytes FIRST-LAST/TOTAL" (TOTAL may be "*"), with FIRST <= LAST < TOTAL.
std::optional<Range> ParseRange(std::string_view value) {
    value = Trimmed(value);
    if (value.substr(0, 6) != "bytes ") {
        return std::nullopt;
    }
    value.remove_prefix(6);
    const std::size_t dash = value.find('-');
    const std::size_t slash = value.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) {
        return std::nullopt;
    }
    const auto first = Count(value.substr(0, dash));
    const auto last = Count(value.substr(dash + 1, slash - dash - 1));
    const std::string_view totalText = Trimmed(value.substr(slash + 1));
    const auto total = totalText == "*" ? std::optional<std::int64_t>(-1) : Count(totalText);
    if (!first || !last || !total || *last < *first || (*total >= 0 && *last >= *total)) {
        return std::nullopt;
    }
    return Range{*first, *last, *total};
}

HttpBody Refused(HttpBody::Verdict verdict, std::string reason) {
    HttpBody body;
    body.verdict = verdict;
    body.reason = std::move(reason);
    return body;
}

HttpBody WrongSize(std::int64_t stated, std::uint64_t expected) {
    return Refused(
        HttpBody::Verdict::kWrongSize,
        "reports " + std::to_string(stated) + " bytes instead of " + std::to_string(expected));
}

bool IsCoded(const THttpHeader& header, std::string_view name) {
    if (!header.Has(name)) {
        return false;
    }
    std::string value(Trimmed(header.Get(name)));
    for (char& c : value) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return value != "identity";
}

HttpBody CheckPartial(const THttpHeader& header, std::int64_t asked, std::uint64_t expected,
                      std::optional<std::int64_t> length) {
    const auto range = ParseRange(header.Get("Content-Range"));
    if (!range) {
        return Refused(HttpBody::Verdict::kUnusable, "sends a 206 without a usable Content-Range");
    }
    if (range->first != asked) {
        return Refused(HttpBody::Verdict::kOtherRange,
                       "answered another byte range than asked for");
    }
    const std::int64_t size =
        range->total >= 0 ? range->total : static_cast<std::int64_t>(expected);
    if (expected > 0 && static_cast<std::uint64_t>(size) != expected) {
        return WrongSize(size, expected);
    }
    if (size <= 0 || range->last >= size) {
        return Refused(HttpBody::Verdict::kUnusable, "sends a range of a file of unknown size");
    }
    const std::int64_t span = range->last - range->first + 1;
    if (length && *length != span) {
        return Refused(HttpBody::Verdict::kUnusable,
                       "sends a Content-Length of " + std::to_string(*length) + " for a range of " +
                           std::to_string(span) + " bytes");
    }
    HttpBody body;
    body.verdict = HttpBody::Verdict::kUsable;
    body.start = range->first;
    body.end = range->last + 1;
    body.fileSize = size;
    return body;
}

}  // namespace

HttpBody CheckHttpBody(const THttpHeader& header, std::int64_t asked, std::uint64_t expectedSize) {
    const std::int32_t status = header.Status();
    if (status != 200 && status != 206) {
        return Refused(HttpBody::Verdict::kUnusable,
                       "answered HTTP " + std::to_string(status) + " without the file's bytes");
    }
    if (IsCoded(header, "Transfer-Encoding") || IsCoded(header, "Content-Encoding")) {
        return Refused(HttpBody::Verdict::kUnusable, "sends the file in a coded form");
    }
    std::optional<std::int64_t> length;
    if (header.Has("Content-Length")) {
        length = Count(header.Get("Content-Length"));
        if (!length) {
            return Refused(HttpBody::Verdict::kUnusable, "sends an unreadable Content-Length");
        }
    }
    if (status == 206) {
        return CheckPartial(header, asked, expectedSize, length);
    }
    if (!length || *length <= 0) {
        return Refused(HttpBody::Verdict::kUnusable, "sends a 200 without the file's length");
    }
    if (expectedSize > 0 && static_cast<std::uint64_t>(*length) != expectedSize) {
        return WrongSize(*length, expectedSize);
    }
    HttpBody body;
    body.verdict = HttpBody::Verdict::kUsable;
    body.start = 0;
    body.end = *length;
    body.fileSize = *length;
    return body;
}

}  // namespace koruvan::engine
