#include "support/OpentrackerServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace koruvan::test {
namespace {

bool Bindable(int type, int port) {
    const int fd = socket(AF_INET, type, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

// One plain HTTP exchange with 127.0.0.1:port; the whole answer, empty on failure.
std::string HttpGet(int port, const std::string& path) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    timeval limit{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
        if (send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
            char buffer[2048];
            ssize_t n = 0;
            while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
                answer.append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
    close(fd);
    return answer;
}

}  // namespace

int FreeTcpUdpPort() {
    for (int i = 0; i < 50; ++i) {
        const int port = FreeTcpPort();
        if (port > 0 && Bindable(SOCK_DGRAM, port)) {
            return port;
        }
    }
    return 0;
}

OpentrackerServer::OpentrackerServer(std::string workDir, std::vector<std::string> infoHashesHex)
    : workDir_(std::move(workDir)), hashes_(std::move(infoHashesHex)) {}

std::string OpentrackerServer::Url(const std::string& scheme) const {
    return scheme + "://127.0.0.1:" + std::to_string(port_) + "/announce";
}

bool OpentrackerServer::Answers() const {
    if (hashes_.empty()) {
        return false;
    }
    std::string hash;
    for (std::size_t i = 0; i + 1 < hashes_.front().size(); i += 2) {
        hash += "%" + hashes_.front().substr(i, 2);
    }
    // A "stopped" announce of a peer that never started: it leaves no trace.
    const std::string answer =
        HttpGet(port_, "/announce?info_hash=" + hash +
                           "&peer_id=-KVTEST-000000000000&port=1&uploaded=0&downloaded=0"
                           "&left=0&event=stopped&compact=1");
    return answer.find("interval") != std::string::npos;
}

bool OpentrackerServer::Start() {
    Stop();
    port_ = FreeTcpUdpPort();
    // opentracker changes to user "nobody" inside its chroot: the folder and the whitelist
    // must be readable for it.
    chmod(workDir_.c_str(), 0755);
    {
        std::ofstream whitelist(workDir_ + "/whitelist.txt");
        for (const std::string& h : hashes_) {
            whitelist << h << "\n";
        }
    }
    chmod((workDir_ + "/whitelist.txt").c_str(), 0644);
    const std::string port = std::to_string(port_);
    if (port_ == 0 || !process_.Start({"opentracker", "-i", "127.0.0.1", "-p", port, "-P", port,
                                       "-d", workDir_, "-w", "whitelist.txt"},
                                      workDir_ + "/opentracker.log")) {
        return false;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
        if (!process_.Running()) {
            return false;
        }
        if (Answers()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

}  // namespace koruvan::test
