// Real proxies for integration tests, started on 127.0.0.1 with their configuration, logs
// and pid files under a work folder, and stopped (with their process group) at the end.
#pragma once

#include <string>

#include "support/LocalServer.h"

namespace koruvan::test {

// tinyproxy: an HTTP proxy that opens CONNECT tunnels to any port; with a user it asks for
// Basic proxy authorization.
class TinyproxyServer {
  public:
    TinyproxyServer(std::string workDir, int port, std::string user = "",
                    std::string password = "");
    ~TinyproxyServer() { Stop(); }
    bool Start();
    void Stop() { process_.Stop(); }
    int Port() const { return port_; }

  private:
    std::string workDir_;
    int port_;
    std::string user_;
    std::string password_;
    ChildProcess process_;
};

// dante (danted): a SOCKS4 and SOCKS5 proxy for TCP connects. With user authentication the
// SOCKS5 clients must log in (RFC 1929) as kUser with kPassword. dante checks passwords
// against the system's account files, so the account exists only for the proxy: it runs in
// a private mount namespace where a passwd and shadow file of the work folder are mounted
// over the system's (nothing outside that namespace changes).
class DanteServer {
  public:
    static constexpr const char* kUser = "kvproxy";
    static constexpr const char* kPassword = "pr0xy-pass";

    DanteServer(std::string workDir, int port, bool requireLogin = false);
    ~DanteServer() { Stop(); }
    // False when danted (or, for logins, a private mount namespace) is not available.
    bool Start();
    void Stop() { process_.Stop(); }
    int Port() const { return port_; }

  private:
    std::string workDir_;
    int port_;
    bool requireLogin_;
    ChildProcess process_;
};

}  // namespace koruvan::test
