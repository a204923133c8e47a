#include "app/TelemetryRoute.h"

#include "engine/peers/UsageEvents.h"
#include "telemetry/DataUpload.h"
#include "telemetry/EventReport.h"

namespace koruvan::app {

void TelemetryEventSink::Report(const UsageEvent& event) noexcept {
    telemetry::ReportFileEvent(event.code, event.fileName, event.text);
}

void TelemetryEventSink::ReportDetailed(const DetailedEvent& e) noexcept {
    telemetry::ReportEvent(e.code, e.serverIp, e.httpResult, e.totalSeconds, e.totalBytes,
                           e.averageSpeed, e.progress, e.httpBytes, e.httpAverageSpeed, e.p2pBytes,
                           e.p2pAverageSpeed, e.corruptPackageId, e.fileName, e.url, e.errorMessage,
                           e.flags);
}

TelemetryRoute::TelemetryRoute(bool enabled) : enabled_(enabled) {
    if (enabled_) {
        engine::SetUsageEventSink([](const UsageEvent& event) {
            telemetry::ReportFileEvent(event.code, event.fileName, event.text);
        });
    }
}

TelemetryRoute::~TelemetryRoute() {
    if (enabled_) {
        engine::SetUsageEventSink(nullptr);
    }
}

EventSink& TelemetryRoute::Events() noexcept {
    return enabled_ ? static_cast<EventSink&>(upload_) : static_cast<EventSink&>(silent_);
}

ControllerEnvironment TelemetryRoute::Prepare(ControllerEnvironment environment) const {
    if (!enabled_) {
        return environment;
    }
    environment.startTelemetry = [](const std::string& configPath,
                                    const TelemetryStartTexts& texts) {
        (void)telemetry::CollectDataUpload(configPath, texts.gameId, texts.applicationVersion,
                                           texts.gameVersion, texts.channel);
    };
    environment.machineId = []() -> std::optional<std::string> {
        std::string text = telemetry::MachineIdText();
        if (text.empty()) {
            return std::nullopt;
        }
        return text;
    };
    return environment;
}

}  // namespace koruvan::app
