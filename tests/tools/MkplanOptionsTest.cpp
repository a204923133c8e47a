// koruvan-mkplan's options: sizes, mirrors, the checks before anything is written, and the
// command line itself.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <optional>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/PlanFile.h"
#include "support/TempDir.h"
#include "tools/mkplan/BundleOptions.h"
#include "tools/mkplan/PlanContent.h"

namespace koruvan::tools {
namespace {

using test::TempDir;

TEST(ParseSize, AcceptsBytesAndBinaryMultiplesOnly) {
    EXPECT_EQ(ParseSize("1"), 1u);
    EXPECT_EQ(ParseSize("512K"), 524288u);
    EXPECT_EQ(ParseSize("20M"), 20971520u);
    EXPECT_EQ(ParseSize("4g"), 4294967296u);
    EXPECT_EQ(ParseSize("4222222222"), 4222222222u);
    EXPECT_EQ(ParseSize("18446744073709551615"), 18446744073709551615u);
    for (const char* bad : {"", "0", "0M", "-1", "1.5M", "M", "10KB", "1 M", " 1", "1T",
                            "17179869184G", "18446744073709551616"}) {
        EXPECT_FALSE(ParseSize(bad).has_value()) << bad;
    }
}

TEST(ParseSize, ListsNeedExactlyFive) {
    EXPECT_EQ(ParseSizes("1M,20M,20M,20M,5M"),
              (std::vector<std::uint64_t>{1048576, 20971520, 20971520, 20971520, 5242880}));
    for (const char* bad : {"1M,2M,3M,4M", "1,2,3,4,5,6", "1,,2,3,4", "1,2,3,4,5,", ""}) {
        EXPECT_FALSE(ParseSizes(bad).has_value()) << bad;
    }
}

TEST(ParseMirror, KeepsHostPortAndPathPrefix) {
    const auto plain = ParseMirror("http://127.0.0.1:8081");
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(plain->address, "127.0.0.1:8081");
    EXPECT_EQ(plain->folder, "/vemo047/");
    const auto nested = ParseMirror("https://127.0.0.1:8082/edge//");
    ASSERT_TRUE(nested.has_value());
    EXPECT_EQ(nested->folder, "/edge/vemo047/");
    const auto v6 = ParseMirror("http://[::1]:8443/");
    ASSERT_TRUE(v6.has_value());
    EXPECT_EQ(v6->address, "[::1]:8443");
    for (const char* bad : {"127.0.0.1:8081", "ftp://127.0.0.1/", "http://127.0.0.1:1/?x=1",
                            "http:// 127.0.0.1/", ""}) {
        EXPECT_FALSE(ParseMirror(bad).has_value()) << bad;
    }
}

BundleOptions Valid() {
    BundleOptions o;
    o.outDir = "/tmp/unused";
    o.sizes = {100000, 1, 1, 1, 1};
    o.baseUrl = "http://127.0.0.1:8080";
    return o;
}

TEST(CheckOptions, RefusesWhatWouldMakeAnUnusableBundle) {
    EXPECT_FALSE(CheckOptions(Valid()).has_value());

    const auto refused = [](auto change) {
        BundleOptions o = Valid();
        change(o);
        return CheckOptions(o).has_value();
    };
    EXPECT_TRUE(refused([](BundleOptions& o) { o.outDir.clear(); }));
    EXPECT_TRUE(refused([](BundleOptions& o) { o.fromDir = "/src"; }));  // and sizes
    EXPECT_TRUE(refused([](BundleOptions& o) { o.sizes.clear(); }));     // neither
    EXPECT_TRUE(refused([](BundleOptions& o) { o.sizes.pop_back(); }));
    EXPECT_TRUE(refused([](BundleOptions& o) { o.baseUrl = "127.0.0.1:8080"; }));
    EXPECT_TRUE(refused([](BundleOptions& o) { o.baseUrl = "ftp://127.0.0.1/"; }));
    EXPECT_TRUE(refused([](BundleOptions& o) { o.configUrl = "file:///etc"; }));
    EXPECT_TRUE(refused([](BundleOptions& o) { o.mirrors = {"ftp://127.0.0.1"}; }));
    EXPECT_TRUE(refused([](BundleOptions& o) { o.trackers = {"wss://127.0.0.1/announce"}; }));
    EXPECT_TRUE(refused([](BundleOptions& o) { o.names[1] = "../escape.cab"; }));
    EXPECT_TRUE(refused([](BundleOptions& o) { o.names[1] = "two words.cab"; }));
    EXPECT_TRUE(refused([](BundleOptions& o) { o.names[1] = "x;y.cab"; }));
    EXPECT_TRUE(refused([](BundleOptions& o) { o.names[4] = o.names[3]; }));
    EXPECT_TRUE(refused([](BundleOptions& o) { o.secType = "C3"; }));
    EXPECT_TRUE(refused([](BundleOptions& o) { o.secKey = "two words"; }));
    EXPECT_TRUE(refused([](BundleOptions& o) { o.userAgent = "agent\r\nX-Injected: 1"; }));
    EXPECT_TRUE(refused([](BundleOptions& o) { o.expiredUrl = "javascript:alert(1)"; }));
    EXPECT_TRUE(refused([](BundleOptions& o) { o.bindAddress = "localhost"; }));
    EXPECT_TRUE(refused([](BundleOptions& o) { o.bindAddress = "127.0.0.300"; }));
    EXPECT_FALSE(refused([](BundleOptions& o) { o.bindAddress = ""; }));  // none
    EXPECT_TRUE(refused([](BundleOptions& o) {
        o.installerScript = true;
        o.sizes[0] = InstallerScriptHead().size() - 1;
    }));
    EXPECT_FALSE(refused([](BundleOptions& o) {
        o.installerScript = true;
        o.sizes[0] = InstallerScriptHead().size();
        o.trackers = {"udp://127.0.0.1:6969/announce", "https://127.0.0.1/announce"};
        o.secType = "A0";
    }));
}

// Bundles keep their P2P service off the network: a loopback bundle binds to a loopback
// address other than 127.0.0.1; other bundles leave the address to the system unless told.
TEST(PlanBindAddress, LoopbackBundlesBindToLoopback) {
    const struct {
        const char* baseUrl;
        std::optional<std::string> asked;
        const char* expected;
    } cases[] = {
        {"http://127.0.0.1:8080", std::nullopt, "127.0.0.2"},
        {"http://localhost:8080/", std::nullopt, "127.0.0.2"},
        {"http://127.9.0.1", std::nullopt, "127.0.0.2"},
        {"http://198.51.100.1:8080", std::nullopt, ""},
        {"http://127.0.0.1:8080", std::string("127.0.0.7"), "127.0.0.7"},
        {"http://127.0.0.1:8080", std::string(""), ""},
        {"http://198.51.100.1", std::string("198.51.100.2"), "198.51.100.2"},
    };
    for (const auto& c : cases) {
        BundleOptions o = Valid();
        o.baseUrl = c.baseUrl;
        o.bindAddress = c.asked;
        EXPECT_EQ(PlanBindAddress(o), c.expected) << c.baseUrl;
    }
}

int RunMkplan(const std::string& arguments) {
    const std::string command = std::string(KORUVAN_MKPLAN) + " " + arguments + " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(MkplanCommand, MakesALoadablePlanAndRefusesBadUsageWithCodeTwo) {
    TempDir out;
    const std::string common = "--out '" + out.Path() + "' --base-url http://127.0.0.1:8080";
    EXPECT_EQ(RunMkplan(common + " --sizes 64K,1M,1M,1M,512K --installer-script --mirror "
                                 "http://127.0.0.1:8081 --tracker http://127.0.0.1:6969/announce"),
              0);
    const app::PlanLoad load = app::LoadPlanFile(out.File("plan.ini"));
    ASSERT_TRUE(load.plan.has_value()) << load.refusal.Message();
    EXPECT_EQ(load.plan->files[0].size, 65536u);
    // The test-safe [p2p] section of a loopback bundle.
    EXPECT_FALSE(load.plan->p2p.upnp);
    EXPECT_FALSE(load.plan->p2p.lanDiscovery);
    EXPECT_TRUE(load.plan->p2p.disguise);
    EXPECT_EQ(load.plan->p2p.bindAddress, "127.0.0.2");
    EXPECT_EQ(load.plan->p2p.listenPort, 0);

    ASSERT_EQ(RunMkplan(common + " --sizes 1K,1K,1K,1K,1K --bind-address none --disguise off "
                                 "--lan-discovery on --listen-port 46000"),
              0);
    const app::PlanLoad asked = app::LoadPlanFile(out.File("plan.ini"));
    ASSERT_TRUE(asked.plan.has_value()) << asked.refusal.Message();
    EXPECT_TRUE(asked.plan->p2p.lanDiscovery);
    EXPECT_FALSE(asked.plan->p2p.disguise);
    EXPECT_EQ(asked.plan->p2p.bindAddress, "");
    EXPECT_EQ(asked.plan->p2p.listenPort, 46000);

    EXPECT_EQ(RunMkplan(common), 2);                     // no files
    EXPECT_EQ(RunMkplan(common + " --sizes 1M,1M"), 2);  // too few
    EXPECT_EQ(RunMkplan(common + " --sizes 1M,1M,1M,1M,1M --from /"), 2);
    EXPECT_EQ(RunMkplan("--sizes 1M,1M,1M,1M,1M --base-url http://127.0.0.1"), 2);  // no --out
    EXPECT_EQ(RunMkplan(common + " --sizes 1M,1M,1M,1M,1M --p2p maybe"), 2);
    EXPECT_EQ(RunMkplan(common + " --sizes 1M,1M,1M,1M,1M --names a,b,c"), 2);
    EXPECT_EQ(RunMkplan(common + " --sizes 1M,1M,1M,1M,1M --bind-address here"), 2);
    EXPECT_EQ(RunMkplan(common + " --sizes 1M,1M,1M,1M,1M --lan-discovery yes"), 2);
    EXPECT_EQ(RunMkplan(common + " --from '" + out.Path() + "/nowhere'"), 1);  // files missing
    EXPECT_EQ(RunMkplan("--help"), 0);
}

}  // namespace
}  // namespace koruvan::tools
