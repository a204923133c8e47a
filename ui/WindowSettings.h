// Values the settings and close dialogs share with the main window for the life of the
// process, and the window messages through which the dialogs reach the main window (whose
// handlers call the controller: the dialogs never talk to it themselves).
#pragma once

#include <atomic>
#include <cstdint>

namespace koruvan::ui {

// Window messages (wParam in brackets).
inline constexpr std::uint32_t kSetSpeedLimitMessage = 0x464;   // limit in KB/s, 0: none
inline constexpr std::uint32_t kSetShutdownMessage = 0x465;     // 0
inline constexpr std::uint32_t kSetP2PMessage = 0x466;          // 0
inline constexpr std::uint32_t kSetCloseChoiceMessage = 0x40A;  // 1 tray, 2 exit

// Close choices.
inline constexpr int kCloseToTray = 1;
inline constexpr int kCloseExits = 2;

// The user's speed-limit range in KB/s, and the value the limit box opens with.
inline constexpr int kLowestSpeedLimit = 10;
inline constexpr int kHighestSpeedLimit = 30000;
inline constexpr int kDefaultSpeedLimit = 200;

struct WindowSettings {
    std::atomic<std::uint32_t> speedLimitKBps{0};  // 0: unlimited
    std::atomic<bool> shutdownAfterDownload{false};
    std::atomic<bool> p2p{true};
    std::atomic<int> lastCloseChoice{0};  // 0: none yet
};

// The process-wide values.
[[nodiscard]] WindowSettings& ProcessWindowSettings() noexcept;

// Back to the initial values (tests).
void ResetWindowSettings(WindowSettings& settings) noexcept;

}  // namespace koruvan::ui
