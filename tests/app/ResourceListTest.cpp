#include "app/ResourceList.h"

#include <gtest/gtest.h>

#include "AppRecorders.h"

namespace koruvan::app {
namespace {

DownloadPlan TestPlan() {
    DownloadPlan plan;
    for (int i = 0; i < kFileCount; ++i) {
        PlannedFile& f = plan.files[static_cast<std::size_t>(i)];
        f.name = "data" + std::to_string(i) + ".cab";
        f.url = "https://cdn.koruvan.example/vemo047/" + f.name;
    }
    return plan;
}

std::string Cdn(const std::string& attributes, const std::string& ips) {
    return "<cdn id=\"7\" name=\"edge\" middle-dir=\"/vemo047/\" " + attributes + ">" + ips +
           "</cdn>";
}

std::string Resource(int file, const std::string& cdns, const std::string& id = "id=\"1\" ") {
    return "<resource " + id + "task=\"https://cdn.koruvan.example/vemo047/data" +
           std::to_string(file) + ".cab\">" + cdns + "</resource>";
}

std::string List(const std::string& resources, const std::string& p2p = "on") {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><project><configs><p2p-switch>" + p2p +
           "</p2p-switch></configs><resources>" + resources + "</resources></project>";
}

std::string OpenCdn(int file, const std::string& ips, const std::string& extra = "") {
    return Cdn("file-name=\"data" + std::to_string(file) + ".cab\" open=\"true\" " + extra, ips);
}

class ResourceListTest : public ::testing::Test {
  protected:
    int Apply(const std::string& xml) { return ApplyResourceList(xml, plan_, target_); }

