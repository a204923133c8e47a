// Usage events the controller reports (eight-digit codes such as "11400190", with a text and
// the name of the file concerned) go through this one interface, passed in, so that tests
// see every code, text and file name. The program uses ProcessEventSink, which hands them
// to the process-wide route the engine's events take (engine/peers/UsageEvents.h).
#pragma once

#include <string_view>

#include "engine/peers/UsageEvents.h"

namespace koruvan::app {

using engine::UsageEvent;

class EventSink {
  public:
    virtual ~EventSink() = default;
    virtual void Report(const UsageEvent& event) noexcept = 0;
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
