#include "app/Resources.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "AppRecorders.h"
#include "app/Base64.h"
#include "support/TempDir.h"

namespace koruvan::app {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

class ResourcesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        plan_.telemetryConfig = Base64Encode(kIni);
        plan_.files[2].torrent = std::string("d4:infod6:lengthi3eee");
        plan_.files[2].md5 = "7549b18660d606e1b78e4ff6eda259c1";
        // A file where a folder should be: no folder can be made there, whoever runs this.
        WriteFile(dir_.File("blocked"), "x");
    }

    static constexpr const char* kIni = "[SubmitEventDownload]\nSubmitUrl=http://127.0.0.1:1/s\n";
    test::LogRecorder log_;
    TempDir dir_;
    DownloadPlan plan_;
};

TEST_F(ResourcesTest, WritesIntoTheFolderCreatingItLevelByLevel) {
    const std::string folder = dir_.File("data/Lindqvar/Koruvan");
    const ReleasedResource torrent =
        ReleaseResource(plan_, 303, folder, plan_.files[2].md5, "TORRENT", false, dir_.File("tmp"));
    EXPECT_EQ(torrent.result, kReleasedIntoFolder);
    EXPECT_EQ(torrent.path, folder + "/7549b18660d606e1b78e4ff6eda259c1");
    EXPECT_EQ(ReadFile(torrent.path), "d4:infod6:lengthi3eee");

    const ReleasedResource config = ReleaseResource(plan_, 181, folder + "/", "dataupload.kvconf",
                                                    "DUCONF", true, dir_.File("tmp"));
    EXPECT_EQ(config.result, kReleasedIntoFolder);
    EXPECT_EQ(config.path, folder + "/dataupload.kvconf");  // no doubled separator
    EXPECT_EQ(ReadFile(config.path), kIni);
    EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(ResourcesTest, FallsBackToTheTemporaryFolderThenGivesUp) {
    const std::string blocked = dir_.File("blocked/data");
    const ReleasedResource second =
        ReleaseResource(plan_, 181, blocked, "dataupload.kvconf", "DUCONF", true, dir_.File("tmp"));
    EXPECT_EQ(second.result, kReleasedIntoTemp);
    EXPECT_EQ(second.path, dir_.File("tmp/dataupload.kvconf"));
    EXPECT_EQ(ReadFile(second.path), kIni);
    EXPECT_TRUE(
        log_.Has("Koruvan UI : 释放文件(path=" + blocked + "/dataupload.kvconf)第一次失败"));

    const ReleasedResource none =
        ReleaseResource(plan_, 181, blocked, "x.kvconf", "DUCONF", true, dir_.File("blocked/tmp"));
    EXPECT_EQ(none.result, kReleaseFailed);
    EXPECT_EQ(none.path, "");
    EXPECT_TRUE(log_.Has("Koruvan UI : 初始化失败，释放文件(path=" + dir_.File("blocked/tmp") +
                         "/x.kvconf)第二次失败"));
}

TEST_F(ResourcesTest, AResourceThePlanLacksOrThatDoesNotDecodeIsNeverWritten) {
    EXPECT_EQ(ReleaseResource(plan_, 301, dir_.Path(), "t", "TORRENT", false, dir_.Path()).result,
              kReleaseFailed);
    plan_.telemetryConfig = "%%% not base64";
    EXPECT_EQ(ReleaseResource(plan_, 181, dir_.Path(), "c", "DUCONF", true, dir_.Path()).result,
              kReleaseFailed);
    EXPECT_FALSE(std::filesystem::exists(dir_.File("t")));
    EXPECT_FALSE(std::filesystem::exists(dir_.File("c")));
}

TEST_F(ResourcesTest, TelemetryBootstrapFailureIsLoggedAndReported) {
    test::RecordingEvents events;
    const auto path = WriteTelemetryConfig(plan_, dir_.File("data"), events, dir_.File("tmp"));
    ASSERT_TRUE(path);
    EXPECT_EQ(ReadFile(*path), kIni);
    EXPECT_TRUE(events.events.empty());

    plan_.telemetryConfig.reset();
    EXPECT_FALSE(WriteTelemetryConfig(plan_, dir_.File("data"), events, dir_.File("tmp")));
    ASSERT_EQ(events.events.size(), 1u);
    EXPECT_EQ(events.events[0].code, "11400190");
    EXPECT_EQ(events.events[0].text, "KVconf资源释放失败");
    EXPECT_TRUE(log_.Has("KVconf资源释放失败"));
}

TEST(TelemetryStart, TextsInTheirOrder) {
    const TelemetryStartTexts texts = TelemetryTexts();
    EXPECT_EQ(texts.gameId, "78");
    EXPECT_EQ(texts.gameVersion, "v2.2.1.047");
    EXPECT_EQ(texts.channel, "1");
    EXPECT_TRUE(std::regex_match(texts.applicationVersion, std::regex(R"(\d+\.\d+\.\d+\.\d+)")))
        << texts.applicationVersion;
}

}  // namespace
}  // namespace koruvan::app
