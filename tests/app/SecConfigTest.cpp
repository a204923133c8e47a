#include "app/SecConfig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <regex>
#include <thread>
#include <vector>

#include "AppRecorders.h"
#include "app/Base64.h"
#include "app/Md5.h"
#include "app/UrlSigning.h"
#include "engine/core/base/SecConfigHook.h"

namespace koruvan::app {
namespace {

class FixedClock final : public platform::TimeSource {
  public:
    explicit FixedClock(std::int64_t seconds) : seconds_(seconds) {}
    std::uint32_t TickCount() noexcept override { return 0; }
    std::int64_t WallSeconds() noexcept override { return seconds_; }
    void SleepMs(std::uint32_t) noexcept override {}

  private:
    std::int64_t seconds_;
};

std::int64_t LocalTime(int year, int month, int day, int hour, int minute) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&tm));
}

std::string SecDocument(const std::string& secs, bool client = true, bool web = true) {
    return "<?xml version=\"1.0\"?>\n<project>\n" + secs +
           (client ? "<client>" + Base64Encode("KoruvanAgent/2.2") + "</client>\n" : "") +
           (web ? "<web>" + Base64Encode("http://www.koruvan.example/") + "</web>\n" : "") +
           "</project>\n";
}

std::string Sec(const std::string& id, const std::string& type, const std::string& key) {
    return "<sec id=\"" + id + "\" sec_type=\"" + type + "\"><md5key>" + Base64Encode(key) +
           "</md5key></sec>\n";
}

SecConfigValues Applied(const std::string& xml, bool* complete = nullptr) {
    SecConfigStore store;
    bool headers = false;
    const auto update = ReadSecConfigDocument(xml, headers);
    if (update) {
        store.Apply(*update);
    }
    if (complete != nullptr) {
        *complete = update && headers;
    }
    return *store.Current();
}

TEST(SecConfigDocument, ALaterSecOverridesAndASecWithoutIdEndsTheRun) {
    test::LogRecorder log;
    bool complete = false;
    const SecConfigValues v =
        Applied(SecDocument(Sec("1", "B1", "first") + Sec("2", "A0", "second") +
                            "<sec sec_type=\"C9\"><md5key>" + Base64Encode("ignored") +
                            "</md5key></sec>" + Sec("3", "Z", "after the end")),
                &complete);
    EXPECT_TRUE(complete);
    EXPECT_EQ(v.secType, "A0");
    EXPECT_EQ(v.md5key, "second");
    EXPECT_EQ(v.userAgent, "KoruvanAgent/2.2");
    EXPECT_EQ(v.referer, "http://www.koruvan.example/");
    EXPECT_TRUE(log.Has("B1"));  // the scheme is logged as is
    EXPECT_TRUE(log.Has("A0"));
    EXPECT_FALSE(log.Has("C9"));
}

TEST(SecConfigDocument, MissingPartsGiveEmptyOrUnchangedValues) {
    bool complete = true;
    // No "client": the header texts stay unset and the result is false, the key still counts.
    SecConfigValues v = Applied(SecDocument(Sec("1", "A0", "k"), false, true), &complete);
    EXPECT_FALSE(complete);
    EXPECT_EQ(v.md5key, "k");
    EXPECT_EQ(v.userAgent, "");
    EXPECT_EQ(v.referer, "");
    // A "sec" without "md5key" and elements without text give empty values.
    v = Applied("<project><sec id=\"1\"/><client/><web></web></project>", &complete);
    EXPECT_TRUE(complete);
    EXPECT_EQ(v.md5key, "");
    EXPECT_EQ(v.secType, "");
    // Another root, or no XML at all: nothing applies.
    EXPECT_FALSE(
        Applied("<projects>" + Sec("1", "A0", "k") + "</projects>", &complete).md5key.size());
    EXPECT_FALSE(complete);
    EXPECT_FALSE(Applied("not xml", &complete).md5key.size());
}

TEST(SecConfigDocument, HeaderTextsThatCouldSplitARequestAreDropped) {
    test::LogRecorder log;
    const std::string xml = "<project><sec id=\"1\"><md5key>*bad*</md5key></sec><client>" +
                            Base64Encode("agent\r\nX-Injected: 1") + "</client><web>" +
                            Base64Encode("http://ref/\tpage") + "</web></project>";
    const SecConfigValues v = Applied(xml);
    EXPECT_EQ(v.md5key, "");  // not Base64
    EXPECT_EQ(v.userAgent, "");
    EXPECT_EQ(v.referer, "http://ref/\tpage");
    EXPECT_TRUE(log.Has("sec config: client holds control characters, taken as empty"));
}

