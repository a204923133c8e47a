// The upload thread and the reporting calls: events reach the receiver in batches, the stop
// at CloseEngineLog sends what is queued, and a server that hangs neither slows a reporter
// down nor holds the stop beyond its limit.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "StatisticsTestSupport.h"
#include "engine/core/base/KoruvanLog.h"
#include "support/StatisticsReceiver.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"
#include "telemetry/DataUpload.h"
#include "telemetry/EventReport.h"

namespace koruvan::telemetry {
namespace {

using Clock = std::chrono::steady_clock;
using test::DecodeForm;
using test::StatisticsReceiver;

constexpr const char* kBatchPath = "/launchersubmit/eventListSubmit";

bool ThreadNamed(const std::string& name) {
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
        if (test::ReadFile(task.path().string() + "/comm") == name + "\n") {
            return true;
        }
    }
    return false;
}

class DataUploadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(receiver_.Started());
        fixture_.Configure(test::StatisticsConfig({receiver_.Url(kBatchPath)}));
    }
    void TearDown() override { StopDataUpload(); }

    // Starts the upload with a period that never ends by itself: batches go out at the stop.
    bool Start(std::chrono::milliseconds period = std::chrono::hours(1),
               std::chrono::milliseconds stopLimit = std::chrono::seconds(6)) {
        UploadOptions options;
        options.statistics = &fixture_.statistics;
        options.period = period;
        options.stopLimit = stopLimit;
        return CollectDataUpload(fixture_.ConfigPath(), "78", "1.0.3.0", "v2.2.1.047", "1",
                                 options);
    }

    StatisticsReceiver receiver_;
    test::StatisticsFixture fixture_;
};

TEST(EventBody, FieldsInOrderWithIncreasesSinceTheLastNonZeroValue) {
    EventIncreases increases;
    const UploadIdentity identity{"78", "1.0.3.0", "v2.2.1.047", "1"};
    EventFields f;
    f.totalTime = 30;
    f.totalBytes = 1000;
    f.averageSpeed = 33;
    f.progress = "12.34%";
    f.httpTotalBytes = 600;
    f.p2pTotalBytes = 400;
    f.fileName = "data047.001.cab";
    f.errorMessage = "暂停 \"x\"";  // written as it is
    EXPECT_EQ(BuildEventBody(identity, f, increases),
              R"(,"DVersion":"1.8","GameID":"78","AppVersion":"1.0.3.0","GVersion":"v2.2.1.047",)"
              R"("Dchannel":"1","Serverip":"","Httpresult":"","Totaltime":"30","Intime":"30",)"
              R"("Totalbytes":"1000","Intotalbytes":"1000","Averagespeed":"33",)"
              R"("Progress":"12.34%","Httptotalbytes":"600","Inhttptotalbytes":"600",)"
              R"("Httpaveragespeed":"0","P2ptotalbytes":"400","Inp2ptotalbytes":"400",)"
              R"("P2paveragespeed":"0","Corruptpakid":"0","Filename":"data047.001.cab","Url":"",)"
              R"("Errormsg":"暂停 "x"")");
    const struct {
        std::uint64_t total;
        const char* increase;
    } steps[] = {{1500, "500"}, {1500, "0"}, {0, "0"}, {2000, "500"}, {1200, "0"}, {1300, "100"}};
    for (const auto& s : steps) {
        EXPECT_EQ(increases.TotalBytes(s.total), s.increase) << s.total;
    }
}

