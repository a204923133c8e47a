#include "ui/WindowSettings.h"

namespace koruvan::ui {

WindowSettings& ProcessWindowSettings() noexcept {
    static WindowSettings settings;
    return settings;
}

void ResetWindowSettings(WindowSettings& settings) noexcept {
    settings.speedLimitKBps = 0;
    settings.shutdownAfterDownload = false;
    settings.p2p = true;
    settings.lastCloseChoice = 0;
}

}  // namespace koruvan::ui
