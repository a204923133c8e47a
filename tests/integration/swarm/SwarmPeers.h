// Fixtures of the swarm tests: a reference BitTorrent peer (python3-libtorrent through
// fixtures/lt_peer.py), koruvan-cli runs with a plan variant of their own, and a small
// network of namespaces on a bridge (documentation addresses) for engine-to-engine runs.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "integration/CliTestGame.h"
#include "support/TestProgram.h"

namespace koruvan::test {

// Whether Debian's /usr/bin/python3 has libtorrent; the reason when it has not.
[[nodiscard]] bool LibtorrentAvailable(std::string& why);

struct LibtorrentOptions {
    std::string bind;  // local address, e.g. "127.0.0.2"
    int port = 0;      // 0: libtorrent's choice
    std::string saveDir;
    bool seed = false;  // the files are complete in saveDir
    std::vector<std::string> torrents;
    std::vector<std::string> peers;  // "ip:port" to connect to
    int uploadLimit = 0;             // bytes per second, 0: none
    int timeoutSeconds = 0;          // leecher: give up (exit 1) after this long
};

[[nodiscard]] inline LibtorrentOptions PeerOptions(std::string bind, std::string saveDir, bool seed,
                                                   std::vector<std::string> torrents) {
    LibtorrentOptions o;
    o.bind = std::move(bind);
    o.saveDir = std::move(saveDir);
    o.seed = seed;
    o.torrents = std::move(torrents);
    return o;
}

class LibtorrentPeer {
  public:
    explicit LibtorrentPeer(std::string logFile) : log_(std::move(logFile)) {}
    // Starts the peer and waits until it listens; false when it did not.
    bool Start(const LibtorrentOptions& options);
    [[nodiscard]] int Port() const { return port_; }
    // A leecher's exit code once it ends (0: every torrent complete); -1 after `limit`.
    int Wait(std::chrono::seconds limit) { return process_.Wait(limit, true); }
    [[nodiscard]] std::string Log() const;

  private:
    std::string log_;
    TestProgram process_;
    int port_ = 0;
};

// koruvan-cli with its own plan file, data folder and lock folder, optionally inside a
// network namespace (`ip netns exec`).
struct CliRun {
    std::string plan;
    std::string dataDir;
    std::string workDir;  // also XDG_RUNTIME_DIR: each run locks the plan for itself
    std::string netns;    // empty: the host
};

// Starts `koruvan-cli --plan --data-dir <args>`; output in workDir/<tag>.out and .err.
std::unique_ptr<TestProgram> StartCli(const CliRun& run, const std::vector<std::string>& args,
                                      const std::string& tag);
[[nodiscard]] CliResult CliOutput(const CliRun& run, const std::string& tag);

// A copy of the game's plan beside it, named `name`, whose [p2p] section is `p2pLines`.
[[nodiscard]] std::string PlanVariant(const TestGame& game, const std::string& name,
                                      const std::string& p2pLines);

// Waits until the tracker at `host:port` counts a seed for every info hash (its HTTP
// scrape, run inside `netns` when given), so that a peer started next is told of them.
[[nodiscard]] bool WaitForSeeds(const std::string& host, int port,
                                const std::vector<std::string>& infoHashesHex,
                                const std::string& netns = "",
                                std::chrono::seconds limit = std::chrono::seconds(30));

// Bytes from web sources and from peers that `status` reports for the five files.
struct StatusBytes {
    std::uint64_t web = 0;
    std::uint64_t peers = 0;
    int filesWithBoth = 0;  // files that got bytes from both kinds of source
};
[[nodiscard]] StatusBytes ParseStatusBytes(const std::string& statusOutput);

// The bytes `koruvan-cli seed` reported sent on its last live line ("sent 1.1 GB"), 0
// before any.
[[nodiscard]] double SeedSentBytes(const std::string& liveLines);

// Hosts in network namespaces on one bridge (198.51.100.0/24), for engine-to-engine runs
// and multicast discovery: host i is namespace "<prefix>h<i>" at 198.51.100.(10 + i); the
// bridge lives in namespace "<prefix>sw" at 198.51.100.1. Everything is deleted again by
// the destructor (also after a failed set-up).
class NamespaceLan {
  public:
    explicit NamespaceLan(int hosts);
    ~NamespaceLan();
    NamespaceLan(const NamespaceLan&) = delete;
    NamespaceLan& operator=(const NamespaceLan&) = delete;

    [[nodiscard]] bool Ready() const { return ready_; }
    [[nodiscard]] const std::string& Problem() const { return problem_; }
    [[nodiscard]] std::string Host(int i) const;     // its namespace
    [[nodiscard]] std::string Address(int i) const;  // its address
    [[nodiscard]] std::string Switch() const { return prefix_ + "sw"; }
    [[nodiscard]] static std::string SwitchAddress() { return "198.51.100.1"; }

  private:
    bool Run(const std::string& command);

    std::string prefix_;
    int hosts_;
    bool ready_ = false;
    std::string problem_;
};

}  // namespace koruvan::test