TEST_F(DataUploadTest, QueuedEventsGoOutWhenTheLogCloses) {
    ASSERT_TRUE(Start());
    // The kernel keeps 15 bytes of the name.
    EXPECT_TRUE(test::WaitFor([] { return ThreadNamed("CollectDataUplo"); }));
    EXPECT_EQ(MachineIdText(), "0x341134AB, 0x44897856");
    ReportEvent("11020000", "", "", 12, 1000, 83, "5.00%", 1000, 83, 0, 0, 0, "", "", "", 0);
    ReportFileEvent("11080000", "data047.001.cab", "");
    ReportSimpleEvent("11010000", "", kWantCpu);
    EXPECT_EQ(receiver_.Count(), 0u);  // the period has not passed
    engine::CloseEngineLog();
    EXPECT_FALSE(RunningUpload());
    ASSERT_EQ(receiver_.Count(), 1u);
    const std::string sent = DecodeForm(receiver_.Requests()[0].body);
    const std::size_t pause = sent.find(R"({"code":"11020000")");
    const std::size_t file = sent.find(R"({"code":"11080000")");
    const std::size_t begun = sent.find(R"({"code":"11010000")");
    ASSERT_NE(begun, std::string::npos) << sent;
    EXPECT_LT(pause, file);
    EXPECT_LT(file, begun);
    EXPECT_NE(sent.find(R"(\"Filename\":\"data047.001.cab\")", file), std::string::npos);
    EXPECT_NE(sent.find(R"({{\"CPU\":[)", begun), std::string::npos);  // flag 1
    // Nothing is taken once the thread is gone.
    ReportSimpleEvent("11030000", "", 0);
    EXPECT_FALSE(RunningUpload());
}

TEST_F(DataUploadTest, TheTwentyFirstEventOfOneWakeUpIsLost) {
    ASSERT_TRUE(Start());
    for (int i = 0; i < 21; ++i) {
        ReportSimpleEvent(i < 20 ? "11050000" : "11990501", std::to_string(i), 0);
    }
    StopDataUpload();
    ASSERT_EQ(receiver_.Count(), 1u);
    const std::string sent = DecodeForm(receiver_.Requests()[0].body);
    EXPECT_NE(sent.find(R"(\"Errormsg\":\"19\")"), std::string::npos);
    EXPECT_EQ(sent.find("11990501"), std::string::npos);
}

TEST_F(DataUploadTest, SendsEveryPeriodWithoutAStop) {
    ASSERT_TRUE(Start(std::chrono::milliseconds(50)));
    ReportSimpleEvent("11030000", "", 0);
    ASSERT_TRUE(receiver_.WaitForRequests(1));
    ReportSimpleEvent("11040000", "", 0);
    ASSERT_TRUE(receiver_.WaitForRequests(2));
    EXPECT_NE(DecodeForm(receiver_.Requests()[1].body).find("11040000"), std::string::npos);
}

TEST_F(DataUploadTest, AHangingServerDelaysNeitherReportsNorTheStop) {
    StatisticsReceiver hanging(StatisticsReceiver::Answer::Hang);
    fixture_.Configure(test::StatisticsConfig({hanging.Url(kBatchPath), hanging.Url(kBatchPath)}));
    ASSERT_TRUE(Start(std::chrono::milliseconds(50), std::chrono::milliseconds(500)));
    ReportSimpleEvent("11010000", "", 0);
    ASSERT_TRUE(hanging.WaitForRequests(1));  // the upload now waits for an answer (6 s)

    const auto reporting = Clock::now();
    for (int i = 0; i < 50; ++i) {
        ReportSimpleEvent("11050000", "", 0);
    }
    EXPECT_LT(Clock::now() - reporting, std::chrono::seconds(1));

    const auto stopping = Clock::now();
    StopDataUpload();
    // The limit (0.5 s), then the transfer under way ends within about a second; the second
    // URL and the queued events are given up.
    EXPECT_LT(Clock::now() - stopping, std::chrono::milliseconds(2500));
    EXPECT_EQ(hanging.Count(), 1u);
    EXPECT_EQ(receiver_.Count(), 0u);
}

TEST_F(DataUploadTest, NothingIsQueuedWithoutTheIdentityTexts) {
    UploadOptions options;
    options.statistics = &fixture_.statistics;
    options.period = std::chrono::hours(1);
    ASSERT_TRUE(CollectDataUpload(fixture_.ConfigPath(), "78", "", "v2.2.1.047", "1", options));
    EXPECT_FALSE(CollectDataUpload(fixture_.ConfigPath(), "78", "1", "v", "1", options));
    ReportSimpleEvent("11010000", "", 0);
    StopDataUpload();
    EXPECT_EQ(receiver_.Count(), 0u);
}

}  // namespace
}  // namespace koruvan::telemetry
