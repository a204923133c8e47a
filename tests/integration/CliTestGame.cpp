#include "CliTestGame.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "app/CompletionRecord.h"
#include "app/Md5.h"
#include "app/PlanFile.h"
#include "app/TaskFileStatus.h"
#include "engine/core/EngineApi.h"
#include "platform/IniFile.h"

extern char** environ;

namespace koruvan::test {
namespace {

constexpr std::uint64_t kInstallerSize = 48 * 1024;

std::string Sha1(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha1(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string Str(std::string_view s) {
    return std::to_string(s.size()) + ":" + std::string(s);
}

// A single-file torrent with two (silent) loopback trackers.
std::string Torrent(const std::string& name, const std::string& content, std::uint64_t piece,
                    const std::vector<std::string>& trackers) {
    std::string pieces;
    for (std::uint64_t at = 0; at < content.size(); at += piece) {
        pieces += Sha1(std::string_view(content).substr(at, piece));
    }
    std::string list = "l";
    for (const std::string& t : trackers) {
        list += "l" + Str(t) + "e";
    }
    list += "e";
    return "d8:announce" + Str(trackers[0]) + "13:announce-list" + list + "4:infod6:lengthi" +
           std::to_string(content.size()) + "e4:name" + Str(name) + "12:piece lengthi" +
           std::to_string(piece) + "e6:pieces" + Str(pieces) + "7:privatei0eee";
}

std::string Base64(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

}  // namespace

// --- the child process ------------------------------------------------------------------------

bool CliProcess::Start(const std::vector<std::string>& args, const std::string& outFile,
                       const std::string& errFile, const std::string& workDir) {
    return TestProgram::Start(
        {KORUVAN_CLI_PATH, args, workDir, outFile, errFile, {"XDG_RUNTIME_DIR=" + workDir}});
}

// --- the game -----------------------------------------------------------------------------------

TestGame::TestGame(std::vector<std::uint64_t> cabinetSizes, const std::string& rateLimit,
                   std::uint64_t pieceLength)
    : pieceLength_(pieceLength) {
    std::filesystem::create_directories(dir_.File("www/vemo047"));
    std::filesystem::create_directories(dir_.File("www/downloader/secres/vemo"));
    std::filesystem::create_directories(dir_.File("plan"));
    std::filesystem::create_directories(dir_.File("run"));
    workDir_ = dir_.File("run");
    const int port = FreeTcpPort();
    trackerPorts_ = {FreeTcpPort(), FreeTcpPort()};  // nothing listens there
    MakeServer(port, rateLimit);
    WriteFiles(cabinetSizes);
    WritePlan();
    started_ = nginx_->Start();
}

TestGame::~TestGame() = default;

// Signed paths ("/<md5>/<time>/vemo047/…") are served as the plain file; usage statistics
// are accepted and dropped.
void TestGame::MakeServer(int port, const std::string& rateLimit) {
    std::string extra =
        "    rewrite \"^/[0-9a-f]{32}/[0-9]+(/.*)$\" $1 last;\n"
        "    location /launchersubmit/ { return 200 '{\"error\":0}'; }\n";
    if (!rateLimit.empty()) {
        extra += "    limit_rate " + rateLimit + ";\n";
    }
    nginx_ = std::make_unique<NginxServer>(dir_.File("nginx"), dir_.File("www"),
                                           std::vector<int>{port}, extra);
}

void TestGame::SetConnectionBudget(int connections) {
    WriteFile(workDir_ + "/KoruvanTaskLink.ini",
              "[KoruvanTask]\nKoruvanTaskLink=" + std::to_string(connections) + "\n");
}

bool TestGame::RestartServer(const std::string& rateLimit) {
    const int port = nginx_->Ports()[0];
    nginx_->Stop();
    MakeServer(port, rateLimit);
    started_ = nginx_->Start();
    return started_;
}

void TestGame::WriteFiles(const std::vector<std::uint64_t>& cabinetSizes) {
    std::random_device seed;
    std::mt19937_64 random((std::uint64_t{seed()} << 32) | seed());
    const std::string token = std::to_string(random());
    names_ = {"game_setup_" + token.substr(0, 6) + ".exe", "game.001.cab", "game.002.cab",
              "game.003.cab", "game.004.cab"};
    std::string installer = "#!/bin/sh\n# " + token +
                            "\necho \"installed $(pwd)\" > installed.txt\n"
                            "echo 'the demo game is installed'\nexit 0\n";
    installer += "# " + std::string(kInstallerSize - installer.size() - 3, 'x') + "\n";
    contents_ = {installer};
    for (const std::uint64_t size : cabinetSizes) {
        std::string bytes(size, '\0');
        for (std::size_t at = 0; at + 8 <= bytes.size(); at += 8) {
            const std::uint64_t v = random();
            std::memcpy(&bytes[at], &v, 8);
        }
        contents_.push_back(std::move(bytes));
    }
    const std::string announce1 =
        "http://127.0.0.1:" + std::to_string(trackerPorts_[0]) + "/announce";
    const std::string announce2 =
        "http://127.0.0.1:" + std::to_string(trackerPorts_[1]) + "/announce";
    for (int i = 0; i < 5; ++i) {
        WriteFile(dir_.File("www/vemo047/" + names_[i]), contents_[i]);
        digests_.push_back(app::Md5Hex(contents_[i]));
        torrents_.push_back(
            Torrent(names_[i], contents_[i], PieceLength(i), {announce1, announce2}));
        WriteFile(TorrentFile(i), torrents_.back());
    }
}

void TestGame::WritePlan() {
    const std::string base = nginx_->Url(0, "");
    WriteFile(dir_.File("www/downloader/secres/vemo/vemo_sec.xml"),
              "<project><sec id=\"1\" sec_type=\"B1\"><md5key>" + Base64("loopback key") +
                  "</md5key></sec><client>" + Base64("KoruvanTest/1.0") + "</client><web>" +
                  Base64("http://127.0.0.1/") + "</web></project>");
    WriteFile(dir_.File("www/downloader/secres/vemo/list.xml"),
              "<project><configs><p2p-switch>off</p2p-switch><expire-info><expired>false"
              "</expired></expire-info></configs><resources></resources></project>");
    // Usage statistics go to the game's own server, never to the built-in placeholder host.
    SetTelemetryUrls({base + "/launchersubmit/eventListSubmit"});
    std::ostringstream plan;
    plan << "[plan]\nsec_config_url = " << base << "/downloader/secres/vemo/vemo_sec.xml\n"
         << "resource_list_url = " << base << "/downloader/secres/vemo/list.xml\n"
         << "telemetry_config = telemetry.kvconf\n";
    for (int i = 0; i < 5; ++i) {
        urls_.push_back(base + "/vemo047/" + names_[i]);
        plan << "[file" << i << "]\nname = " << names_[i] << "\nsize = " << contents_[i].size()
             << "\nmd5 = " << digests_[i] << "\nurl = " << urls_[i] << "\ntorrent = " << names_[i]
             << ".torrent\n";
    }
    // The P2P service stays on loopback: no port mapping and no local discovery (both
    // multicast, never sent from a test on the host), a loopback address other than
    // 127.0.0.1 and a port of its own, so that games of tests running side by side do not meet.
    plan << "[p2p]\nupnp = 0\nlan_discovery = 0\nbind_address = 127.0.0.2\nlisten_port = "
         << FreeTcpPort() << "\n";
    // The UDP transport's rendezvous server: loopback, never the built-in name.
    plan << "rendezvous = 127.0.0.1:82\n";
    planFile_ = dir_.File("plan/plan.ini");
    WriteFile(planFile_, plan.str());
}

void TestGame::SetTelemetryUrls(const std::vector<std::string>& batchUrls) {
    std::string config =
        "[SubmitEventDownload]\nSubmitUrl=\nInputDataKeyWord=DVersion;GameID;GVersion;AppVersion\n"
        "SubmitDataKeyWord=MachId;Mac;OS\n[SubmitEventDownloadSeveral]\n";
    for (std::size_t i = 0; i < batchUrls.size(); ++i) {
        config +=
            "SubmitUrl" + (i == 0 ? std::string() : std::to_string(i)) + "=" + batchUrls[i] + "\n";
    }
    WriteFile(dir_.File("plan/telemetry.kvconf"), config);
}

void TestGame::SetPlanTelemetry(bool enabled) {
    std::string plan = ReadFile(planFile_);
    const std::size_t section = plan.find("\n[telemetry]\n");
    if (section != std::string::npos) {
        plan.resize(section + 1);
    }
    WriteFile(planFile_, plan + "[telemetry]\nenabled = " + (enabled ? "1" : "0") + "\n");
}

std::uint64_t TestGame::TotalBytes() const {
    std::uint64_t total = 0;
    for (const std::string& c : contents_) {
        total += c.size();
    }
    return total;
}

std::uint64_t TestGame::PieceLength(int i) const {
    if (pieceLength_ != 0) {
        return pieceLength_;
    }
    return i == 0 ? 32768 : i == 4 ? 1048576 : 2097152;
}

CliResult TestGame::Run(const std::vector<std::string>& args, std::chrono::seconds limit) {
    static std::atomic<int> runs{0};
    const std::string tag = "run" + std::to_string(++runs);
    auto process = StartCli(args, tag);
    CliResult result;
    result.code = process ? process->Wait(limit) : -1;
    const CliResult output = Output(tag);
    result.out = output.out;
    result.err = output.err;
    return result;
}

std::unique_ptr<CliProcess> TestGame::StartCli(const std::vector<std::string>& args,
                                               const std::string& tag) {
    std::vector<std::string> all = {"--plan", planFile_, "--data-dir", DataDir()};
    all.insert(all.end(), args.begin(), args.end());
    auto process = std::make_unique<CliProcess>();
    if (!process->Start(all, dir_.File(tag + ".out"), dir_.File(tag + ".err"), workDir_)) {
        return nullptr;
    }
    return process;
}

CliResult TestGame::Output(const std::string& tag) const {
    CliResult result;
    result.out = ReadFile(dir_.File(tag + ".out"));
    result.err = ReadFile(dir_.File(tag + ".err"));
    return result;
}

int TestGame::MatchingFiles() const {
    int matching = 0;
    for (int i = 0; i < 5; ++i) {
        matching += app::Md5Hex(ReadFile(Target(i))) == digests_[i] ? 1 : 0;
    }
    return matching;
}

// The combined log format: … "GET /path HTTP/1.1" status bytes …
std::uint64_t TestGame::ServedBytes() const {
    std::istringstream log(ReadFile(dir_.File("nginx/access.log")));
    std::uint64_t total = 0;
    std::string line;
    while (std::getline(log, line)) {
        const std::size_t request = line.find('"');
        const std::size_t end = line.find('"', request + 1);
        if (request == std::string::npos || end == std::string::npos ||
            line.substr(request, end - request).find("/vemo047/") == std::string::npos) {
            continue;
        }
        unsigned status = 0;
        unsigned long long bytes = 0;
        if (std::sscanf(line.c_str() + end + 1, " %u %llu", &status, &bytes) == 2) {
            total += bytes;
        }
    }
    return total;
}

void TestGame::PretendFinished(const std::string& entrance) {
    const app::PlanLoad load = app::LoadPlanFile(planFile_);
    const app::TaskLocation location = app::LocateTask(*load.plan, DataDir());
    std::filesystem::create_directories(location.dataDir);
    std::filesystem::create_directories(SaveDir());
    platform::IniFile ini(location.taskIni);
    (void)ini.WriteString("KoruvanTask", "KoruvanTaskHash", digests_[0]);
    (void)ini.WriteString("KoruvanTask", "KoruvanTaskCreateTime", "2025-07-11 12:30:00");
    (void)ini.WriteString("KoruvanTask", "KoruvanTaskSavePath", SaveDir());
    (void)ini.WriteString("KoruvanTask", "KoruvanTaskEntrence",
                          entrance.empty() ? names_[0] : entrance);
    (void)ini.WriteString("KoruvanTask", "KoruvanTaskIsComplete", "COMPLETE");
    for (int i = 0; i < 5; ++i) {
        WriteFile(Target(i), contents_[i]);
        (void)app::WriteCompletionRecord(location.taskIni, i, Target(i));
    }
}

// --- the swarm side
// -------------------------------------------------------------------------------

void TestGame::SetListP2p(bool on) {
    WriteFile(dir_.File("www/downloader/secres/vemo/list.xml"),
              std::string("<project><configs><p2p-switch>") + (on ? "on" : "off") +
                  "</p2p-switch><expire-info><expired>false</expired></expire-info></configs>"
                  "<resources></resources></project>");
}

void TestGame::UseTrackers(const std::vector<std::string>& announceUrls) {
    for (int i = 0; i < 5; ++i) {
        torrents_[i] = Torrent(names_[i], contents_[i], PieceLength(i), announceUrls);
        WriteFile(TorrentFile(i), torrents_[i]);
    }
}

void TestGame::SetP2p(const std::string& lines) {
    std::string plan = ReadFile(planFile_);
    const std::size_t start = plan.find("\n[p2p]\n");
    if (start == std::string::npos) {
        return;
    }
    const std::size_t body = start + 7;
    const std::size_t next = plan.find("\n[", body);
    const std::size_t end = next == std::string::npos ? plan.size() : next + 1;
    // A rendezvous server the test names, so that the built-in name is never looked up.
    const std::string rendezvous =
        lines.find("rendezvous") == std::string::npos ? "rendezvous = 127.0.0.1:82\n" : "";
    WriteFile(planFile_, plan.substr(0, body) + lines + rendezvous + plan.substr(end));
}

void TestGame::RemoveWebFiles() {
    for (int i = 0; i < 5; ++i) {
        std::filesystem::remove(dir_.File("www/vemo047/" + names_[i]));
    }
}

void TestGame::WriteFilesTo(const std::string& folder) const {
    std::filesystem::create_directories(folder);
    for (int i = 0; i < 5; ++i) {
        WriteFile(folder + "/" + names_[i], contents_[i]);
    }
}

std::string TestGame::TorrentFile(int i) const {
    return dir_.File("plan/" + names_[i] + ".torrent");
}

std::vector<std::string> TestGame::TorrentFiles() const {
    std::vector<std::string> files;
    for (int i = 0; i < 5; ++i) {
        files.push_back(TorrentFile(i));
    }
    return files;
}

// The info dictionary is the torrent's last entry: from "4:info" to the closing "e".
std::string TestGame::InfoHashHex(int i) const {
    const std::string& t = torrents_[i];
    const std::size_t at = t.find("4:infod");
    const std::string digest = Sha1(std::string_view(t).substr(at + 6, t.size() - at - 7));
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : digest) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

// --- can the engine download? -------------------------------------------------------------------

bool EngineCanDownload(std::string& why) {
    static std::once_flag once;
    static bool can = false;
    static std::string reason;
    std::call_once(once, [] {
        TempDir dir;
        WriteFile(dir.File("probe.bin"), std::string(256 * 1024, 'p'));
        NginxServer nginx(dir.File("nginx"), dir.Path(), {FreeTcpPort()});
        if (!nginx.Start()) {
            reason = "nginx did not start";
            return;
        }
        const std::string url = nginx.Url(0, "/probe.bin") + "\r\n";
        static engine::TaskDescriptor d{};
        d = engine::TaskDescriptor{};
        d.flags = engine::kFlagFullPath;
        std::snprintf(d.targetPath, sizeof d.targetPath, "%s", dir.File("probe.out").c_str());
        std::snprintf(d.stateFilePath, sizeof d.stateFilePath, "%s",
                      dir.File("probe.kvinfo").c_str());
        d.sourceList = url.c_str();
        (void)engine::EngineStartup(dir.Path().c_str());
        if (engine::CreateAndStartTask(&d) == engine::kOk) {
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
            std::int32_t done = 0;
            while (std::chrono::steady_clock::now() < end &&
                   (engine::IsTaskComplete(d.handle, &done) != 0 || done == 0)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            can = done != 0;
            (void)engine::StopTasks(&d.handle, 1, false, nullptr);
        }
        (void)engine::EngineCleanup();
        if (!can) {
            reason =
                "the engine did not download a 256 KiB file from nginx on loopback within "
                "15 s (its HTTP source peer is not in this build yet)";
        }
    });
    why = reason;
    return can;
}

}  // namespace koruvan::test
