// Standard BitTorrent clients as leechers: python3-libtorrent (fixtures/lt_peer.py),
// aria2c and transmission-daemon, each started with a configuration of its own in the test's
// folder, inside a network namespace or on a loopback address, and never reaching beyond
// it (no DHT, local discovery, peer exchange, port mapping or uTP). They find their seed
// through the torrents' tracker.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "support/TestProgram.h"

namespace koruvan::test {

enum class LeecherKind { kLibtorrent, kAria2, kTransmission };

[[nodiscard]] const char* LeecherName(LeecherKind kind);

struct LeecherSetup {
    LeecherKind kind = LeecherKind::kLibtorrent;
    std::string netns;    // empty: the host
    std::string address;  // its own address (a namespace's or 127.0.0.x)
    std::string workDir;  // configuration and log
    std::string saveDir;
    std::vector<std::string> torrents;
};

class LeecherClient {
  public:
    // Starts the client; false (with the reason in Problem) when it is missing or did not
    // start.
    bool Start(const LeecherSetup& setup);
    // Waits until every torrent is complete in the save folder under its final name (the
    // client says so, or, for transmission, the files carry their final names and sizes);
    // false after `limit`.
    bool WaitComplete(const std::vector<std::uint64_t>& sizes,
                      const std::vector<std::string>& names, std::chrono::seconds limit);
    [[nodiscard]] std::string Log() const;
    [[nodiscard]] const std::string& Problem() const { return problem_; }

  private:
    std::vector<std::string> Command() const;
    bool WriteTransmissionSettings() const;

    LeecherSetup setup_;
    TestProgram process_;
    std::string problem_;
};

}  // namespace koruvan::test
