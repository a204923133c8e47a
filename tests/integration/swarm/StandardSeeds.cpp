#include "integration/swarm/StandardSeeds.h"

#include <filesystem>
#include <fstream>
#include <thread>

#include "support/LocalServer.h"
#include "support/TempDir.h"

namespace koruvan::test {
namespace {

namespace fs = std::filesystem;

const std::string kPython = "/usr/bin/python3";

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// transmission-daemon's settings: seeds what its watch folder receives from `saveDir`,
// reaches nobody but the trackers and the peers that come to it.
std::string TransmissionSettings(const StandardSeedSetup& s, const std::string& watch) {
    return "{\n"
           "  \"download-dir\": " +
           Quoted(s.saveDir) +
           ",\n"
           "  \"incomplete-dir-enabled\": false,\n"
           "  \"watch-dir-enabled\": true,\n"
           "  \"watch-dir\": " +
           Quoted(watch) +
           ",\n"
           "  \"start-added-torrents\": true,\n"
           "  \"trash-original-torrent-files\": false,\n"
           "  \"bind-address-ipv4\": " +
           Quoted(s.address) +
           ",\n"
           "  \"peer-port\": " +
           std::to_string(s.port) +
           ",\n"
           "  \"peer-port-random-on-start\": false,\n"
           "  \"port-forwarding-enabled\": false,\n"
           "  \"dht-enabled\": false,\n"
           "  \"lpd-enabled\": false,\n"
           "  \"pex-enabled\": false,\n"
           "  \"utp-enabled\": false,\n"
           "  \"blocklist-enabled\": false,\n"
           "  \"ratio-limit-enabled\": false,\n"
           "  \"idle-seeding-limit-enabled\": false,\n"
           "  \"speed-limit-up-enabled\": false,\n"
           "  \"rpc-enabled\": false,\n"
           "  \"message-level\": 2\n"
           "}\n";
}

}  // namespace

bool StandardSeed::Available(const std::string& client, std::string& why) {
    if (client == "libtorrent") {
        if (std::system((kPython + " -c 'import libtorrent' >/dev/null 2>&1").c_str()) != 0) {
            why = "python3-libtorrent is not installed (scripts/bootstrap.sh installs it)";
            return false;
        }
        return true;
    }
    const std::string program = client == "aria2c" ? "aria2c" : "transmission-daemon";
    if (FindProgram(program).empty()) {
        why = program + " is not installed (scripts/bootstrap.sh installs it)";
        return false;
    }
    return true;
}

bool StandardSeed::Start() {
    fs::create_directories(setup_.workDir);
    if (setup_.client == "libtorrent") {
        return StartLibtorrent();
    }
    if (setup_.client == "aria2c") {
        return StartAria2();
    }
    return StartTransmission();
}

bool StandardSeed::Launch(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> all = {"netns", "exec", setup_.netns, program};
    all.insert(all.end(), args.begin(), args.end());
    return process_.Start(
        {FindProgram("ip"), all, setup_.workDir, setup_.workDir + "/seed.out", "", {}});
}

bool StandardSeed::StartLibtorrent() {
    std::vector<std::string> args = {
        std::string(KORUVAN_SOURCE_DIR) + "/tests/integration/fixtures/lt_peer.py",
        "--bind",
        setup_.address,
        "--port",
        std::to_string(setup_.port),
        "--save",
        setup_.saveDir,
        "--seed"};
    args.insert(args.end(), setup_.torrents.begin(), setup_.torrents.end());
    return Launch(kPython, args);
}

bool StandardSeed::StartAria2() {
    std::vector<std::string> args = {
        "--no-conf=true",
        "--dir=" + setup_.saveDir,
        "--check-integrity=true",
        "--seed-ratio=0.0",
        "--enable-dht=false",
        "--enable-dht6=false",
        "--bt-enable-lpd=false",
        "--enable-peer-exchange=false",
        "--disable-ipv6=true",
        "--listen-port=" + std::to_string(setup_.port),
        "--max-concurrent-downloads=" + std::to_string(setup_.torrents.size()),
        "--file-allocation=none",
        "--summary-interval=0",
        "--log=" + setup_.workDir + "/aria2.log",
        "--log-level=info"};
    args.insert(args.end(), setup_.torrents.begin(), setup_.torrents.end());
    return Launch(FindProgram("aria2c"), args);
}

bool StandardSeed::StartTransmission() {
    const std::string config = setup_.workDir + "/config";
    const std::string watch = setup_.workDir + "/watch";
    fs::create_directories(config);
    fs::create_directories(watch);
    std::ofstream(config + "/settings.json") << TransmissionSettings(setup_, watch);
    for (const std::string& torrent : setup_.torrents) {
        fs::copy_file(torrent, watch + "/" + fs::path(torrent).filename().string(),
                      fs::copy_options::overwrite_existing);
    }
    return Launch(FindProgram("transmission-daemon"),
                  {"--foreground", "--config-dir", config, "--logfile",
                   setup_.workDir + "/transmission.log"});
}

std::string StandardSeed::Log() const {
    std::string log = ReadFile(setup_.workDir + "/seed.out");
    for (const char* name : {"/aria2.log", "/transmission.log"}) {
        const std::string path = setup_.workDir + name;
        if (fs::exists(path)) {
            const std::string text = ReadFile(path);
            log += "\n" + text.substr(text.size() > 6000 ? text.size() - 6000 : 0);
        }
    }
    return log;
}

bool StartNamespaceTracker(TestProgram& tracker, const std::string& netns,
                           const std::string& address, int port, const std::string& workDir,
                           const std::vector<std::string>& infoHashesHex) {
    // opentracker changes into its folder and drops its privileges: others must read it.
    fs::create_directories(workDir);
    const auto readable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                          fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(workDir, readable);
    {
        std::ofstream whitelist(workDir + "/whitelist.txt");
        for (const std::string& hash : infoHashesHex) {
            whitelist << hash << "\n";
        }
    }
    fs::permissions(workDir + "/whitelist.txt", fs::perms::owner_read | fs::perms::owner_write |
                                                    fs::perms::group_read | fs::perms::others_read);
    const std::string portText = std::to_string(port);
    if (!tracker.Start({FindProgram("ip"),
                        {"netns", "exec", netns, FindProgram("opentracker"), "-i", address, "-p",
                         portText, "-P", portText, "-d", workDir, "-w", "whitelist.txt"},
                        workDir,
                        workDir + "/opentracker.log",
                        "",
                        {}})) {
        return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    return tracker.Running();
}

}  // namespace koruvan::test
