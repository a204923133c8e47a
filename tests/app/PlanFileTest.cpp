#include "app/PlanFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "app/Base64.h"
#include "app/PlanSource.h"
#include "support/TempDir.h"

namespace koruvan::app {
namespace {

using test::TempDir;
using test::WriteFile;

// A valid plan file with inline comments, as the format's own example writes it.
std::string GoodPlan() {
    std::string text =
        "[plan]\n"
        "sec_config_url = http://127.0.0.1:8080/downloader/secres/vemo/vemo_sec.xml\n"
        "resource_list_url = http://127.0.0.1:8080/list.xml   ; the resource list\n"
        "telemetry_config = conf/upload.kvconf   ; optional\n";
    for (int i = 0; i < kFileCount; ++i) {
        const std::string n = std::to_string(i);
        text += "[file" + n + "]    ; file " + n + "\n" + "name = f" + n + ".bin\n" +
                "size = " + std::to_string(1000 + i) + "\n" + "md5 = " + std::string(31, 'a') + n +
                "\n" + "url = http://127.0.0.1:8080/vemo047/f" + n + ".bin\n";
    }
    return text;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

class PlanFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(dir_.File("conf"));
        WriteFile(dir_.File("conf/upload.kvconf"), "[SubmitEventDownload]\nSubmitUrl=x\n");
        WriteFile(dir_.File("f0.torrent"), "d4:infod6:lengthi1000eee");
        WriteFile(dir_.File("junk.torrent"), "not bencode");
    }
    PlanLoad Load(const std::string& text) {
        WriteFile(dir_.File("plan.ini"), text);
        return LoadPlanFile(dir_.File("plan.ini"));
    }
    // Loads `text` and expects a refusal naming `section` and `key`, with `reason` in it.
    void ExpectRefused(const std::string& text, const std::string& section, const std::string& key,
                       const std::string& reason) {
        const PlanLoad load = Load(text);
        ASSERT_FALSE(load.plan) << section << " " << key;
        EXPECT_EQ(load.refusal.file, dir_.File("plan.ini"));
        EXPECT_EQ(load.refusal.section, section);
        EXPECT_EQ(load.refusal.key, key);
        EXPECT_NE(load.refusal.reason.find(reason), std::string::npos) << load.refusal.reason;
        const std::string message = load.refusal.Message();
        EXPECT_NE(message.find(dir_.File("plan.ini")), std::string::npos);
        EXPECT_NE(message.find(key), std::string::npos);
    }