// Task threads sign and send requests while another thread replaces the configuration: a
// reader must only ever see the four values of one set.
TEST(SecConfigStoreTest, ReadersNeverSeeAHalfReplacedSet) {
    SecConfigStore store;
    store.Apply(SecConfigUpdate{"T0", "K0", "U0", "R0"});
    std::atomic<bool> stop{false};
    std::atomic<long> reads{0};
    std::atomic<long> torn{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                const auto set = store.Current();
                const std::string n = set->secType.substr(1);
                if (set->md5key != "K" + n || set->userAgent != "U" + n ||
                    set->referer != "R" + n) {
                    ++torn;
                }
                ++reads;
            }
        });
    }
    for (int i = 1; i <= 20000; ++i) {
        const std::string n = std::to_string(i);
        store.Apply(SecConfigUpdate{"T" + n, "K" + n, "U" + n, "R" + n});
    }
    while (reads.load() < 1000) {
        std::this_thread::yield();
    }
    stop = true;
    for (auto& t : readers) {
        t.join();
    }
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(store.Current()->md5key, "K20000");
}

constexpr std::string_view kCabUrl = "https://cdn.koruvan.example/vemo047/data047.001.cab";
constexpr std::string_view kCabPath = "/vemo047/data047.001.cab";

TEST(UrlSigning, AnEmptyKeyLeavesThePathUnsignedWithASecondSlash) {
    EXPECT_EQ(SignUrlPath(kCabUrl, "", "A0", 0),
              "https://cdn.koruvan.example//vemo047/data047.001.cab");
    EXPECT_EQ(SignUrlPath("http://cdn.koruvan.example/a/b.cab?x=1&y=2#frag", "", "", 0),
              "http://cdn.koruvan.example//a/b.cab?x=1&y=2");
}

TEST(UrlSigning, A0PutsLocalMinuteAndHashBeforeThePath) {
    const std::int64_t t = LocalTime(2025, 7, 11, 12, 30) + 42;
    FixedClock clock(t);
    const SecConfigValues values{"secret", "A0", "", ""};
    const std::string prefix = "https://cdn.koruvan.example/";
    const std::string result = SignUrlPath(kCabUrl, values, clock);
    ASSERT_TRUE(
        std::regex_match(result, std::regex(prefix + "202507111230/[0-9a-f]{32}/vemo047/.*")))
        << result;
    EXPECT_EQ(result, prefix + "202507111230/" +
                          Md5Hex("secret202507111230" + std::string(kCabPath)) +
                          std::string(kCabPath));
}

TEST(UrlSigning, B1AndOtherSchemesHashPathAndUnixSeconds) {
    const std::string path(kCabPath);
    const std::string h = Md5Hex("secret" + path + "1752229800");
    EXPECT_EQ(SignUrlPath(kCabUrl, "secret", "B1", 1752229800),
              "https://cdn.koruvan.example/" + h + "/1752229800" + path);
    EXPECT_EQ(SignUrlPath(kCabUrl, "secret", "C2", 1752229800), "https://cdn.koruvan.example/" + h);
    EXPECT_EQ(SignUrlPath(kCabUrl, "secret", "", 1752229800), "https://cdn.koruvan.example/" + h);
}

TEST(UrlSigning, KeepsThePortAndRefusesWhatDoesNotParse) {
    const std::string h = Md5Hex(std::string("k") + "/f.bin?q=1" + "7");
    EXPECT_EQ(SignUrlPath("http://127.0.0.1:8080/f.bin?q=1", "k", "B1", 7),
              "http://127.0.0.1:8080/" + h + "/7/f.bin?q=1");
    EXPECT_EQ(SignUrlPath("http://[::1]:81/f", "", "", 0), "http://[::1]:81//f");
    EXPECT_EQ(SignUrlPath("http://[::1]/f", "", "", 0), "http://[::1]//f");
    EXPECT_EQ(SignUrlPath("https://host/a b", "k", "B1", 7), "");
    EXPECT_EQ(SignUrlPath("not a url", "k", "B1", 7), "");
    EXPECT_EQ(SignUrlPath("mailto:someone", "", "", 0), "");
}

TEST(UrlSigning, TheEngineGetsSignedUrlAndHeadersFromOneSet) {
    ProcessSecConfig().Apply(SecConfigUpdate{"B1", "", "Agent/1", "http://ref/"});
    engine::SetWebRequestPreparer(nullptr);
    EXPECT_EQ(engine::PrepareWebRequest(kCabUrl).signedUrl, kCabUrl);  // nothing registered
    EXPECT_EQ(engine::PrepareWebRequest(kCabUrl).userAgent, "");
    RegisterSecConfigHooks();
    const engine::WebRequestTexts texts = engine::PrepareWebRequest(kCabUrl);
    EXPECT_EQ(texts.signedUrl, "https://cdn.koruvan.example//vemo047/data047.001.cab");
    EXPECT_EQ(texts.userAgent, "Agent/1");
    EXPECT_EQ(texts.referer, "http://ref/");
    EXPECT_EQ(engine::PrepareWebRequest("bad url").signedUrl, "bad url");  // sent as it is
    engine::SetWebRequestPreparer(nullptr);
    engine::SetSecConfigRefresher(nullptr);
    ProcessSecConfig().Reset();
}

}  // namespace
}  // namespace koruvan::app
