// The scripted HTTP server (fixtures/scripted_http.py) in one of its modes, serving a folder
// on a free port of 127.0.0.1: the behaviours of web servers that nginx never shows.
#pragma once

#include <string>
#include <vector>

#include "support/LocalServer.h"

namespace koruvan::test {

class ScriptedServer {
  public:
    // `mode`: one mode, or several separated by commas that answer connections in turn.
    // `log`: the server's count of bytes sent; `sndbuf`: its socket send buffer.
    bool Start(const std::string& root, const std::string& mode, const std::string& log = "",
               int sndbuf = 0) {
        port_ = FreeTcpPort();
        std::vector<std::string> argv = {
            "/usr/bin/python3",
            std::string(KORUVAN_SOURCE_DIR) + "/tests/integration/fixtures/scripted_http.py",
            "--root",
            root,
            "--port",
            std::to_string(port_),
            "--mode",
            mode};
        if (!log.empty()) {
            argv.insert(argv.end(), {"--log", log});
        }
        if (sndbuf > 0) {
            argv.insert(argv.end(), {"--sndbuf", std::to_string(sndbuf)});
        }
        return process_.Start(argv) && WaitForTcpPort(port_);
    }
    [[nodiscard]] std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

  private:
    int port_ = 0;
    ChildProcess process_;
};

}  // namespace koruvan::test
