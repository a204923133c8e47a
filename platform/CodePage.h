// Conversion of texts that arrive with a declared Windows code page (torrent names and
// paths in GBK, BIG5, Korean or Japanese encodings) into the system code page. The system
// code page of this program is UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace koruvan::platform {

// Code page numbers the engine meets in metainfo, with their usual names.
inline constexpr int kCodePageShiftJis = 932;
inline constexpr int kCodePageGbk = 936;
inline constexpr int kCodePageKorean = 949;
inline constexpr int kCodePageBig5 = 950;
inline constexpr int kCodePageUtf8 = 65001;

// Converts `bytes` from `codePage` to UTF-8. Returns false and leaves `out` empty when the
// code page is unknown to the converter or the bytes are not valid text in that code page
// (an invalid or truncated multi-byte sequence). An empty input converts to an empty text.
[[nodiscard]] bool ConvertToSystemCodePage(int codePage, std::string_view bytes, std::string& out);

// True when the converter knows `codePage`.
[[nodiscard]] bool IsCodePageSupported(int codePage);

}  // namespace koruvan::platform
