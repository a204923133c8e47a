// Usage events the controller reports (eight-digit codes such as "11400190", with a text and
// the name of the file concerned) go through this one interface, passed in, so that tests
// see every code, text and file name. The front ends choose the sink through TelemetryRoute
// (app/TelemetryRoute.h): to the telemetry upload, or nowhere when the user opted out.
// ProcessEventSink hands events to the process-wide route the engine's events take
// (engine/peers/UsageEvents.h).
//
// Most events carry a code, a text and a file name (Report). A few carry more: the session
// counters of a statistics event, or flags asking for hardware details; they are reported
// whole as a DetailedEvent (ReportDetailed), which a sink that keeps only the plain part
// passes on as a plain event.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/peers/UsageEvents.h"

namespace koruvan::app {

using engine::UsageEvent;

// Every value one event can carry, in the order the upload writes them.
struct DetailedEvent {
    std::string code;
    std::string serverIp;
    std::string httpResult;
    std::uint32_t totalSeconds = 0;
    std::uint64_t totalBytes = 0;
    std::uint64_t averageSpeed = 0;
    std::string progress;  // e.g. "12.34%"
    std::uint64_t httpBytes = 0;
    std::uint64_t httpAverageSpeed = 0;
    std::uint64_t p2pBytes = 0;
    std::uint64_t p2pAverageSpeed = 0;
    std::uint32_t corruptPackageId = 0;
    std::string fileName;
    std::string url;
    std::string errorMessage;  // the event's text
    int flags = 0;             // 1 CPU, 2 memory, 4 video card details wanted
};

class EventSink {
  public:
    virtual ~EventSink() = default;
    virtual void Report(const UsageEvent& event) noexcept = 0;
    // By default the plain part: code, text (the error message) and file name.
    virtual void ReportDetailed(const DetailedEvent& event) noexcept {
        try {
            Report(UsageEvent{event.code, event.errorMessage, event.fileName});
        } catch (...) {
        }
    }
};

class ProcessEventSink final : public EventSink {
  public:
    void Report(const UsageEvent& event) noexcept override {
        engine::ReportUsageEvent(event.code, event.text, event.fileName);
    }
};

// Reports one event; an event that cannot be built (out of memory) is dropped.
inline void ReportControllerEvent(EventSink& sink, std::string_view code, std::string_view text,
                                  std::string_view fileName = {}) noexcept {
    try {
        sink.Report(UsageEvent{std::string(code), std::string(text), std::string(fileName)});
    } catch (...) {
    }
}

}  // namespace koruvan::app
