#include "tools/mkplan/PlanBundle.h"

#include <ctime>
#include <filesystem>

#include "app/PlanFile.h"
#include "platform/File.h"
#include "platform/Paths.h"
#include "platform/Random.h"
#include "tools/mkplan/PlanDocuments.h"

namespace koruvan::tools {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kTorrentFolder = "torrents";
constexpr std::string_view kTelemetryFile = "dataupload.kvconf";
constexpr std::string_view kInfoHashFile = "infohashes.txt";

std::string WithoutTrailingSlash(std::string url) {
    while (!url.empty() && url.back() == '/') {
        url.pop_back();
    }
    return url;
}

std::string RandomKey() {
    unsigned char bytes[16];
    if (!platform::RandomBytes(bytes, sizeof bytes)) {
        for (unsigned char& b : bytes) {
            b = static_cast<unsigned char>(platform::RandomUint32());
        }
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string key;
    for (const unsigned char b : bytes) {
        key += kHex[b >> 4];
        key += kHex[b & 0xF];
    }
    return key;
}

bool WriteText(const std::string& path, std::string_view text, std::string& error) {
    if (!platform::WriteFileAtomic(path, text)) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

bool MakeFolders(const BundleReport& report, const std::string& outDir, std::string& error) {
    for (const std::string& folder :
         {report.webRoot + std::string(kFileFolder),
          report.webRoot + fs::path(std::string(kSecConfigPath)).parent_path().string(),
          platform::JoinPath(outDir, kTorrentFolder)}) {
        if (!platform::CreateFolders(folder)) {
            error = "cannot create the folder " + folder;
            return false;
        }
    }
    return true;
}

bool MakeFiles(const BundleOptions& o, BundleReport& report, std::string& error,
               const BundleLog& log) {
    const std::string base = WithoutTrailingSlash(o.baseUrl);
    for (std::size_t i = 0; i < kBundleFiles; ++i) {
        BundleFile& f = report.files[i];
        f.name = o.names[i];
        f.path = report.webRoot + std::string(kFileFolder) + f.name;
        f.url = base + std::string(kFileFolder) + f.name;
        const std::int32_t pieceLength = kPieceLengths[i];
        bool ok = false;
        if (o.fromDir) {
            log("taking " + platform::JoinPath(*o.fromDir, f.name));
            ok = TakeFile(platform::JoinPath(*o.fromDir, f.name), f.path, o.hardLink, pieceLength,
                          f.digest, error);
        } else {
            log("generating " + f.name + " (" + std::to_string(o.sizes[i]) + " bytes)");
            const ContentKind kind =
                i == 0 && o.installerScript ? ContentKind::InstallerScript : ContentKind::Random;
            ok = GenerateFile(f.path, o.sizes[i], kind, o.seed, i, pieceLength, f.digest, error);
        }
        if (!ok) {
            return false;
        }
        if (f.digest.size == 0) {
            error = f.name + " is empty; every file of a plan needs content";
            return false;
        }
    }
    return true;
}

bool MakeTorrents(const BundleOptions& o, BundleReport& report,
                  std::array<PlanEntry, kBundleFiles>& entries, std::string& error) {
    const auto now = static_cast<std::int64_t>(std::time(nullptr));
    std::string whitelist;
    for (std::size_t i = 0; i < kBundleFiles; ++i) {
        BundleFile& f = report.files[i];
        const std::string torrent =
            MakeTorrent(f.name, f.digest, kPieceLengths[i], o.trackers, now);
        const auto hash = TorrentInfoHash(torrent, f.name, f.digest.size, kPieceLengths[i]);
        if (!hash) {
            error = "the torrent of " + f.name + " does not load back";
            return false;
        }
        f.infoHash = *hash;
        whitelist += *hash + "\n";
        entries[i].torrent = std::string(kTorrentFolder) + "/" + f.name + ".torrent";
        const std::string path = platform::JoinPath(
            fs::path(report.planFile).parent_path().string(), entries[i].torrent);
        if (!WriteText(path, torrent, error)) {
            return false;
        }
    }
    return WriteText(
        platform::JoinPath(fs::path(report.planFile).parent_path().string(), kInfoHashFile),
        whitelist, error);
}

bool MakeServiceDocuments(const BundleOptions& o, BundleReport& report, std::string& error) {
    const std::string referer =
        o.referer.empty() ? WithoutTrailingSlash(o.baseUrl) + "/" : o.referer;
    if (!WriteText(report.webRoot + std::string(kSecConfigPath),
                   MakeSecConfig(o.secType, report.secKey, o.userAgent, referer), error)) {
        return false;
    }
    ResourceListInput list;
    for (std::size_t i = 0; i < kBundleFiles; ++i) {
        list.urls[i] = report.files[i].url;
        list.names[i] = report.files[i].name;
    }
    for (const std::string& m : o.mirrors) {
        list.mirrors.push_back(*ParseMirror(m));
    }
    list.p2p = o.p2p;
    list.expiredMessage = o.expiredMessage;
    list.expiredUrl = o.expiredUrl;
    return WriteText(report.webRoot + std::string(kResourceListPath), MakeResourceList(list),
                     error);
}

// Loads the finished plan with the downloader's reader and compares it with what was made.
bool CheckPlan(const BundleReport& report, std::string& error) {
    const app::PlanLoad load = app::LoadPlanFile(report.planFile);
    if (!load.plan) {
        error = "the plan does not load: " + load.refusal.Message();
        return false;
    }
    for (std::size_t i = 0; i < kBundleFiles; ++i) {
        const app::PlannedFile& p = load.plan->files[i];
        const BundleFile& f = report.files[i];
        if (p.name != f.name || p.size != f.digest.size || p.md5 != f.digest.md5 ||
            p.url != f.url) {
            error = "the plan reads back differently for " + f.name;
            return false;
        }
    }
    return true;
}

}  // namespace

bool MakeBundle(const BundleOptions& o, BundleReport& report, std::string& error,
                const BundleLog& log) {
    error.clear();
    if (auto problem = CheckOptions(o)) {
        error = *problem;
        return false;
    }
    const BundleLog say = log ? log : [](std::string_view) {};
    const std::string outDir = fs::absolute(o.outDir).lexically_normal().string();
    report = BundleReport{};
    report.planFile = platform::JoinPath(outDir, "plan.ini");
    report.webRoot = platform::JoinPath(outDir, "www");
    const std::string service = WithoutTrailingSlash(o.configUrl.empty() ? o.baseUrl : o.configUrl);
    report.secConfigUrl = service + std::string(kSecConfigPath);
    report.resourceListUrl = service + std::string(kResourceListPath);
    report.secKey = o.secKey.empty() ? RandomKey() : o.secKey;

    // An interrupted run must not leave a plan naming files of an earlier bundle, nor the
    // info hashes of torrents it no longer has.
    std::error_code ec;
    fs::remove(report.planFile, ec);
    fs::remove(platform::JoinPath(outDir, kInfoHashFile), ec);

    std::array<PlanEntry, kBundleFiles> entries;
    if (!MakeFolders(report, outDir, error) || !MakeFiles(o, report, error, say)) {
        return false;
    }
    if (o.torrents && !MakeTorrents(o, report, entries, error)) {
        return false;
    }
    if (!MakeServiceDocuments(o, report, error)) {
        return false;
    }
    for (std::size_t i = 0; i < kBundleFiles; ++i) {
        const BundleFile& f = report.files[i];
        entries[i].name = f.name;
        entries[i].size = f.digest.size;
        entries[i].md5 = f.digest.md5;
        entries[i].url = f.url;
    }
    const std::string telemetryRoot =
        WithoutTrailingSlash(o.telemetryUrl.empty() ? service : o.telemetryUrl);
    if (!WriteText(platform::JoinPath(outDir, kTelemetryFile), MakeTelemetryConfig(telemetryRoot),
                   error)) {
        return false;
    }
    // Last: a plan file only ever names a complete bundle.
    if (!WriteText(report.planFile,
                   MakePlanIni(report.secConfigUrl, report.resourceListUrl, kTelemetryFile, entries,
                               PlanP2p{o.upnp, o.lanDiscovery, PlanBindAddress(o), o.disguise,
                                       o.listenPort}),
                   error)) {
        return false;
    }
    return CheckPlan(report, error);
}

}  // namespace koruvan::tools
