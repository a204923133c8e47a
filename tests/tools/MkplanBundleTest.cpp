// Plan bundles as the downloader reads them: the plan file through the plan reader, the
// torrents through the engine's metainfo loader, the two service documents through their
// parsers, and every digest recomputed from the bytes on disk.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/Base64.h"
#include "app/Md5.h"
#include "app/PlanFile.h"
#include "app/ResourceList.h"
#include "app/SecConfig.h"
#include "engine/peers/BencodeCodec.h"
#include "engine/peers/TTorrent.h"
#include "support/TempDir.h"
#include "tools/mkplan/PlanBundle.h"

namespace koruvan::tools {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

const std::vector<std::string> kTrackers = {"http://127.0.0.1:6969/announce",
                                            "udp://127.0.0.1:6970/announce"};

std::string Sha1(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha1(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string PieceHashesOf(const std::string& content, std::size_t pieceLength) {
    std::string hashes;
    for (std::size_t at = 0; at < content.size(); at += pieceLength) {
        hashes += Sha1(std::string_view(content).substr(at, pieceLength));
    }
    return hashes;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t eol; (eol = text.find('\n', start)) != std::string::npos; start = eol + 1) {
        lines.push_back(text.substr(start, eol - start));
    }
    return lines;
}

// Remembers the layout the engine builds from a torrent.
class LayoutRecorder final : public engine::TorrentHost {
  public:
    std::string TargetFolder() const override { return "/downloads"; }
    std::string TargetFile() const override { return {}; }
    void SetPhase(int) override {}
    void OnSourceUnreadable() override {}
    bool BuildLayout(const engine::MetainfoLayout& l, engine::TRefObject*) override {
        layout = l;
        return true;
    }
    bool LoadKeyText(const std::string&) override { return false; }

    engine::MetainfoLayout layout;
};

class RecordingTarget final : public app::ResourceListTarget {
  public:
    void SetP2P(bool on) override { p2p.push_back(on); }
    bool WantsSources(int) override { return true; }
    std::int32_t HandOver(int index, const std::vector<app::SourceOffer>& sources) override {
        handed.resize(5);
        handed[static_cast<std::size_t>(index)] = sources;
        return 0;
    }

    std::vector<bool> p2p;
    std::vector<std::vector<app::SourceOffer>> handed;
};

BundleOptions GeneratedOptions(const std::string& out) {
    BundleOptions o;
    o.outDir = out;
    // Around the piece lengths: below one piece, exactly two, one byte over, several.
    o.sizes = {40000, 2097152 * 2, 2097153, 100, 1048576 * 2 + 5};
    o.installerScript = true;
    o.seed = 7;
    o.baseUrl = "http://127.0.0.1:8080/";
    o.configUrl = "http://127.0.0.1:8090";
    o.mirrors = {"http://127.0.0.1:8081", "https://127.0.0.1:8082/edge/"};
    o.trackers = kTrackers;
    o.secKey = "demo-key-123";
    return o;
}

class GeneratedBundle : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(MakeBundle(GeneratedOptions(out_.Path()), report_, error)) << error;
        const app::PlanLoad load = app::LoadPlanFile(out_.File("plan.ini"));
        ASSERT_TRUE(load.plan.has_value()) << load.refusal.Message();
        plan_ = *load.plan;
    }

    std::string Content(std::size_t i) const {
        return ReadFile(out_.File("www/vemo047/" + plan_.files[i].name));
    }

    TempDir out_;
    BundleReport report_;
    app::DownloadPlan plan_;
};

TEST_F(GeneratedBundle, PlanNamesEveryFileWithItsRealSizeDigestAndUrl) {
    const std::vector<std::uint64_t> sizes = GeneratedOptions("").sizes;
    for (std::size_t i = 0; i < kBundleFiles; ++i) {
        const app::PlannedFile& f = plan_.files[i];
        EXPECT_EQ(f.name, kDefaultNames[i]);
        const std::string content = Content(i);
        EXPECT_EQ(content.size(), sizes[i]);
        EXPECT_EQ(f.size, sizes[i]);
        EXPECT_EQ(f.md5, app::Md5Hex(content)) << f.name;
        // One slash between the base URL and the file folder.
        EXPECT_EQ(f.url, "http://127.0.0.1:8080/vemo047/" + f.name);
        ASSERT_TRUE(f.torrent.has_value());
        EXPECT_EQ(*f.torrent, ReadFile(out_.File("torrents/" + f.name + ".torrent")));
    }
    EXPECT_EQ(plan_.secConfigUrl, "http://127.0.0.1:8090/downloader/secres/vemo/vemo_sec.xml");
    EXPECT_EQ(plan_.resourceListUrl,
              "http://127.0.0.1:8090/downloader/secres/vemo/VemoResourceList20250711.xml");
    // Usage events stay with the bundle's own service.
    ASSERT_TRUE(plan_.telemetryConfig.has_value());
    const auto telemetry = app::Base64Decode(*plan_.telemetryConfig);
    ASSERT_TRUE(telemetry.has_value());
    EXPECT_NE(telemetry->find("SubmitUrl=http://127.0.0.1:8090/launchersubmit/eventInfoSubmit\n"),
              std::string::npos);
    EXPECT_EQ(telemetry->find("koruvan.example"), std::string::npos);
    // Each file's content is its own.
    EXPECT_NE(Content(1).substr(0, 4096), Content(2).substr(0, 4096));
}

