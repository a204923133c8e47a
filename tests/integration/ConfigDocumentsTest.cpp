// The two configuration documents fetched from nginx on loopback: the fetch itself, the sec
// configuration, the expiry check and the resource-list refresh down to the engine's tasks.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "app/AppRecorders.h"
#include "app/Base64.h"
#include "app/DocumentFetch.h"
#include "app/PlanSource.h"
#include "app/ResourceList.h"
#include "app/SecConfig.h"
#include "app/UrlSigning.h"
#include "app/XmlText.h"
#include "engine/core/base/SecConfigHook.h"
#include "support/LocalServer.h"
#include "support/TempDir.h"

namespace koruvan::app {
namespace {

using test::TempDir;
using test::WriteFile;

constexpr const char* kSecPath = "/downloader/secres/vemo/vemo_sec.xml";
constexpr const char* kListPath = "/downloader/secres/vemo/VemoResourceList20250711.xml";

// A port that accepts connections and never answers: nothing ever calls accept().
class SilentListener {
  public:
    SilentListener() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            listen(fd_, 4) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port_ = ntohs(address.sin_port);
        }
    }
    ~SilentListener() { close(fd_); }
    int Port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
};

class ConfigDocumentsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(dir_.File("www/downloader/secres/vemo"));
        std::filesystem::create_directories(dir_.File("www/vemo047"));
        WriteFile(dir_.File("www") + kSecPath,
                  "<?xml version=\"1.0\"?><project><sec id=\"1\" sec_type=\"B1\"><md5key>" +
                      Base64Encode("k3y") + "</md5key></sec><client>" +
                      Base64Encode("KoruvanAgent") + "</client><web>" +
                      Base64Encode("http://www.koruvan.example/") + "</web></project>");
        WriteFile(dir_.File("www/big.xml"), std::string(kMaxDocumentBytes + 1, ' '));
        for (int i = 0; i < kFileCount; ++i) {
            WriteFile(dir_.File("www/vemo047/f" + std::to_string(i) + ".bin"), "content");
        }
        const std::vector<int> ports = {test::FreeTcpPort(), test::FreeTcpPort()};
        nginx_ = std::make_unique<test::NginxServer>(
            dir_.File("nginx"), dir_.File("www"), ports,
            "location = /moved { return 302 http://127.0.0.1:" + std::to_string(ports[1]) +
                kSecPath +
                "; }\n"
                "location = /loop { return 302 /loop; }\n"
                "location = /tofile { return 302 file:///etc/passwd; }\n"
                "location = /busy { return 503; }\n");
        ASSERT_TRUE(nginx_->Start());
    }

    // A plan file for this server (URLs on port 0 of the fixture).
    std::string WritePlan(const std::string& listPath = kListPath) {
        std::string text = "[plan]\nsec_config_url = " + nginx_->Url(0, kSecPath) +
                           "\nresource_list_url = " + nginx_->Url(0, listPath) + "\n";
        for (int i = 0; i < kFileCount; ++i) {
            const std::string n = std::to_string(i);
            text += "[file" + n + "]\nname = f" + n +
                    ".bin\nsize = 7\nmd5 = " + std::string(31, '0') + n +
                    "\nurl = " + nginx_->Url(0, "/vemo047/f" + n + ".bin") + "\n";
        }
        text += "[p2p]\nupnp = 0\nlan_discovery = 0\nbind_address = 127.0.0.2\n";
        WriteFile(dir_.File("plan.ini"), text);
        return dir_.File("plan.ini");
    }

    void WriteList(const std::string& resources, const std::string& expired = "false") {
        WriteFile(
            dir_.File("www") + kListPath,
            "<project><configs><p2p-switch>off</p2p-switch><expire-info><expired>" + expired +
                "</expired><message>下载器已过期</message><url>http://www.koruvan.example/new</url>"
                "</expire-info></configs><resources>" +
                resources + "</resources></project>");
    }

    test::LogRecorder log_;
    TempDir dir_;
    std::unique_ptr<test::NginxServer> nginx_;
};

