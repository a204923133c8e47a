#include "integration/swarm/LeecherClients.h"

#include <filesystem>
#include <thread>

#include "support/LocalServer.h"
#include "support/TempDir.h"

namespace koruvan::test {
namespace {

const std::string kPython = "/usr/bin/python3";

std::string LibtorrentFixture() {
    return std::string(KORUVAN_SOURCE_DIR) + "/tests/integration/fixtures/lt_peer.py";
}

std::string Program(LeecherKind kind) {
    switch (kind) {
        case LeecherKind::kLibtorrent:
            return kPython;
        case LeecherKind::kAria2:
            return FindProgram("aria2c");
        case LeecherKind::kTransmission:
            return FindProgram("transmission-daemon");
    }
    return {};
}

bool CompleteOnDisk(const std::string& folder, const std::vector<std::uint64_t>& sizes,
                    const std::vector<std::string>& names) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::error_code error;
        const auto size = std::filesystem::file_size(folder + "/" + names[i], error);
        if (error || size != sizes[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

const char* LeecherName(LeecherKind kind) {
    switch (kind) {
        case LeecherKind::kLibtorrent:
            return "libtorrent";
        case LeecherKind::kAria2:
            return "aria2c";
        case LeecherKind::kTransmission:
            return "transmission";
    }
    return "?";
}

// transmission keeps everything in its configuration folder: loopback or namespace only,
// no discovery of any kind, the torrents taken from a watched folder, files renamed to
// their final names once complete.
bool LeecherClient::WriteTransmissionSettings() const {
    const std::string watch = setup_.workDir + "/watch";
    std::filesystem::create_directories(watch);
    for (const std::string& torrent : setup_.torrents) {
        std::filesystem::copy_file(torrent,
                                   watch + "/" + std::filesystem::path(torrent).filename().string(),
                                   std::filesystem::copy_options::overwrite_existing);
    }
    WriteFile(setup_.workDir + "/config/settings.json",
              "{\n"
              "  \"bind-address-ipv4\": \"" +
                  setup_.address +
                  "\",\n"
                  "  \"bind-address-ipv6\": \"::1\",\n"
                  "  \"dht-enabled\": false,\n"
                  "  \"lpd-enabled\": false,\n"
                  "  \"pex-enabled\": false,\n"
                  "  \"utp-enabled\": false,\n"
                  "  \"port-forwarding-enabled\": false,\n"
                  "  \"blocklist-enabled\": false,\n"
                  "  \"rpc-enabled\": false,\n"
                  "  \"peer-port\": " +
                  std::to_string(FreeTcpPort()) +
                  ",\n"
                  "  \"peer-port-random-on-start\": false,\n"
                  "  \"download-dir\": \"" +
                  setup_.saveDir +
                  "\",\n"
                  "  \"incomplete-dir-enabled\": false,\n"
                  "  \"rename-partial-files\": true,\n"
                  "  \"watch-dir\": \"" +
                  watch +
                  "\",\n"
                  "  \"watch-dir-enabled\": true,\n"
                  "  \"start-added-torrents\": true,\n"
                  "  \"ratio-limit-enabled\": false,\n"
                  "  \"speed-limit-up-enabled\": false,\n"
                  "  \"speed-limit-down-enabled\": false,\n"
                  "  \"alt-speed-enabled\": false\n"
                  "}\n");
    return true;
}

std::vector<std::string> LeecherClient::Command() const {
    switch (setup_.kind) {
        case LeecherKind::kLibtorrent: {
            std::vector<std::string> args = {LibtorrentFixture(), "--bind", setup_.address,
                                             "--save", setup_.saveDir};
            args.insert(args.end(), setup_.torrents.begin(), setup_.torrents.end());
            return args;
        }
        case LeecherKind::kAria2: {
            std::vector<std::string> args = {
                "--dir=" + setup_.saveDir,      "--interface=" + setup_.address,
                "--disable-ipv6=true",          "--enable-dht=false",
                "--enable-dht6=false",          "--bt-enable-lpd=false",
                "--enable-peer-exchange=false", "--seed-time=0",
                "--check-integrity=false",      "--file-allocation=none",
                "--summary-interval=0",         "--console-log-level=warn",
                "--max-concurrent-downloads=5", "--listen-port=" + std::to_string(FreeTcpPort())};
            args.insert(args.end(), setup_.torrents.begin(), setup_.torrents.end());
            return args;
        }
        case LeecherKind::kTransmission:
            return {"-f", "-g", setup_.workDir + "/config", "--log-error"};
    }
    return {};
}

bool LeecherClient::Start(const LeecherSetup& setup) {
    setup_ = setup;
    std::string program = Program(setup.kind);
    if (program.empty()) {
        problem_ = std::string(LeecherName(setup.kind)) + " is not installed";
        return false;
    }
    std::filesystem::create_directories(setup.workDir + "/config");
    std::filesystem::create_directories(setup.saveDir);
    if (setup.kind == LeecherKind::kTransmission && !WriteTransmissionSettings()) {
        problem_ = "cannot write the transmission settings";
        return false;
    }
    std::vector<std::string> args = Command();
    if (!setup.netns.empty()) {
        args.insert(args.begin(), {"netns", "exec", setup.netns, program});
        program = FindProgram("ip");
    }
    if (!process_.Start({program,
                         args,
                         setup.workDir,
                         setup.workDir + "/client.log",
                         "",
                         {"PYTHONUNBUFFERED=1", "HOME=" + setup.workDir}})) {
        problem_ = std::string(LeecherName(setup.kind)) + " did not start";
        return false;
    }
    return true;
}

bool LeecherClient::WaitComplete(const std::vector<std::uint64_t>& sizes,
                                 const std::vector<std::string>& names,
                                 std::chrono::seconds limit) {
    if (setup_.kind != LeecherKind::kTransmission) {
        // libtorrent's fixture and aria2c (seed time 0) end with 0 once everything is here.
        return process_.Wait(limit, true) == 0;
    }
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end && process_.Running()) {
        if (CompleteOnDisk(setup_.saveDir, sizes, names)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return CompleteOnDisk(setup_.saveDir, sizes, names);
}

std::string LeecherClient::Log() const {
    return ReadFile(setup_.workDir + "/client.log");
}

}  // namespace koruvan::test
