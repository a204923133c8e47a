// The statistics component against a real HTTP receiver on 127.0.0.1: the exact POST
// bodies, batches of 20, the refusals, the submit key-word check and the URL fallback.
#include <gtest/gtest.h>

#include "StatisticsTestSupport.h"
#include "support/StatisticsReceiver.h"

namespace koruvan::telemetry {
namespace {

using test::DecodeForm;
using test::StatisticsConfig;
using test::StatisticsReceiver;

constexpr const char* kBatchPath = "/launchersubmit/eventListSubmit";
constexpr const char* kBody =
    R"(,"DVersion":"1.8","GameID":"78","AppVersion":"1.0.3.0","GVersion":"v2.2.1.047")"
    R"(,"Errormsg":"下载 完成")";

std::size_t Elements(const std::string& decoded) {
    std::size_t n = 0;
    for (std::size_t at = decoded.find("{\"code\":"); at != std::string::npos;
         at = decoded.find("{\"code\":", at + 1)) {
        ++n;
    }
    return n;
}

class StatisticsBatchTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(receiver_.Started()); }

    StatisticsReceiver receiver_;
    test::StatisticsFixture fixture_{std::chrono::milliseconds(500)};
    CDataStatisticsImp& statistics_ = fixture_.statistics;
};

TEST_F(StatisticsBatchTest, PostsTheFormEncodedBatchByteForByte) {
    fixture_.Configure(StatisticsConfig({receiver_.Url(kBatchPath)}));
    ASSERT_EQ(statistics_.AddEvent("11010000", kBody, 0), kStatOk);
    ASSERT_EQ(statistics_.AddEvent("11080000",
                                   ",\"DVersion\":\"1.8\",\"GameID\":\"78\","
                                   "\"AppVersion\":\"a\",\"GVersion\":\"g\"",
                                   kWantMemory),
              kStatOk);
    EXPECT_EQ(statistics_.SubmitEventBatch(), kStatOk);

    const auto requests = receiver_.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, kBatchPath);
    const std::string& body = requests[0].body;
    // [{"code":"11010000","info":"{{\"Mac\":\"00-11-…
    EXPECT_EQ(body.rfind("data=%5B%7B%22code%22%3A%2211010000%22%2C%22info%22%3A%22%7B%7B%5C%22Mac"
                         "%5C%22%3A%5C%2200%2D11%2D22%2D33%2D44%2D55%3B66%2D77",
                         0),
              0u)
        << body;
    EXPECT_NE(body.find("%E4%B8%8B%E8%BD%BD_%E5%AE%8C%E6%88%90"), std::string::npos);  // 下载 完成
    EXPECT_EQ(body.substr(body.size() - 9), "%7D%5D%0A");                              // ...}]\n
    EXPECT_EQ(
        DecodeForm(body),
        R"([{"code":"11010000","info":"{{\"Mac\":\"00-11-22-33-44-55;66-77-88-99-aa-bb\",)"
        R"(\"MachId\":\"341134AB44897856\",\"OS\":\"610642\",\"Sequence\":0,)"
        R"(\"Sessionid\":\"0000BEEF\"}\n,\"DVersion\":\"1.8\",\"GameID\":\"78\",)"
        R"(\"AppVersion\":\"1.0.3.0\",\"GVersion\":\"v2.2.1.047\",\"Errormsg\":\"下载 完成\"}"},)"
        R"({"code":"11080000","info":"{{\"Mac\":\"00-11-22-33-44-55;66-77-88-99-aa-bb\",)"
        R"(\"MachId\":\"341134AB44897856\",\"Memory\":{},\"OS\":\"610642\",\"Sequence\":1,)"
        R"(\"Sessionid\":\"0000BEEF\"}\n,\"DVersion\":\"1.8\",\"GameID\":\"78\",)"
        R"(\"AppVersion\":\"a\",\"GVersion\":\"g\"}"}])"
        "\n");
}

TEST_F(StatisticsBatchTest, TwentyEventsPerBatchTheTwentyFirstIsRefused) {
    fixture_.Configure(StatisticsConfig({receiver_.Url(kBatchPath)}));
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(statistics_.AddEvent("11050000", kBody, 0), kStatOk) << i;
    }
    EXPECT_EQ(statistics_.AddEvent("11060000", kBody, 0), kStatBatchFull);
    EXPECT_EQ(statistics_.SubmitEventBatch(), kStatOk);
    // After a submission the count starts again; the sequence goes on.
    EXPECT_EQ(statistics_.AddEvent("11070000", kBody, 0), kStatOk);
    EXPECT_EQ(statistics_.SubmitEventBatch(), kStatOk);

    const auto requests = receiver_.Requests();
    ASSERT_EQ(requests.size(), 2u);
    const std::string first = DecodeForm(requests[0].body);
    EXPECT_EQ(Elements(first), 20u);
    EXPECT_EQ(first.find("11060000"), std::string::npos);
    EXPECT_NE(first.find(R"(\"Sequence\":19,)"), std::string::npos);
    const std::string second = DecodeForm(requests[1].body);
    EXPECT_EQ(Elements(second), 1u);
    EXPECT_NE(second.find(R"(\"Sequence\":20,)"), std::string::npos);
}

