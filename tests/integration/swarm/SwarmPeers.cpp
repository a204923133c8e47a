#include "integration/swarm/SwarmPeers.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "support/LocalServer.h"
#include "support/TempDir.h"

namespace koruvan::test {
namespace {

const std::string kPython = "/usr/bin/python3";

std::string Fixture() {
    return std::string(KORUVAN_SOURCE_DIR) + "/tests/integration/fixtures/lt_peer.py";
}

bool Shell(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

bool LibtorrentAvailable(std::string& why) {
    if (access(kPython.c_str(), X_OK) != 0) {
        why = "Debian's /usr/bin/python3 is missing";
        return false;
    }
    if (!Shell(kPython + " -c 'import libtorrent'")) {
        why = "python3-libtorrent is not installed (scripts/bootstrap.sh installs it)";
        return false;
    }
    return true;
}

bool LibtorrentPeer::Start(const LibtorrentOptions& o) {
    std::vector<std::string> args = {Fixture(), "--bind", o.bind, "--port", std::to_string(o.port),
                                     "--save",  o.saveDir};
    if (o.seed) {
        args.push_back("--seed");
    }
    for (const std::string& peer : o.peers) {
        args.insert(args.end(), {"--peer", peer});
    }
    if (o.uploadLimit > 0) {
        args.insert(args.end(), {"--upload-limit", std::to_string(o.uploadLimit)});
    }
    if (o.timeoutSeconds > 0) {
        args.insert(args.end(), {"--timeout", std::to_string(o.timeoutSeconds)});
    }
    args.insert(args.end(), o.torrents.begin(), o.torrents.end());
    std::filesystem::create_directories(o.saveDir);
    if (!process_.Start({kPython, args, o.saveDir, log_, "", {"PYTHONUNBUFFERED=1"}})) {
        return false;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < end && process_.Running()) {
        const std::string log = Log();
        const std::size_t at = log.find("listening ");
        if (at != std::string::npos && log.find('\n', at) != std::string::npos) {
            port_ = std::atoi(log.c_str() + at + 10);
            return port_ > 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

std::string LibtorrentPeer::Log() const {
    return ReadFile(log_);
}

std::unique_ptr<TestProgram> StartCli(const CliRun& run, const std::vector<std::string>& args,
                                      const std::string& tag) {
    std::filesystem::create_directories(run.workDir);
    std::vector<std::string> all;
    std::string program = KORUVAN_CLI_PATH;
    if (!run.netns.empty()) {
        all = {"netns", "exec", run.netns, program};
        program = FindProgram("ip");
    }
    all.insert(all.end(), {"--plan", run.plan, "--data-dir", run.dataDir});
    all.insert(all.end(), args.begin(), args.end());
    auto process = std::make_unique<TestProgram>();
    if (!process->Start({program,
                         all,
                         run.workDir,
                         run.workDir + "/" + tag + ".out",
                         run.workDir + "/" + tag + ".err",
                         {"XDG_RUNTIME_DIR=" + run.workDir}})) {
        return nullptr;
    }
    return process;
}

CliResult CliOutput(const CliRun& run, const std::string& tag) {
    CliResult result;
    result.out = ReadFile(run.workDir + "/" + tag + ".out");
    result.err = ReadFile(run.workDir + "/" + tag + ".err");
    return result;
}

std::string PlanVariant(const TestGame& game, const std::string& name,
                        const std::string& p2pLines) {
    std::string plan = ReadFile(game.PlanFile());
    const std::size_t start = plan.find("\n[p2p]\n");
    if (start != std::string::npos) {
        const std::size_t next = plan.find("\n[", start + 7);
        // A rendezvous server the test names, so that the built-in name is never looked up.
        const std::string rendezvous =
            p2pLines.find("rendezvous") == std::string::npos ? "rendezvous = 127.0.0.1:82\n" : "";
        plan = plan.substr(0, start + 7) + p2pLines + rendezvous +
               (next == std::string::npos ? std::string() : plan.substr(next + 1));
    }
    const std::string path =
        std::filesystem::path(game.PlanFile()).parent_path().string() + "/" + name;
    WriteFile(path, plan);
    return path;
}

namespace {

// The scrape answer holds "8:completei<N>e" for the hash; true when N > 0.
bool HasSeed(const std::string& scrape) {
    const std::size_t at = scrape.find("8:completei");
    return at != std::string::npos && at + 11 < scrape.size() && scrape[at + 11] >= '1' &&
           scrape[at + 11] <= '9';
}

}  // namespace

bool WaitForSeeds(const std::string& host, int port, const std::vector<std::string>& infoHashesHex,
                  const std::string& netns, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    const std::string prefix =
        netns.empty() ? "" : FindProgram("ip") + " netns exec " + netns + " ";
    for (const std::string& hex : infoHashesHex) {
        std::string encoded;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
            encoded += "%" + hex.substr(i, 2);
        }
        const std::string command = prefix + "curl -s -m 2 'http://" + host + ":" +
                                    std::to_string(port) + "/scrape?info_hash=" + encoded + "'";
        while (!HasSeed(CommandOutput(command))) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }
    return true;
}

// "file1  game.001.cab  …  (last run: web 123 B, peers 456 B)"
StatusBytes ParseStatusBytes(const std::string& statusOutput) {
    StatusBytes bytes;
    std::istringstream lines(statusOutput);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t at = line.find("(last run: web ");
        unsigned long long web = 0;
        unsigned long long peers = 0;
        if (at == std::string::npos ||
            std::sscanf(line.c_str() + at, "(last run: web %llu B, peers %llu B)", &web, &peers) !=
                2) {
            continue;
        }
        bytes.web += web;
        bytes.peers += peers;
        bytes.filesWithBoth += web > 0 && peers > 0 ? 1 : 0;
    }
    return bytes;
}

double SeedSentBytes(const std::string& liveLines) {
    static const std::regex sent("sent ([0-9.]+) (B|KB|MB|GB)");
    double bytes = 0;
    for (auto it = std::sregex_iterator(liveLines.begin(), liveLines.end(), sent);
         it != std::sregex_iterator(); ++it) {
        const std::string unit = (*it)[2];
        // The live line counts in units of 1024.
        const double scale = unit == "GB"   ? 1073741824.0
                             : unit == "MB" ? 1048576.0
                             : unit == "KB" ? 1024.0
                                            : 1.0;
        bytes = std::stod((*it)[1]) * scale;
    }
    return bytes;
}

// --- the namespace network ----------------------------------------------------------------------

NamespaceLan::NamespaceLan(int hosts) : prefix_("kvs" + std::to_string(getpid())), hosts_(hosts) {
    if (geteuid() != 0 || FindProgram("ip").empty() || !Shell("ip netns list")) {
        problem_ = "network namespaces need root and ip";
        return;
    }
    const std::string sw = Switch();
    bool ok = Run("ip netns add " + sw) && Run("ip -n " + sw + " link set lo up") &&
              Run("ip -n " + sw + " link add br0 type bridge") &&
              Run("ip -n " + sw + " addr add " + SwitchAddress() + "/24 dev br0") &&
              Run("ip -n " + sw + " link set br0 up");
    for (int i = 0; ok && i < hosts_; ++i) {
        const std::string ns = Host(i);
        const std::string port = "p" + std::to_string(i);
        ok = Run("ip netns add " + ns) && Run("ip -n " + ns + " link set lo up") &&
             Run("ip -n " + sw + " link add " + port + " type veth peer name eth0 netns " + ns) &&
             Run("ip -n " + sw + " link set " + port + " master br0") &&
             Run("ip -n " + sw + " link set " + port + " up") &&
             Run("ip -n " + ns + " addr add " + Address(i) + "/24 dev eth0") &&
             Run("ip -n " + ns + " link set eth0 up") &&
             Run("ip -n " + ns + " route add 224.0.0.0/4 dev eth0");
    }
    ready_ = ok;
}

NamespaceLan::~NamespaceLan() {
    for (int i = 0; i < hosts_; ++i) {
        (void)Shell("ip netns del " + Host(i));
    }
    (void)Shell("ip netns del " + Switch());
}

std::string NamespaceLan::Host(int i) const {
    return prefix_ + "h" + std::to_string(i);
}

std::string NamespaceLan::Address(int i) const {
    return "198.51.100." + std::to_string(10 + i);
}

bool NamespaceLan::Run(const std::string& command) {
    if (Shell(command)) {
        return true;
    }
    if (problem_.empty()) {
        problem_ = "failed: " + command;
    }
    return false;
}

}  // namespace koruvan::test