TEST_F(GeneratedBundle, TorrentsLoadInTheEngineWithThePlansPieceLengths) {
    const std::vector<std::string> whitelist = Lines(ReadFile(out_.File("infohashes.txt")));
    ASSERT_EQ(whitelist.size(), 5u);
    for (std::size_t i = 0; i < kBundleFiles; ++i) {
        const std::string content = Content(i);
        LayoutRecorder host;
        auto* torrent = new engine::TTorrent(host);
        ASSERT_TRUE(torrent->LoadFromData(*plan_.files[i].torrent));
        const engine::MetainfoLayout& l = host.layout;
        EXPECT_EQ(l.pieceLength, kPieceLengths[i]);
        EXPECT_EQ(l.name, plan_.files[i].name);
        EXPECT_FALSE(l.multiFile);
        EXPECT_EQ(l.totalSize, content.size());
        EXPECT_EQ(l.pieceHashes, PieceHashesOf(content, static_cast<std::size_t>(l.pieceLength)))
            << plan_.files[i].name;
        EXPECT_EQ(torrent->Announce(), kTrackers[0]);
        const auto& trackers = torrent->Trackers();
        EXPECT_NE(std::find(trackers.begin(), trackers.end(), kTrackers[1]), trackers.end());
        EXPECT_EQ(torrent->InfoHashHex(), whitelist[i]);
        EXPECT_EQ(torrent->InfoHashHex(), report_.files[i].infoHash);
        torrent->Release();

        const auto root = engine::ParseBencode(*plan_.files[i].torrent);
        ASSERT_NE(root, nullptr);
        const engine::QElement* info = root->Find("info");
        ASSERT_NE(info, nullptr);
        const engine::QElement* isPrivate = info->Find("private");
        ASSERT_NE(isPrivate, nullptr);
        EXPECT_TRUE(isPrivate->HasInteger());
        EXPECT_EQ(isPrivate->GetInteger(), 0);
    }
    // A file smaller than its piece length keeps it: one short piece.
    EXPECT_EQ(plan_.files[3].size, 100u);
}

TEST_F(GeneratedBundle, SecConfigurationCarriesTheKeyAndHeaderTexts) {
    const std::string xml = ReadFile(out_.File("www/downloader/secres/vemo/vemo_sec.xml"));
    bool headersComplete = false;
    const auto update = app::ReadSecConfigDocument(xml, headersComplete);
    ASSERT_TRUE(update.has_value());
    EXPECT_TRUE(headersComplete);
    EXPECT_EQ(update->md5key, "demo-key-123");
    EXPECT_EQ(update->secType, "B1");
    EXPECT_EQ(update->userAgent, "KoruvanDownloader/1.0");
    EXPECT_EQ(update->referer, "http://127.0.0.1:8080/");
    EXPECT_EQ(report_.secKey, "demo-key-123");
}

TEST_F(GeneratedBundle, ResourceListOffersEveryMirrorForEveryFile) {
    const std::string xml =
        ReadFile(out_.File("www/downloader/secres/vemo/VemoResourceList20250711.xml"));
    RecordingTarget target;
    EXPECT_EQ(app::ApplyResourceList(xml, plan_, target), app::kRefreshHandedOver);
    EXPECT_EQ(target.p2p, std::vector<bool>{true});
    ASSERT_EQ(target.handed.size(), 5u);
    for (std::size_t i = 0; i < kBundleFiles; ++i) {
        const std::string& name = plan_.files[i].name;
        const std::vector<app::SourceOffer> expected = {
            {"https://127.0.0.1:8081/vemo047/" + name, "null"},
            {"https://127.0.0.1:8082/edge/vemo047/" + name, "null"}};
        EXPECT_EQ(target.handed[i], expected) << name;
    }
    EXPECT_FALSE(app::ReadExpiry(xml).has_value());
}

TEST_F(GeneratedBundle, InstallerIsAShellScriptThatReportsTheInstallation) {
    const std::string script = Content(0);
    EXPECT_EQ(script.rfind("#!/bin/sh\n", 0), 0u);
    TempDir saveFolder;
    const std::string output = saveFolder.File("output.txt");
    const std::string command = "cd '" + saveFolder.Path() + "' && /bin/sh '" +
                                out_.File("www/vemo047/" + plan_.files[0].name) + "' > '" + output +
                                "' 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(ReadFile(output), "Koruvan demo game: installed into " + saveFolder.Path() + "\n");
    EXPECT_TRUE(fs::exists(saveFolder.File(std::string(kInstalledMarker))));
}

