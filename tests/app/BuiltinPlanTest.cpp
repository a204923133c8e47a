#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "app/Base64.h"
#include "app/Deployment.h"
#include "app/Md5.h"
#include "app/PlanSource.h"
#include "app/StoredPlan.h"
#include "app/UrlText.h"

namespace koruvan::app {
namespace {

bool InReservedDomain(std::string_view host) {
    const std::string suffix = "." + std::string(deployment::kDomain);
    return host.size() > suffix.size() &&
           host.compare(host.size() - suffix.size(), suffix.size(), suffix) == 0;
}

TEST(BuiltinPlan, CarriesTheFiveFilesExactly) {
    const DownloadPlan plan = BuiltinPlan();
    const struct {
        const char* name;
        std::uint64_t size;
        const char* md5;
    } expected[kFileCount] = {
        {"vemo_setup_2.2.1.047.exe", 39714680, "bf20ec6ea8c684d53f4849109a955294"},
        {"data047.001.cab", 4222222222, "1c63f33827204b43dd876f723464edce"},
        {"data047.002.cab", 4222222222, "7549b18660d606e1b78e4ff6eda259c1"},
        {"data047.003.cab", 4222222222, "63389b4d918f232026e561539ebae619"},
        {"data047.004.cab", 1229830419, "e680368342c4a8b4b4c53cecd8316827"},
    };
    for (int i = 0; i < kFileCount; ++i) {
        const PlannedFile& file = plan.files[static_cast<std::size_t>(i)];
        EXPECT_EQ(file.name, expected[i].name);
        EXPECT_EQ(file.size, expected[i].size);
        EXPECT_EQ(file.md5, expected[i].md5);
        EXPECT_EQ(file.url,
                  "https://" + std::string(deployment::kCdnHost) + "/vemo047/" + file.name);
        EXPECT_FALSE(file.torrent) << "the built-in plan ships no torrents";
    }
    EXPECT_EQ(RequiredBytes(plan), 14041069365u);
    EXPECT_EQ(TaskIdentity(plan), "bf20ec6ea8c684d53f4849109a955294");
    EXPECT_EQ(InstallerName(plan), "vemo_setup_2.2.1.047.exe");
    const std::string service = "https://" + std::string(deployment::kDownloaderServiceHost);
    EXPECT_EQ(plan.secConfigUrl, service + std::string(deployment::kSecConfigPath));
    EXPECT_EQ(plan.resourceListUrl, service + std::string(deployment::kResourceListPath));
    EXPECT_EQ(deployment::kSecConfigPath, "/downloader/secres/vemo/vemo_sec.xml");
    EXPECT_EQ(deployment::kResourceListPath,
              "/downloader/secres/vemo/VemoResourceList20250711.xml");
}

// Nothing built in may point at a real server.
TEST(BuiltinPlan, EveryEndpointLiesInTheReservedDomain) {
    const DownloadPlan plan = BuiltinPlan();
    std::vector<std::string> urls = {plan.secConfigUrl, plan.resourceListUrl};
    for (const PlannedFile& file : plan.files) {
        urls.push_back(file.url);
    }
    const auto config = Base64Decode(*plan.telemetryConfig);
    ASSERT_TRUE(config);
    for (std::size_t at = config->find("http"); at != std::string::npos;
         at = config->find("http", at + 1)) {
        urls.push_back(config->substr(at, config->find('\n', at) - at));
    }
    for (const std::string& url : urls) {
        const auto parts = ParseWebUrl(url);
        ASSERT_TRUE(parts) << url;
        EXPECT_TRUE(InReservedDomain(parts->host)) << url;
    }
    for (const std::string_view host :
         {deployment::kCdnHost, deployment::kDownloaderServiceHost, deployment::kRendezvousHost,
          deployment::kStatisticsHost, deployment::kTrackerHosts[0], deployment::kTrackerHosts[1],
          deployment::kDhtBootstrapNodes[0].host, deployment::kDhtBootstrapNodes[1].host}) {
        EXPECT_TRUE(InReservedDomain(host)) << host;
    }
}

TEST(BuiltinPlan, EmbedsTheTelemetryConfigurationAsBase64Ini) {
    const DownloadPlan plan = BuiltinPlan();
    const auto duconf = FindResource(plan, kTelemetryResourceType, kTelemetryResourceId);
    ASSERT_TRUE(duconf);
    const auto text = Base64Decode(*duconf);
    ASSERT_TRUE(text);
    EXPECT_NE(text->find("[SubmitEventDownloadSeveral]"), std::string::npos);
    EXPECT_NE(text->find("InputDataKeyWord=DVersion;GameID;GVersion;AppVersion"),
              std::string::npos);
    EXPECT_NE(text->find("/launchersubmit/eventListSubmit"), std::string::npos);
    for (int id = kFirstTorrentResourceId; id < kFirstTorrentResourceId + kFileCount; ++id) {
        EXPECT_FALSE(FindResource(plan, kTorrentResourceType, id));
    }
    EXPECT_FALSE(FindResource(plan, kTorrentResourceType, 306));
    EXPECT_FALSE(FindResource(plan, "TORRENTS", 301));
}

TEST(BuiltinPlan, StoresItsTextsAsBase64InFixedSlots) {
    EXPECT_EQ(sizeof kBuiltinStoredPlan.fileNames[0], 4096u);
    EXPECT_STREQ(kBuiltinStoredPlan.fileNames[1], "ZGF0YTA0Ny4wMDEuY2Fi");  // data047.001.cab
    auto damaged = std::make_unique<StoredPlan>(kBuiltinStoredPlan);
    std::memset(damaged->fileUrls[2], 'A', kPlanSlotSize);  // no terminator
    EXPECT_FALSE(DecodeStoredPlan(*damaged));
    damaged = std::make_unique<StoredPlan>(kBuiltinStoredPlan);
    std::strcpy(damaged->fileNames[0], "*not base64*");
    EXPECT_FALSE(DecodeStoredPlan(*damaged));
}

TEST(PlanTexts, Base64RoundTripsAndRefusesWhatIsNotBase64) {
    using namespace std::string_literals;
    for (const std::string& bytes : {""s, "a"s, "ab"s, "abc"s, "abcd"s, "\xff\x00\x10 binary"s}) {
        EXPECT_EQ(Base64Decode(Base64Encode(bytes)), bytes);
    }
    EXPECT_EQ(Base64Encode("vemo"), "dmVtbw==");
    EXPECT_EQ(Base64Decode("dmVt\r\n bw=="), "vemo");  // line breaks inside XML texts
    EXPECT_EQ(Base64Decode("dmVtbw"), "vemo");         // padding left out
    EXPECT_FALSE(Base64Decode("dmVtbw=x"));
    EXPECT_FALSE(Base64Decode("dmVtb"));  // a dangling sextet
    EXPECT_FALSE(Base64Decode("dm*tbw=="));
    EXPECT_FALSE(Base64Decode("===="));
    EXPECT_EQ(Base64Decode(Base64Encode(std::string(4096, 'k')))->size(), 4096u);
    EXPECT_FALSE(Base64Decode(Base64Encode(std::string(4097, 'k'))));  // never cut short
}

TEST(PlanTexts, Md5IsLowerCaseHex) {
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("The quick brown fox jumps over the lazy dog"),
              "9e107d9d372bb6826bd81d3542a419d6");
    EXPECT_TRUE(IsMd5Hex("BF20ec6ea8c684d53f4849109a955294"));
    EXPECT_FALSE(IsMd5Hex("bf20ec6ea8c684d53f4849109a95529"));
    EXPECT_FALSE(IsMd5Hex("bf20ec6ea8c684d53f4849109a95529z"));
}

}  // namespace
}  // namespace koruvan::app
