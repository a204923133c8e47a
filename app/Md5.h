// MD5 digests as the plan and the URL signing write them: 32 lower-case hex digits.
#pragma once

#include <string>
#include <string_view>

namespace koruvan::app {

// Lower-case hex MD5 of `bytes`.
[[nodiscard]] std::string Md5Hex(std::string_view bytes);

// True when `text` is exactly 32 hex digits (either case).
[[nodiscard]] bool IsMd5Hex(std::string_view text) noexcept;

}  // namespace koruvan::app
