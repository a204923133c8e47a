// Usage events raised by the connection layer (the DNS diagnostic, for now). The event queue
// and its upload live above the engine; until one is installed, events go nowhere. Tests
// install a recorder to see every code, text and file name.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace koruvan::engine {

struct UsageEvent {
    std::string code;  // eight decimal digits, e.g. "11500106"
    std::string text;
    std::string fileName;
};

using UsageEventSink = std::function<void(const UsageEvent&)>;

// Installs the receiver of usage events (empty removes it). Thread-safe; a report already
// under way when the sink is replaced still finishes on the previous one.
void SetUsageEventSink(UsageEventSink sink);

// Hands one event to the installed sink; does nothing without one. Never throws.
void ReportUsageEvent(std::string_view code, std::string_view text,
                      std::string_view fileName = {}) noexcept;

}  // namespace koruvan::engine