TEST_F(StatisticsBatchTest, RefusedEventsAreNeverSent) {
    fixture_.Configure(StatisticsConfig({receiver_.Url(kBatchPath)}));
    EXPECT_EQ(statistics_.SubmitEventBatch(), kStatNothing);  // nothing queued
    EXPECT_EQ(
        statistics_.AddEvent("11010000", R"(,"DVersion":"1.8","GameID":"78","AppVersion":"a")", 0),
        kStatInputKeyMissing);  // no GVersion
    EXPECT_EQ(statistics_.AddEvent("", kBody, 0), kStatNothing);
    EXPECT_EQ(statistics_.AddEvent("11020000", kBody, 0), kStatOk);
    EXPECT_EQ(statistics_.SubmitEventBatch(), kStatOk);
    ASSERT_EQ(receiver_.Count(), 1u);
    const std::string sent = DecodeForm(receiver_.Requests()[0].body);
    EXPECT_EQ(Elements(sent), 1u);
    EXPECT_NE(sent.find("11020000"), std::string::npos);

    test::StatisticsFixture unconfigured;
    unconfigured.statistics.SetConfigPath(unconfigured.ConfigPath().c_str());  // no such file
    EXPECT_EQ(unconfigured.statistics.AddEvent("11020000", kBody, 0), kStatConfigMissing);
}

TEST_F(StatisticsBatchTest, AMissingSubmitKeyWordNullsTheEventButTheBatchGoesOut) {
    fixture_.Configure(StatisticsConfig({receiver_.Url(kBatchPath)}, "", "MachId;Nowhere"));
    ASSERT_EQ(statistics_.AddEvent("11010000", kBody, 0), kStatOk);
    ASSERT_EQ(statistics_.AddEvent("11020000", kBody, 0), kStatOk);
    EXPECT_EQ(statistics_.SubmitEventBatch(), kStatOk);
    ASSERT_EQ(receiver_.Count(), 1u);
    EXPECT_EQ(receiver_.Requests()[0].body, "data=%5Bnull%2Cnull%5D%0A");
}

TEST_F(StatisticsBatchTest, FurtherUrlsAreTriedUntilOneAccepts) {
    StatisticsReceiver failing(StatisticsReceiver::Answer::ServerError);
    StatisticsReceiver refusing(StatisticsReceiver::Answer::Refuse);
    StatisticsReceiver hanging(StatisticsReceiver::Answer::Hang);
    fixture_.Configure(StatisticsConfig({failing.Url(kBatchPath), refusing.Url(kBatchPath),
                                         hanging.Url(kBatchPath), receiver_.Url(kBatchPath)}));
    ASSERT_EQ(statistics_.AddEvent("11010000", kBody, 0), kStatOk);
    EXPECT_EQ(statistics_.SubmitEventBatch(), kStatOk);
    for (const StatisticsReceiver* r : {&failing, &refusing, &hanging, &receiver_}) {
        ASSERT_EQ(r->Count(), 1u);
        EXPECT_EQ(r->Requests()[0].body, receiver_.Requests()[0].body);
    }
    // No URL accepting: the batch is dropped.
    fixture_.Configure(StatisticsConfig({failing.Url(kBatchPath), refusing.Url(kBatchPath)}));
    ASSERT_EQ(statistics_.AddEvent("11020000", kBody, 0), kStatOk);
    EXPECT_EQ(statistics_.SubmitEventBatch(), kStatNothing);
    EXPECT_EQ(statistics_.SubmitEventBatch(), kStatNothing);
    EXPECT_EQ(failing.Count(), 2u);
}

TEST_F(StatisticsBatchTest, NothingIsSentWithoutABatchUrl) {
    // Only the single-event endpoint is configured; batches have nowhere to go.
    fixture_.Configure(StatisticsConfig({}, receiver_.Url("/launchersubmit/eventInfoSubmit")));
    ASSERT_EQ(statistics_.AddEvent("11010000", kBody, 0), kStatOk);
    EXPECT_EQ(statistics_.SubmitEventBatch(), kStatNothing);
    EXPECT_EQ(statistics_.SubmitEventBatch(), kStatNothing);  // dropped, not kept
    EXPECT_EQ(receiver_.Count(), 0u);
}

TEST_F(StatisticsBatchTest, SingleEventsGoToTheSingleEventUrl) {
    const std::string single = "/launchersubmit/eventInfoSubmit";
    fixture_.Configure(StatisticsConfig({}, receiver_.Url(single)));
    EXPECT_EQ(statistics_.SubmitDownloadEventW(u"11010000",
                                               u",\"DVersion\":\"1.8\",\"GameID\":"
                                               u"\"78\",\"GVersion\":\"g\","
                                               u"\"AppVersion\":\"下载\"",
                                               0),
              kStatOk);
    ASSERT_EQ(receiver_.Count(), 1u);
    EXPECT_EQ(receiver_.Requests()[0].path, single);
    const std::string sent = DecodeForm(receiver_.Requests()[0].body);
    EXPECT_EQ(sent.rfind(R"({"code":"11010000","info":"{{\"Mac\")", 0), 0u) << sent;
    EXPECT_NE(sent.find(R"(\"AppVersion\":\"下载\"}"})"), std::string::npos) << sent;

    fixture_.Configure(StatisticsConfig({}, receiver_.Url(single), "Nowhere"));
    EXPECT_EQ(statistics_.SubmitDownloadEvent("11010000", kBody, 0), kStatSubmitKeyMissing);
    EXPECT_EQ(receiver_.Count(), 1u);
}

}  // namespace
}  // namespace koruvan::telemetry
