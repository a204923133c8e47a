// Standard BitTorrent clients as seeds inside a network namespace: python3-libtorrent
// (fixtures/lt_peer.py), aria2c and transmission-daemon, each with its configuration in the
// test's folder and every way off the local network switched off (no DHT, no local service
// discovery, no peer exchange, no port mapping). And opentracker on a namespace address.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/TestProgram.h"

namespace koruvan::test {

struct StandardSeedSetup {
    std::string client;   // "libtorrent", "aria2c" or "transmission"
    std::string netns;    // the namespace it runs in
    std::string address;  // its address there
    int port = 6881;
    std::string saveDir;  // holds the complete files
    std::string workDir;  // configuration and logs
    std::vector<std::string> torrents;
};

class StandardSeed {
  public:
    explicit StandardSeed(StandardSeedSetup setup) : setup_(std::move(setup)) {}
    // Whether the client's program is installed; the reason when it is not.
    [[nodiscard]] static bool Available(const std::string& client, std::string& why);
    // Starts the client; it checks the files and announces them to the torrents' trackers.
    bool Start();
    [[nodiscard]] bool Running() { return process_.Running(); }
    // The client's log (its output and, where it writes one, its log file).
    [[nodiscard]] std::string Log() const;

  private:
    bool StartLibtorrent();
    bool StartAria2();
    bool StartTransmission();
    bool Launch(const std::string& program, const std::vector<std::string>& args);

    StandardSeedSetup setup_;
    TestProgram process_;
};

// opentracker serving `infoHashesHex` (whitelisted) on `address:port` inside `netns`.
// False when it did not come up.
bool StartNamespaceTracker(TestProgram& tracker, const std::string& netns,
                           const std::string& address, int port, const std::string& workDir,
                           const std::vector<std::string>& infoHashesHex);

}  // namespace koruvan::test