TEST(MkplanContent, SameSeedSameBytesOtherSeedOtherBytes) {
    TempDir a;
    TempDir b;
    TempDir c;
    BundleOptions o = GeneratedOptions(a.Path());
    BundleReport first;
    BundleReport again;
    BundleReport other;
    std::string error;
    ASSERT_TRUE(MakeBundle(o, first, error)) << error;
    o.outDir = b.Path();
    ASSERT_TRUE(MakeBundle(o, again, error)) << error;
    o.outDir = c.Path();
    o.seed = 8;
    ASSERT_TRUE(MakeBundle(o, other, error)) << error;
    for (std::size_t i = 0; i < kBundleFiles; ++i) {
        EXPECT_EQ(first.files[i].digest.md5, again.files[i].digest.md5);
        EXPECT_NE(first.files[i].digest.md5, other.files[i].digest.md5);
    }
}

TEST(MkplanContent, ExpiryNoticeAndP2PSwitchSurviveTheXml) {
    TempDir out;
    BundleOptions o = GeneratedOptions(out.Path());
    o.p2p = false;
    o.expiredMessage = "Version <2.2> & \"older\" is retired";
    o.expiredUrl = "https://koruvan.example/new?from=2.2&lang=zh";
    BundleReport report;
    std::string error;
    ASSERT_TRUE(MakeBundle(o, report, error)) << error;
    const std::string xml =
        ReadFile(out.File("www/downloader/secres/vemo/VemoResourceList20250711.xml"));
    const auto notice = app::ReadExpiry(xml);
    ASSERT_TRUE(notice.has_value());
    EXPECT_EQ(notice->message, o.expiredMessage);
    EXPECT_EQ(notice->url, o.expiredUrl);
    RecordingTarget target;
    const auto plan = app::LoadPlanFile(report.planFile).plan;
    ASSERT_TRUE(plan.has_value());
    (void)app::ApplyResourceList(xml, *plan, target);
    EXPECT_EQ(target.p2p, std::vector<bool>{false});
}

class FolderBundle : public ::testing::Test {
  protected:
    void SetUp() override {
        for (std::size_t i = 0; i < kBundleFiles; ++i) {
            WriteFile(source_.File(std::string(kDefaultNames[i])),
                      std::string(1000 + i * 77777, static_cast<char>('a' + i)));
        }
        options_.outDir = out_.Path();
        options_.fromDir = source_.Path();
        options_.baseUrl = "http://127.0.0.1:8080";
    }

    TempDir source_;
    TempDir out_;
    BundleOptions options_;
};

TEST_F(FolderBundle, CopiesByDefaultAndLinksOnRequest) {
    BundleReport report;
    std::string error;
    ASSERT_TRUE(MakeBundle(options_, report, error)) << error;
    const std::string source = source_.File(std::string(kDefaultNames[2]));
    const std::string copy = report.files[2].path;
    EXPECT_EQ(ReadFile(copy), ReadFile(source));
    EXPECT_EQ(report.files[2].digest.md5, app::Md5Hex(ReadFile(source)));
    EXPECT_FALSE(fs::equivalent(copy, source));  // a later change to one leaves the other

    options_.hardLink = true;
    ASSERT_TRUE(MakeBundle(options_, report, error)) << error;
    EXPECT_TRUE(fs::equivalent(report.files[2].path, source));
    EXPECT_TRUE(app::LoadPlanFile(report.planFile).plan.has_value());
}

TEST_F(FolderBundle, RebuildsFromItsOwnWebRoot) {
    BundleReport first;
    std::string error;
    ASSERT_TRUE(MakeBundle(options_, first, error)) << error;
    options_.fromDir = out_.File("www/vemo047");
    BundleReport second;
    ASSERT_TRUE(MakeBundle(options_, second, error)) << error;
    for (std::size_t i = 0; i < kBundleFiles; ++i) {
        EXPECT_EQ(second.files[i].digest.md5, first.files[i].digest.md5);
        EXPECT_EQ(second.files[i].digest.size, first.files[i].digest.size);
    }
}

TEST_F(FolderBundle, MissingOrEmptyFileLeavesNoPlanBehind) {
    BundleReport report;
    std::string error;
    ASSERT_TRUE(MakeBundle(options_, report, error)) << error;
    ASSERT_TRUE(fs::exists(out_.File("plan.ini")));

    fs::remove(source_.File(std::string(kDefaultNames[3])));
    EXPECT_FALSE(MakeBundle(options_, report, error));
    EXPECT_NE(error.find(std::string(kDefaultNames[3])), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(out_.File("plan.ini")));  // the earlier plan is gone too

    WriteFile(source_.File(std::string(kDefaultNames[3])), "");
    EXPECT_FALSE(MakeBundle(options_, report, error));
    EXPECT_NE(error.find("empty"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(out_.File("plan.ini")));
}

}  // namespace
}  // namespace koruvan::tools
