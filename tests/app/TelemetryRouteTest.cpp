// The front ends' telemetry route: with telemetry on, the controller's and the engine's
// events reach the upload and the controller gets its start and machine-id hooks; opted
// out, nothing is queued even while an upload runs.
#include <gtest/gtest.h>

#include "app/TelemetryRoute.h"
#include "engine/peers/UsageEvents.h"
#include "support/StatisticsReceiver.h"
#include "support/TempDir.h"
#include "telemetry/DataUpload.h"

namespace koruvan::app {
namespace {

class TelemetryRouteTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(receiver_.Started());
        test::WriteFile(dir_.File("upload.kvconf"),
                        "[SubmitEventDownload]\nInputDataKeyWord=DVersion;GameID\n"
                        "[SubmitEventDownloadSeveral]\nSubmitUrl=" +
                            receiver_.Url("/batch") + "\n");
    }
    void TearDown() override { telemetry::StopDataUpload(); }

    // Starts the upload as the controller would, through the route's hook.
    void StartThrough(const TelemetryRoute& route) {
        const ControllerEnvironment environment = route.Prepare({});
        ASSERT_TRUE(environment.startTelemetry);
        environment.startTelemetry(dir_.File("upload.kvconf"), TelemetryTexts());
        ASSERT_TRUE(telemetry::RunningUpload());
        ASSERT_TRUE(environment.machineId);
        EXPECT_EQ(environment.machineId()->size(), 22u);  // "0x…, 0x…"
    }

    test::StatisticsReceiver receiver_;
    test::TempDir dir_;
};

TEST_F(TelemetryRouteTest, ControllerAndEngineEventsReachTheUpload) {
    TelemetryRoute route(true);
    StartThrough(route);
    ReportControllerEvent(route.Events(), "11080000", "", "data047.001.cab");
    DetailedEvent paused;
    paused.code = "11020000";
    paused.totalBytes = 4096;
    route.Events().ReportDetailed(paused);
    engine::ReportUsageEvent("11500106", "ErrCode : (3) Host : (x) , no DNS");
    telemetry::StopDataUpload();
    ASSERT_EQ(receiver_.Count(), 1u);
    const std::string body = receiver_.Requests()[0].body;
    for (const char* code : {"11080000", "11020000", "11500106"}) {
        EXPECT_NE(body.find(code), std::string::npos) << code;
    }
    EXPECT_NE(body.find("Totalbytes%5C%22%3A%5C%224096"), std::string::npos);
}

TEST_F(TelemetryRouteTest, OptedOutNothingIsQueuedOrStarted) {
    TelemetryRoute route(false);
    const ControllerEnvironment environment = route.Prepare({});
    EXPECT_FALSE(environment.startTelemetry);
    EXPECT_FALSE(environment.machineId);
    {
        // Even with an upload running (started by someone else), the route drops events.
        TelemetryRoute other(true);
        StartThrough(other);
    }
    ReportControllerEvent(route.Events(), "11010000", "");
    DetailedEvent paused;
    paused.code = "11020000";
    route.Events().ReportDetailed(paused);
    engine::ReportUsageEvent("11500106", "x");  // no engine route either
    telemetry::StopDataUpload();
    EXPECT_EQ(receiver_.Count(), 0u);
}

}  // namespace
}  // namespace koruvan::app
