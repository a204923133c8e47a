#include "support/StatisticsReceiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "support/WaitFor.h"

namespace koruvan::test {
namespace {

constexpr int kPollMs = 20;
constexpr int kReadPatienceMs = 5000;

// Reads until `text` holds the whole request (headers and a Content-Length body); false
// when the client stops sending or closes first.
bool ReadRequest(int connection, std::string& text, std::size_t& headerEnd, std::size_t& length) {
    char buffer[16384];
    for (;;) {
        headerEnd = text.find("\r\n\r\n");
        if (headerEnd != std::string::npos) {
            const std::size_t at = text.find("Content-Length: ");
            length = at < headerEnd ? std::strtoul(text.c_str() + at + 16, nullptr, 10) : 0;
            if (text.size() >= headerEnd + 4 + length) {
                return true;
            }
        }
        pollfd p{connection, POLLIN, 0};
        if (poll(&p, 1, kReadPatienceMs) <= 0) {
            return false;
        }
        const ssize_t n = recv(connection, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return false;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace

StatisticsReceiver::StatisticsReceiver(Answer answer) : answer_(answer) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd, 64) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return;
    }
    listener_ = fd;
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread(&StatisticsReceiver::Serve, this);
}

StatisticsReceiver::~StatisticsReceiver() {
    stop_.store(true);
    if (thread_.joinable()) {
        thread_.join();
    }
    for (const int connection : hanging_) {
        close(connection);
    }
    if (listener_ >= 0) {
        close(listener_);
    }
}

std::string StatisticsReceiver::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<StatisticsReceiver::Request> StatisticsReceiver::Requests() const {
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
}

std::size_t StatisticsReceiver::Count() const {
    std::lock_guard<std::mutex> guard(lock_);
    return requests_.size();
}

bool StatisticsReceiver::WaitForRequests(std::size_t count, std::chrono::milliseconds limit) const {
    return WaitFor([&] { return Count() >= count; }, limit);
}

void StatisticsReceiver::Serve() {
    while (!stop_.load()) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, kPollMs) <= 0) {
            continue;
        }
        const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0) {
            Handle(connection);
        }
    }
}

void StatisticsReceiver::Handle(int connection) {
    std::string text;
    std::size_t headerEnd = 0;
    std::size_t length = 0;
    if (!ReadRequest(connection, text, headerEnd, length)) {
        close(connection);
        return;
    }
    Request request;
    const std::size_t pathStart = text.find(' ') + 1;
    request.path = text.substr(pathStart, text.find(' ', pathStart) - pathStart);
    request.body = text.substr(headerEnd + 4, length);
    {
        std::lock_guard<std::mutex> guard(lock_);
        requests_.push_back(std::move(request));
    }
    std::string status = "200 OK";
    std::string content = "{\"error\":0}";
    switch (answer_.load()) {
        case Answer::Hang:
            hanging_.push_back(connection);
            return;
        case Answer::Refuse:
            content = "{\"error\":1}";
            break;
        case Answer::ServerError:
            status = "500 Internal Server Error";
            content = "failed";
            break;
        case Answer::Accept:
            break;
    }
    const std::string reply = "HTTP/1.1 " + status + "\r\nContent-Type: application/json\r\n" +
                              "Content-Length: " + std::to_string(content.size()) +
                              "\r\nConnection: close\r\n\r\n" + content;
    (void)send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
    close(connection);
}

}  // namespace koruvan::test
