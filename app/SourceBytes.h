// Where a file's bytes came from in the last run that moved any: web sources (HTTP, FTP)
// and peers. The controller keeps the pair in the task file, one key per file
// ("KoruvanTaskSourceBytes<i>" = "<web>,<peers>", decimal), so that `status` shows it after
// the run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace koruvan::app {

struct SourceBytes {
    std::uint64_t web = 0;
    std::uint64_t peers = 0;

    friend bool operator==(const SourceBytes&, const SourceBytes&) = default;
};

[[nodiscard]] std::string SourceBytesKey(int index);
[[nodiscard]] std::string FormatSourceBytes(const SourceBytes& bytes);
// nullopt for anything but two unsigned decimal numbers separated by a comma.
[[nodiscard]] std::optional<SourceBytes> ParseSourceBytes(std::string_view text);

}  // namespace koruvan::app
