// The HTTP POST of the upload (libcurl's easy interface): the form body as POST fields, the
// response collected into a text, no signals, a connect and an overall time-out (6 s each
// in the program). Only http and https URLs are used, and redirects are not followed.
//
// Abort() makes a transfer under way end within about a second and every later one fail at
// once; the upload's stop uses it so that a server that hangs cannot hold up the exit.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace koruvan::telemetry {

inline constexpr std::chrono::milliseconds kPostTimeout{6000};
// Responses longer than this are cut (the answer that matters is a short JSON text).
inline constexpr std::size_t kMaxResponseBytes = 64 * 1024;

class HttpPoster {
  public:
    explicit HttpPoster(std::chrono::milliseconds timeout = kPostTimeout) noexcept
        : timeout_(timeout) {}

    // The response text; nullopt when the request could not be made or did not complete
    // (unreachable, refused, time-out, aborted). Never throws.
    [[nodiscard]] std::optional<std::string> Post(const std::string& url,
                                                  std::string_view body) noexcept;

    void Abort() noexcept { aborted_.store(true, std::memory_order_release); }
    void Resume() noexcept { aborted_.store(false, std::memory_order_release); }
    [[nodiscard]] bool Aborted() const noexcept { return aborted_.load(std::memory_order_acquire); }

  private:
    std::chrono::milliseconds timeout_;
    std::atomic<bool> aborted_{false};
};

}  // namespace koruvan::telemetry
