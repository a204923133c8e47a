// The FTP control channel's replies as the FTP source reads them: one reply at the start of
// the received bytes (single-line, or a multi-line reply up to the line that repeats its
// code followed by a blank), and the six numbers of a passive-mode (227) reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace koruvan::engine {

struct FtpReply {
    std::int32_t code = 0;   // the three digits of the first line
    std::string text;        // the rest of the first line after the code and one blank
    std::size_t length = 0;  // bytes of the whole reply, through its final line's line feed
};

inline constexpr std::int32_t kFtpReplyComplete = 1;
inline constexpr std::int32_t kFtpReplyIncomplete = 0;
inline constexpr std::int32_t kFtpReplyMalformed = -1;

// The longest reply accepted (a server that never ends its reply is cut off here).
inline constexpr std::size_t kMaxFtpReply = 64 * 1024;

// Reads the reply at the start of `data`. Lines end with LF (a CR before it is dropped). A
// first line that does not start with three digits, or whose fourth character is neither a
// blank, a hyphen nor the end of the line, is malformed; so is a reply longer than
// kMaxFtpReply. Only the first reply is taken: bytes after it belong to the next one.
[[nodiscard]] std::int32_t ReadFtpReply(std::string_view data, FtpReply& reply);

// The data address of a 227 reply: the text between "(" and ")" (at most 1023 bytes) split
// at commas and blanks into exactly six numbers 0..255, h1..h4 and p1, p2. The host is
// "h1.h2.h3.h4", the port p1 x 256 + p2 (never 0). False for anything else.
[[nodiscard]] bool ParseFtpPassive(std::string_view text, std::string& host, std::uint16_t& port);

// Whether a text can go into a command line: no CR, LF or NUL (a source URL must not be able
// to add commands of its own).
[[nodiscard]] bool IsFtpCommandSafe(std::string_view text) noexcept;

}  // namespace koruvan::engine
