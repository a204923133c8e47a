// Base64 with the standard alphabet ("A-Z a-z 0-9 + /", "=" padding), as the plan stores its
// texts and the configuration documents carry theirs.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace koruvan::app {

// The most bytes a decoded text of the plan or of a configuration document may have.
inline constexpr std::size_t kMaxDecodedBytes = 4096;

// Padded Base64 of `bytes`.
[[nodiscard]] std::string Base64Encode(std::string_view bytes);

// The bytes of `text`. Blanks and line breaks anywhere are skipped; the padding may be left
// out. Nullopt for any other character outside the alphabet, for misplaced padding, for a
// dangling single character, and when the result would exceed `maxBytes` (a cut-off result
// would be a wrong key or a torn document, never a usable one).
[[nodiscard]] std::optional<std::string> Base64Decode(std::string_view text,
                                                      std::size_t maxBytes = kMaxDecodedBytes);

}  // namespace koruvan::app
