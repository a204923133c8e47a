#include "support/ProxyServers.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace koruvan::test {
namespace {

// SHA-512 crypt of DanteServer::kPassword (fixed salt), as it stands in a shadow file.
constexpr const char* kPasswordHash =
    "$6$kvtestsalt$NZwQoLITayJfJkgy4D.k7h/D7syUbpAlG0r.eJ3pn4tIJnTwl5RTisv6qyVyvIwIrGWPkllcmSx"
    "e9gXtLbPHE0";

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

}  // namespace

TinyproxyServer::TinyproxyServer(std::string workDir, int port, std::string user,
                                 std::string password)
    : workDir_(std::move(workDir)),
      port_(port),
      user_(std::move(user)),
      password_(std::move(password)) {}

bool TinyproxyServer::Start() {
    std::filesystem::create_directories(workDir_);
    std::string conf = "Port " + std::to_string(port_) +
                       "\nListen 127.0.0.1\nTimeout 60\nMaxClients 32\nAllow 127.0.0.1\n"
                       "LogLevel Info\nLogFile \"" +
                       workDir_ + "/tinyproxy.log\"\nPidFile \"" + workDir_ + "/tinyproxy.pid\"\n";
    if (!user_.empty()) {
        conf += "BasicAuth " + user_ + " " + password_ + "\n";
    }
    WriteText(workDir_ + "/tinyproxy.conf", conf);
    // -d: stay in the foreground, so the process group is ours to stop.
    if (!process_.Start({"tinyproxy", "-d", "-c", workDir_ + "/tinyproxy.conf"},
                        workDir_ + "/stderr.log")) {
        return false;
    }
    return WaitForTcpPort(port_);
}

DanteServer::DanteServer(std::string workDir, int port, bool requireLogin)
    : workDir_(std::move(workDir)), port_(port), requireLogin_(requireLogin) {}

bool DanteServer::Start() {
    std::filesystem::create_directories(workDir_);
    // Runs as root on loopback: the privileged and unprivileged users are both root, which
    // dante accepts with a warning. Connects may go anywhere on loopback.
    const std::string conf = "logoutput: " + workDir_ + "/danted.log\n" +
                             "internal: 127.0.0.1 port = " + std::to_string(port_) + "\n" +
                             "external: 127.0.0.1\n"
                             "clientmethod: none\n"
                             "socksmethod: " +
                             (requireLogin_ ? "username" : "none") +
                             "\n"
                             "user.privileged: root\n"
                             "user.unprivileged: root\n"
                             "client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
                             "socks pass {\n  from: 127.0.0.0/8 to: 127.0.0.0/8\n"
                             "  command: connect\n  protocol: tcp\n}\n";
    WriteText(workDir_ + "/danted.conf", conf);
    const std::string danted = FindProgram("danted");
    if (danted.empty()) {
        return false;
    }
    const std::string run =
        danted + " -f " + workDir_ + "/danted.conf -p " + workDir_ + "/danted.pid -N 1";
    bool started = false;
    if (requireLogin_) {
        WriteText(workDir_ + "/passwd",
                  "root:x:0:0:root:/root:/bin/sh\n"
                  "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n" +
                      std::string(kUser) + ":x:40123:40123::/nonexistent:/usr/sbin/nologin\n");
        WriteText(workDir_ + "/shadow", "root:*:19000:0:99999:7:::\n" + std::string(kUser) + ":" +
                                            kPasswordHash + ":19000:0:99999:7:::\n");
        ::chmod((workDir_ + "/shadow").c_str(), 0600);
        const std::string script = "mount --bind " + workDir_ + "/passwd /etc/passwd && " +
                                   "mount --bind " + workDir_ + "/shadow /etc/shadow && exec " +
                                   run;
        started =
            process_.Start({"unshare", "--mount", "--propagation", "private", "sh", "-c", script},
                           workDir_ + "/stderr.log");
    } else {
        started = process_.Start(
            {danted, "-f", workDir_ + "/danted.conf", "-p", workDir_ + "/danted.pid", "-N", "1"},
            workDir_ + "/stderr.log");
    }
    return started && WaitForTcpPort(port_) && process_.Running();
}

}  // namespace koruvan::test