    test::LogRecorder log_;
    DownloadPlan plan_ = TestPlan();
    test::RecordingTarget target_;
};

TEST_F(ResourceListTest, OnlyLowerCaseOnSwitchesP2POn) {
    const std::string resources = Resource(1, OpenCdn(1, "<ip>192.0.2.1</ip>"));
    EXPECT_EQ(Apply(List(resources, "on")), kRefreshHandedOver);
    EXPECT_EQ(Apply(List(resources, "ON")), kRefreshHandedOver);
    EXPECT_EQ(Apply(List(resources, " on")), kRefreshHandedOver);
    EXPECT_EQ(target_.p2p, (std::vector<bool>{true, false, false}));
    EXPECT_TRUE(log_.Has("启用P2P功能"));
    EXPECT_TRUE(log_.Has("禁用P2P功能"));
}

TEST_F(ResourceListTest, WithoutTheSwitchOrTheRightRootNothingIsApplied) {
    const std::string resources = Resource(1, OpenCdn(1, "<ip>192.0.2.1</ip>"));
    EXPECT_EQ(Apply("<project><resources>" + resources + "</resources></project>"),
              kRefreshUnusable);
    EXPECT_EQ(Apply("<list><configs><p2p-switch>on</p2p-switch></configs></list>"),
              kRefreshUnusable);
    EXPECT_EQ(Apply("<project><configs><p2p-switch>on</p2p-switch></configs>"), kRefreshUnusable);
    EXPECT_TRUE(target_.p2p.empty());
    EXPECT_TRUE(target_.handed.empty());
    // A switch without resources applies the switch and names no source.
    EXPECT_EQ(Apply(List("")), kRefreshUnusable);
    EXPECT_EQ(target_.p2p, std::vector<bool>{true});
}

TEST_F(ResourceListTest, EveryIpOfAnOpenCdnBecomesOneSourceHandedOverTogether) {
    const std::string xml = List(
        Resource(
            2, OpenCdn(2, "<ip>192.0.2.1</ip><ip> 192.0.2.2:8443 </ip><ip/><ip>[2001:db8::1]</ip>",
                       "host-name=\"cdn.koruvan.example\"") +
                   OpenCdn(2, "<ip>198.51.100.9</ip>")) +
        Resource(4, OpenCdn(4, "<ip>203.0.113.4</ip>")));
    EXPECT_EQ(Apply(xml), kRefreshHandedOver);
    ASSERT_EQ(target_.handed.size(), 2u);
    EXPECT_EQ(target_.handed[0].first, 2);
    EXPECT_EQ(target_.handed[0].second,
              (std::vector<SourceOffer>{
                  {"https://192.0.2.1/vemo047/data2.cab", "cdn.koruvan.example"},
                  {"https://192.0.2.2:8443/vemo047/data2.cab", "cdn.koruvan.example"},
                  {"https://[2001:db8::1]/vemo047/data2.cab", "cdn.koruvan.example"},
                  {"https://198.51.100.9/vemo047/data2.cab", "null"}}));
    EXPECT_EQ(target_.handed[1].first, 4);
}

TEST_F(ResourceListTest, OpenMustBeTrueByTheBooleanRule) {
    const struct {
        const char* attribute;
        bool used;
    } cases[] = {{"", false},
                 {"open=\"no\"", false},
                 {"open=\"0\"", false},
                 {"open=\"2\"", false},
                 {"open=\"\"", false},
                 {"open=\"1\"", true},
                 {"open=\"YES\"", true},
                 {"open=\"True\"", true}};
    for (const auto& c : cases) {
        target_.handed.clear();
        const std::string cdn =
            Cdn("file-name=\"data1.cab\" " + std::string(c.attribute), "<ip>192.0.2.1</ip>");
        EXPECT_EQ(Apply(List(Resource(1, cdn))), c.used ? kRefreshHandedOver : kRefreshUnusable)
            << c.attribute;
        EXPECT_EQ(target_.handed.size(), c.used ? 1u : 0u) << c.attribute;
    }
}

TEST_F(ResourceListTest, AResourceWithoutIdEndsTheScan) {
    const std::string xml = List(Resource(1, OpenCdn(1, "<ip>192.0.2.1</ip>")) +
                                 Resource(2, OpenCdn(2, "<ip>192.0.2.2</ip>"), "") +
                                 Resource(3, OpenCdn(3, "<ip>192.0.2.3</ip>")));
    EXPECT_EQ(Apply(xml), kRefreshHandedOver);
    ASSERT_EQ(target_.handed.size(), 1u);
    EXPECT_EQ(target_.handed[0].first, 1);
    target_.handed.clear();
    EXPECT_EQ(Apply(List(Resource(2, OpenCdn(2, "<ip>192.0.2.2</ip>"), "id=\"\" ") +
                         Resource(3, OpenCdn(3, "<ip>192.0.2.3</ip>")))),
              kRefreshUnusable);
    // Another element ends the run of resources too; comments do not.
    EXPECT_EQ(Apply(List("<!-- x -->" + Resource(1, OpenCdn(1, "<ip>192.0.2.1</ip>")) + "<other/>" +
                         Resource(3, OpenCdn(3, "<ip>192.0.2.3</ip>")))),
              kRefreshHandedOver);
    ASSERT_EQ(target_.handed.size(), 1u);
    EXPECT_EQ(target_.handed[0].first, 1);
}

TEST_F(ResourceListTest, TasksMatchThePlanUrlExactlyAndFinishedFilesAreSkipped) {
    const std::string byName =
        "<resource id=\"1\" task=\"data1.cab\">" + OpenCdn(1, "<ip>192.0.2.1</ip>") + "</resource>";
    const std::string byCase =
        "<resource id=\"2\" task=\"HTTPS://cdn.koruvan.example/vemo047/data1.cab\">" +
        OpenCdn(1, "<ip>192.0.2.1</ip>") + "</resource>";
    EXPECT_EQ(Apply(List(byName + byCase)), kRefreshUnusable);
    target_.unwanted = {3};
    EXPECT_EQ(Apply(List(Resource(3, OpenCdn(3, "<ip>192.0.2.3</ip>")))), kRefreshUnusable);
    EXPECT_TRUE(target_.handed.empty());
}

TEST_F(ResourceListTest, IncompleteCdnsAndUnsafeSourcesGiveNothing) {
    const std::string noName =
        "<cdn id=\"7\" middle-dir=\"/vemo047/\" file-name=\"data1.cab\" "
        "open=\"1\"><ip>192.0.2.1</ip></cdn>";
    const std::string noSlash =
        "<cdn id=\"7\" name=\"e\" middle-dir=\"vemo047/\" file-name=\"data1.cab\" "
        "open=\"1\"><ip>192.0.2.1</ip></cdn>";
    const std::string injected = OpenCdn(1, "<ip>192.0.2.1/x y</ip><ip>192.0.2.1\nGET /</ip>");
    const std::string badHost = OpenCdn(1, "<ip>192.0.2.1</ip>", "host-name=\"a b\"");
    EXPECT_EQ(Apply(List(Resource(1, noName + noSlash + injected + badHost))), kRefreshUnusable);
    EXPECT_TRUE(target_.handed.empty());
    EXPECT_TRUE(log_.Has("resource list: unusable source of cdn 7"));
    EXPECT_TRUE(log_.Has("resource list: unusable host-name of cdn 7"));
}

TEST_F(ResourceListTest, ARefusedHandOverCountsAsNoSource) {
    target_.result = -106;
    EXPECT_EQ(Apply(List(Resource(1, OpenCdn(1, "<ip>192.0.2.1</ip>")))), kRefreshUnusable);
    EXPECT_EQ(target_.handed.size(), 1u);
}

TEST(ExpiryDocument, ExpiredOnlyWhenTheTextIsExactlyTrue) {
    const auto doc = [](const std::string& info) {
        return "<anything><configs><expire-info>" + info + "</expire-info></configs></anything>";
    };
    const auto notice =
        ReadExpiry(doc("<expired>true</expired><message>请更新下载器</message><url>https://"
                       "www.koruvan.example/new</url>"));
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->message, "请更新下载器");
    EXPECT_EQ(notice->url, "https://www.koruvan.example/new");
    EXPECT_FALSE(ReadExpiry(doc("<expired>True</expired><message>m</message>")));
    EXPECT_FALSE(ReadExpiry(doc("<expired/><message>m</message>")));
    EXPECT_FALSE(ReadExpiry(doc("<message>m</message>")));
    EXPECT_FALSE(ReadExpiry("<project><configs/></project>"));
    EXPECT_FALSE(ReadExpiry("garbage"));
    const auto bare = ReadExpiry(doc("<expired>true</expired>"));
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->message, "");
    EXPECT_EQ(bare->url, "");
}

TEST(ExpiryDocument, TextsAreBoundedAndOnlyWebPagesAreOpened) {
    std::string message;
    while (message.size() < 5000) {
        message += "过期";  // three bytes per character: the cut falls inside one
    }
    const auto notice =
        ReadExpiry("<p><configs><expire-info><expired>true</expired><message>" + message +
                   "</message><url>file:///usr/bin/xterm</url></expire-info></configs></p>");
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->message.size(), 4095u - 4095u % 3);
    EXPECT_EQ(notice->message, message.substr(0, notice->message.size()));
    EXPECT_EQ(notice->url, "");
}

}  // namespace
}  // namespace koruvan::app
