#include "engine/peers/TFtpPeerReply.h"

#include <array>

namespace koruvan::engine {
namespace {

constexpr std::size_t kMaxPassiveText = 1023;

bool IsDigit(char c) noexcept {
    return c >= '0' && c <= '9';
}

// The line starting at `from` without its line end, and where the next line starts; false
// while the line has no LF yet.
bool NextLine(std::string_view data, std::size_t from, std::string_view& line, std::size_t& next) {
    const std::size_t lf = data.find('\n', from);
    if (lf == std::string_view::npos) {
        return false;
    }
    std::size_t end = lf;
    if (end > from && data[end - 1] == '\r') {
        --end;
    }
    line = data.substr(from, end - from);
    next = lf + 1;
    return true;
}

// A final line of a reply with this code: the three digits, then a blank or the line's end.
bool EndsReply(std::string_view line, std::string_view code) noexcept {
    return line.size() >= 3 && line.substr(0, 3) == code && (line.size() == 3 || line[3] == ' ');
}

}  // namespace

std::int32_t ReadFtpReply(std::string_view data, FtpReply& reply) {
    std::string_view first;
    std::size_t next = 0;
    if (!NextLine(data, 0, first, next)) {
        return data.size() > kMaxFtpReply ? kFtpReplyMalformed : kFtpReplyIncomplete;
    }
    if (first.size() < 3 || !IsDigit(first[0]) || !IsDigit(first[1]) || !IsDigit(first[2]) ||
        (first.size() > 3 && first[3] != ' ' && first[3] != '-')) {
        return kFtpReplyMalformed;
    }
    const std::string_view code = first.substr(0, 3);
    if (first.size() > 3 && first[3] == '-') {
        // A multi-line reply runs to the line that repeats the code followed by a blank.
        std::string_view line;
        std::size_t at = next;
        bool ended = false;
        while (!ended && NextLine(data, at, line, next)) {
            ended = EndsReply(line, code);
            at = next;
        }
        if (!ended) {
            return data.size() > kMaxFtpReply ? kFtpReplyMalformed : kFtpReplyIncomplete;
        }
    }
    if (next > kMaxFtpReply) {
        return kFtpReplyMalformed;
    }
    reply.code = (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
    reply.text.assign(first.size() > 4 ? first.substr(4) : std::string_view());
    reply.length = next;
    return kFtpReplyComplete;
}

bool ParseFtpPassive(std::string_view text, std::string& host, std::uint16_t& port) {
    const std::size_t open = text.find('(');
    const std::size_t close = open == std::string_view::npos ? open : text.find(')', open + 1);
    if (close == std::string_view::npos || close - open - 1 > kMaxPassiveText) {
        return false;
    }
    const std::string_view inside = text.substr(open + 1, close - open - 1);
    std::array<unsigned, 6> numbers{};
    std::size_t count = 0;
    std::size_t i = 0;
    while (i < inside.size()) {
        if (inside[i] == ',' || inside[i] == ' ') {
            ++i;
            continue;
        }
        unsigned value = 0;
        std::size_t digits = 0;
        while (i < inside.size() && IsDigit(inside[i]) && digits < 4) {
            value = value * 10 + static_cast<unsigned>(inside[i] - '0');
            ++digits;
            ++i;
        }
        if (digits == 0 || value > 255 || count == numbers.size() ||
            (i < inside.size() && inside[i] != ',' && inside[i] != ' ')) {
            return false;
        }
        numbers[count++] = value;
    }
    if (count != numbers.size()) {
        return false;
    }
    const unsigned value = numbers[4] * 256 + numbers[5];
    if (value == 0) {
        return false;
    }
    host = std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." +
           std::to_string(numbers[2]) + "." + std::to_string(numbers[3]);
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool IsFtpCommandSafe(std::string_view text) noexcept {
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

}  // namespace koruvan::engine
