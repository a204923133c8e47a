// opentracker for integration tests: HTTP and UDP announces on one free port of 127.0.0.1,
// serving only the info hashes the test whitelists (Debian builds it that way). Started
// with its whitelist in a work folder (its chroot), stopped with its process group.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/LocalServer.h"

namespace koruvan::test {

class OpentrackerServer {
  public:
    // `infoHashesHex`: 40 hexadecimal digits each.
    OpentrackerServer(std::string workDir, std::vector<std::string> infoHashesHex);
    ~OpentrackerServer() { Stop(); }
    OpentrackerServer(const OpentrackerServer&) = delete;
    OpentrackerServer& operator=(const OpentrackerServer&) = delete;

    // False when opentracker is missing or did not serve the first hash within 10 seconds.
    bool Start();
    void Stop() { process_.Stop(); }
    int Port() const { return port_; }
    // "http://127.0.0.1:<port>/announce" or "udp://127.0.0.1:<port>/announce".
    std::string Url(const std::string& scheme) const;

  private:
    bool Answers() const;

    std::string workDir_;
    std::vector<std::string> hashes_;
    int port_ = 0;
    ChildProcess process_;
};

// A port free for both TCP and UDP on 127.0.0.1.
int FreeTcpUdpPort();

}  // namespace koruvan::test