TEST_F(ConfigDocumentsTest, FetchesFollowingRedirectsAndReportsFailuresOnStandardError) {
    std::string body;
    std::string error;
    long status = 0;
    EXPECT_TRUE(FetchDocument(nginx_->Url(0, "/moved"), body, error, status, 2));
    EXPECT_EQ(status, 200);
    EXPECT_NE(body.find("<project>"), std::string::npos);

    const std::string missing = nginx_->Url(0, "/absent.xml");
    body.clear();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(FetchDocument(missing, body, error, status, 2));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Failed to get '" + missing + "' [HTTP 404]\n");
    EXPECT_EQ(status, 404);
    EXPECT_EQ(error, "Failed to get " + missing + " (HTTP 404)");

    body.clear();
    EXPECT_FALSE(FetchDocument(nginx_->Url(0, "/busy"), body, error, status, 2));
    EXPECT_EQ(status, 503);
    EXPECT_EQ(error, "Failed to get " + nginx_->Url(0, "/busy") + " (HTTP 503)");

    const std::string refused = "http://127.0.0.1:" + std::to_string(test::FreeTcpPort()) + "/x";
    testing::internal::CaptureStderr();
    EXPECT_FALSE(FetchDocument(refused, body, error, status, 2));
    const std::string message = testing::internal::GetCapturedStderr();
    EXPECT_EQ(message.rfind("Failed to get '" + refused + "' [", 0), 0u) << message;
    EXPECT_GT(message.size(), ("Failed to get '" + refused + "' []\n").size());  // curl's reason
    EXPECT_EQ(status, 0);
}

TEST_F(ConfigDocumentsTest, KeepsRedirectsBodiesAndWaitingInBounds) {
    std::string body;
    std::string error;
    long status = 0;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(FetchDocument(nginx_->Url(0, "/loop"), body, error, status, 5));
    EXPECT_FALSE(FetchDocument(nginx_->Url(0, "/tofile"), body, error, status, 5));
    body.clear();
    EXPECT_FALSE(FetchDocument(nginx_->Url(0, "/big.xml"), body, error, status, 5));
    EXPECT_LE(body.size(), kMaxDocumentBytes);

    SilentListener silent;
    ASSERT_NE(silent.Port(), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(FetchDocument("http://127.0.0.1:" + std::to_string(silent.Port()) + "/", body,
                               error, status, 1));
    testing::internal::GetCapturedStderr();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
}

TEST_F(ConfigDocumentsTest, SecConfigFromThePlanReachesTheEngine) {
    const PlanLoad load = LoadPlan(WritePlan());
    ASSERT_TRUE(load.plan) << load.refusal.Message();
    InstallPlan(*load.plan);
    ProcessSecConfig().Reset();
    EXPECT_TRUE(ParseSecConfig());
    EXPECT_EQ(ProcessSecConfig().Current()->md5key, "k3y");
    EXPECT_EQ(ProcessSecConfig().Current()->secType, "B1");
    const std::string url = load.plan->files[1].url;
    const engine::WebRequestTexts texts = engine::PrepareWebRequest(url);
    EXPECT_EQ(texts.userAgent, "KoruvanAgent");
    EXPECT_EQ(texts.referer, "http://www.koruvan.example/");
    EXPECT_NE(texts.signedUrl, url);
    EXPECT_EQ(texts.signedUrl.rfind(nginx_->Url(0, "/"), 0), 0u);
    EXPECT_NE(texts.signedUrl.find("/vemo047/f1.bin"), std::string::npos);

    // The low-rate restart fetches again; with the server gone the set stays as it was.
    EXPECT_TRUE(engine::RefreshSecConfig());
    nginx_->Stop();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(engine::RefreshSecConfig());
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(log_.Has("get XML content failed"));
    EXPECT_EQ(ProcessSecConfig().Current()->md5key, "k3y");
    engine::SetSecConfigRefresher(nullptr);
    engine::SetWebRequestPreparer(nullptr);
    ProcessSecConfig().Reset();
}

TEST_F(ConfigDocumentsTest, ExpiryIsReadFromTheResourceList) {
    const PlanLoad load = LoadPlan(WritePlan());
    ASSERT_TRUE(load.plan);
    WriteList("", "true");
    const auto notice = CheckExpiry(load.plan->resourceListUrl);
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->message, "下载器已过期");
    EXPECT_EQ(notice->url, "http://www.koruvan.example/new");
    WriteList("", "false");
    EXPECT_FALSE(CheckExpiry(load.plan->resourceListUrl));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(CheckExpiry(nginx_->Url(0, "/absent.xml")));  // unreachable: not expired
    testing::internal::GetCapturedStderr();
}

TEST_F(ConfigDocumentsTest, RefreshFailuresAreTold) {
    const PlanLoad load = LoadPlan(WritePlan("/absent.xml"));
    ASSERT_TRUE(load.plan);
    test::RecordingTarget target;
    testing::internal::CaptureStderr();
    EXPECT_EQ(RefreshResourceList(*load.plan, target), kRefreshFetchFailed);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(log_.Has("Seek res FAILED with XML content failed"));
    EXPECT_TRUE(target.p2p.empty());
}

}  // namespace
}  // namespace koruvan::app
