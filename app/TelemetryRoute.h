// Where a front end's usage events go: to the telemetry upload (telemetry/DataUpload.h),
// or nowhere when the user opted out (`--no-telemetry`, or `[telemetry] enabled = 0` in the
// plan). The controller still reports through its EventSink; this object only chooses the
// sink, routes the engine's own events the same way, and fills the controller's telemetry
// start and machine-id hooks.
//
// With telemetry on, reporting never waits for the network: events are queued and the
// upload thread posts them. With it off, nothing is queued, the upload never starts and no
// machine identity is read.
#pragma once

#include "app/DownloadController.h"
#include "app/EventSink.h"

namespace koruvan::app {

// Forwards every event to the telemetry upload, which queues it when the upload runs.
class TelemetryEventSink final : public EventSink {
  public:
    void Report(const UsageEvent& event) noexcept override;
    void ReportDetailed(const DetailedEvent& event) noexcept override;
};

// Drops every event (the user's opt-out).
class SilentEventSink final : public EventSink {
  public:
    void Report(const UsageEvent&) noexcept override {}
    void ReportDetailed(const DetailedEvent&) noexcept override {}
};

class TelemetryRoute {
  public:
    // `enabled`: the plan allows telemetry and the user did not opt out. With telemetry on,
    // the engine's events (engine/peers/UsageEvents.h) go to the upload from here on.
    explicit TelemetryRoute(bool enabled);
    // Removes the engine's route again (when this object installed it).
    ~TelemetryRoute();
    TelemetryRoute(const TelemetryRoute&) = delete;
    TelemetryRoute& operator=(const TelemetryRoute&) = delete;

    [[nodiscard]] bool Enabled() const noexcept { return enabled_; }
    // The sink the controller reports to.
    [[nodiscard]] EventSink& Events() noexcept;
    // `environment` with the telemetry start (CollectDataUpload with the written
    // configuration) and the machine id of the notices; left alone when telemetry is off.
    [[nodiscard]] ControllerEnvironment Prepare(ControllerEnvironment environment) const;

  private:
    const bool enabled_;
    TelemetryEventSink upload_;
    SilentEventSink silent_;
};

}  // namespace koruvan::app