    TempDir dir_;
};

TEST_F(PlanFileTest, ReadsTheFormatWithInlineCommentsAndPathsBesideThePlan) {
    std::string text =
        Replace(GoodPlan(), "md5 = aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa0",
                "md5 = AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA0\ntorrent = f0.torrent ; P2SP");
    const PlanLoad load = Load(text);
    ASSERT_TRUE(load.plan) << load.refusal.Message();
    const DownloadPlan& plan = *load.plan;
    EXPECT_EQ(plan.resourceListUrl, "http://127.0.0.1:8080/list.xml");
    EXPECT_EQ(plan.files[0].name, "f0.bin");
    EXPECT_EQ(plan.files[0].md5, std::string(31, 'a') + "0");  // normalised to lower case
    EXPECT_EQ(plan.files[4].size, 1004u);
    EXPECT_EQ(plan.files[4].url, "http://127.0.0.1:8080/vemo047/f4.bin");
    EXPECT_EQ(plan.files[0].torrent, "d4:infod6:lengthi1000eee");
    EXPECT_FALSE(plan.files[1].torrent);
    ASSERT_TRUE(plan.telemetryConfig);
    EXPECT_EQ(Base64Decode(*plan.telemetryConfig), "[SubmitEventDownload]\nSubmitUrl=x\n");
    EXPECT_EQ(RequiredBytes(plan), 5010u + kSpaceReserveBytes);
}

TEST_F(PlanFileTest, RefusesMissingSectionsKeysAndWrongFileCounts) {
    ExpectRefused(Replace(GoodPlan(), "[file3]", "[filex]"), "filex", "", "unknown section");
    ExpectRefused(Replace(GoodPlan(), "[file3]    ; file 3", ";"), "file2", "name", "repeated");
    ExpectRefused(GoodPlan() + "[file5]\nname = g\n", "file5", "", "exactly five files");
    std::string four = GoodPlan();
    four = four.substr(0, four.find("[file4]"));
    ExpectRefused(four, "file4", "", "section missing");
    ExpectRefused(Replace(GoodPlan(), "[plan]", "[Plan]"), "Plan", "", "unknown section");
    ExpectRefused(Replace(GoodPlan(), "size = 1002\n", ""), "file2", "size", "key missing");
    ExpectRefused(Replace(GoodPlan(), "resource_list_url", "resource_list"), "plan",
                  "resource_list", "unknown key");
    ExpectRefused(Replace(GoodPlan(), "name = f1.bin", "Name = f1.bin"), "file1", "Name",
                  "unknown key");
    ExpectRefused(Replace(GoodPlan(), "name = f1.bin", "name =   ; none"), "file1", "name",
                  "empty value");
    ExpectRefused("name = x\n" + GoodPlan(), "", "name", "outside a section");
    ExpectRefused(Replace(GoodPlan(), "[file1]", "file1"), "", "", "line");
}

TEST_F(PlanFileTest, RefusesMalformedValues) {
    ExpectRefused(Replace(GoodPlan(), "size = 1001", "size = 10O1"), "file1", "size",
                  "not a decimal number");
    ExpectRefused(Replace(GoodPlan(), "size = 1001", "size = -1"), "file1", "size",
                  "not a decimal number");
    ExpectRefused(Replace(GoodPlan(), "size = 1001", "size = 99999999999999999999"), "file1",
                  "size", "too large");
    ExpectRefused(Replace(GoodPlan(), "size = 1001", "size = 18446744073709551615"), "file1",
                  "size", "more than 2^64");
    ExpectRefused(
        Replace(GoodPlan(), "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa3", std::string(31, 'a') + "g"),
        "file3", "md5", "not 32 hexadecimal digits");
    ExpectRefused(
        Replace(GoodPlan(), "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa3", std::string(30, 'a') + "3"),
        "file3", "md5", "not 32 hexadecimal digits");
    ExpectRefused(Replace(GoodPlan(), "url = http://127.0.0.1:8080/vemo047/f2.bin",
                          "url = file:///etc/passwd"),
                  "file2", "url", "not an http, https or ftp URL");
    ExpectRefused(Replace(GoodPlan(), "sec_config_url = http", "sec_config_url = ftp"), "plan",
                  "sec_config_url", "not an http or https URL");
    // Names become paths inside the save folder: nothing that leaves it.
    ExpectRefused(Replace(GoodPlan(), "name = f2.bin", "name = ../f2.bin"), "file2", "name",
                  "not a plain file name");
    ExpectRefused(Replace(GoodPlan(), "name = f2.bin", "name = .."), "file2", "name",
                  "not a plain file name");
    ExpectRefused(Replace(GoodPlan(), "name = f2.bin", "name = f1.bin"), "file2", "name",
                  "same as in [file1]");
}

TEST_F(PlanFileTest, RefusesReferencedFilesThatCannotBeUsed) {
    ExpectRefused(Replace(GoodPlan(), "name = f3.bin", "name = f3.bin\ntorrent = missing.torrent"),
                  "file3", "torrent", "cannot read");
    ExpectRefused(Replace(GoodPlan(), "name = f3.bin", "name = f3.bin\ntorrent = junk.torrent"),
                  "file3", "torrent", "not a bencoded dictionary");
    ExpectRefused(Replace(GoodPlan(), "name = f3.bin", "name = f3.bin\ntorrent = conf"), "file3",
                  "torrent", "cannot read");
    WriteFile(dir_.File("conf/big.kvconf"), std::string(kMaxDecodedBytes + 1, 'x'));
    ExpectRefused(Replace(GoodPlan(), "upload.kvconf", "big.kvconf"), "plan", "telemetry_config",
                  "larger than 4096 bytes");
}

TEST_F(PlanFileTest, ARefusedPlanWritesNothing) {
    const auto before = std::distance(std::filesystem::recursive_directory_iterator(dir_.Path()),
                                      std::filesystem::recursive_directory_iterator());
    ASSERT_FALSE(Load(Replace(GoodPlan(), "size = 1001", "size = x")).plan);
    ASSERT_FALSE(LoadPlan(dir_.File("plan.ini")).plan);
    const auto after = std::distance(std::filesystem::recursive_directory_iterator(dir_.Path()),
                                     std::filesystem::recursive_directory_iterator());
    EXPECT_EQ(after, before + 1);  // only the plan file the test wrote
}

TEST_F(PlanFileTest, APlanFileWithoutTelemetryConfigurationGetsTheBuiltInOne) {
    const std::string text =
        Replace(GoodPlan(), "telemetry_config = conf/upload.kvconf   ; optional\n", "");
    WriteFile(dir_.File("plan.ini"), text);
    const PlanLoad load = LoadPlan(dir_.File("plan.ini"));
    ASSERT_TRUE(load.plan) << load.refusal.Message();
    EXPECT_EQ(load.plan->telemetryConfig, BuiltinPlan().telemetryConfig);
    EXPECT_EQ(LoadPlan(dir_.File("absent.ini")).refusal.reason, "cannot be read");
}

TEST_F(PlanFileTest, NetworkAndTelemetrySectionsAreOptionalAndRead) {
    const DownloadPlan defaults = *Load(GoodPlan()).plan;
    EXPECT_EQ(defaults.p2p.listenPort, 0);
    EXPECT_TRUE(defaults.p2p.disguise && defaults.p2p.lanDiscovery && defaults.p2p.upnp);
    EXPECT_FALSE(defaults.p2p.dht || defaults.p2p.rendezvous);
    EXPECT_TRUE(defaults.p2p.bindAddress.empty() && defaults.p2p.ipFilterPath.empty());
    EXPECT_TRUE(defaults.telemetry.enabled);

    WriteFile(dir_.File("conf/block.txt"), "127.0.0.2 - 127.0.0.2 , 000 , test\n");
    const PlanLoad load = Load(GoodPlan() +
                               "[p2p]\nlisten_port = 6881\nbind_address = 127.0.0.3\n"
                               "disguise = 0\nlan_discovery = 0\nip_filter = conf/block.txt\n"
                               "upnp = 0\nrendezvous = localhost:82\nudp_port = 8001\ndht = 1\n"
                               "dht_bootstrap = 127.0.0.4:6881, 127.0.0.5:6882\n"
                               "[telemetry]\nenabled = 0\n");
    ASSERT_TRUE(load.plan) << load.refusal.Message();
    const P2pSettings& p2p = load.plan->p2p;
    EXPECT_EQ(p2p.listenPort, 6881);
    EXPECT_EQ(p2p.bindAddress, "127.0.0.3");
    EXPECT_FALSE(p2p.disguise || p2p.lanDiscovery || p2p.upnp);
    EXPECT_EQ(p2p.ipFilterPath, dir_.File("conf/block.txt"));
    ASSERT_TRUE(p2p.rendezvous);
    EXPECT_EQ(p2p.rendezvous->host, "localhost");
    EXPECT_EQ(p2p.rendezvous->port, 82);
    EXPECT_EQ(p2p.udpPort, 8001);
    EXPECT_TRUE(p2p.dht);
    ASSERT_EQ(p2p.dhtBootstrap.size(), 2u);
    EXPECT_EQ(p2p.dhtBootstrap[1].host, "127.0.0.5");
    EXPECT_EQ(p2p.dhtBootstrap[1].port, 6882);
    EXPECT_FALSE(load.plan->telemetry.enabled);
}

TEST_F(PlanFileTest, RefusesBadNetworkAndTelemetryValues) {
    const struct {
        std::string line, section, key, reason;
    } cases[] = {
        {"[p2p]\nlisten_port = 65536", "p2p", "listen_port", "not a port number"},
        {"[p2p]\nbind_address = 127.0.0", "p2p", "bind_address", "not a dotted IPv4"},
        {"[p2p]\nbind_address = 127.0.0.256", "p2p", "bind_address", "not a dotted IPv4"},
        {"[p2p]\ndisguise = yes", "p2p", "disguise", "not 0 or 1"},
        {"[p2p]\nip_filter = missing.txt", "p2p", "ip_filter", "cannot read"},
        {"[p2p]\nrendezvous = host", "p2p", "rendezvous", "not HOST:PORT"},
        {"[p2p]\nrendezvous = host:0", "p2p", "rendezvous", "not a port number"},
        {"[p2p]\ndht_bootstrap = a:1,,b:2", "p2p", "dht_bootstrap", "not HOST:PORT"},
        {"[p2p]\nlisten = 1", "p2p", "listen", "unknown key"},
        {"[telemetry]\nenabled = 2", "telemetry", "enabled", "not 0 or 1"},
        {"[telemetry]\nurl = x", "telemetry", "url", "unknown key"},
    };
    for (const auto& c : cases) {
        ExpectRefused(GoodPlan() + c.line + "\n", c.section, c.key, c.reason);
    }
}

TEST(PlanFileText, ToleratesByteOrderMarkCrLfAndQuotes) {
    std::string text = "\xEF\xBB\xBF" + GoodPlan();
    text = Replace(text, "name = f1.bin", "name = \"f1 x.bin\"");
    std::string crlf;
    for (const char c : text) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    const PlanFileReader reader = [](const std::string& path, std::string& bytes) {
        bytes = path == "/plans/conf/upload.kvconf" ? "[a]\n" : "";
        return path == "/plans/conf/upload.kvconf";
    };
    const PlanLoad load = ParsePlanText(crlf, "/plans/p.ini", reader);
    ASSERT_TRUE(load.plan) << load.refusal.Message();
    EXPECT_EQ(load.plan->files[1].name, "f1 x.bin");
    EXPECT_EQ(load.plan->files[0].url, "http://127.0.0.1:8080/vemo047/f0.bin");
    EXPECT_EQ(ResolveBeside("plan.ini", "x.torrent"), "x.torrent");  // beside a relative plan
}

}  // namespace
}  // namespace koruvan::app
