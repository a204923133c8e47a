// A tracker played by the test on 127.0.0.1: a UDP socket that answers datagrams as the
// test scripts it, or a TCP listener that collects one client's request and writes the
// answer in the pieces the test chooses. Header only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <initializer_list>
#include <string>

#include "engine/peers/Resolver.h"

namespace koruvan::test {

inline std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (const int v : values) {
        out += static_cast<char>(v);
    }
    return out;
}

// A loopback socket of the test playing the tracker.
class ScriptedTracker {
  public:
    explicit ScriptedTracker(bool udp) {
        fd_ = ::socket(AF_INET, (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(0x7F000001);
        socklen_t size = sizeof a;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size);
        port_ = ntohs(a.sin_port);
        if (!udp) {
            ::listen(fd_, 4);
        }
    }
    ~ScriptedTracker() {
        if (client_ >= 0) {
            ::close(client_);
        }
        ::close(fd_);
    }
    std::uint16_t Port() const { return port_; }

    // UDP: one waiting datagram (empty when none); `from` gets the sender.
    std::string ReceiveDatagram() {
        char buffer[4096];
        socklen_t size = sizeof from_;
        const ssize_t n =
            ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from_), &size);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }
    void Answer(const std::string& datagram) {
        ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&from_),
                 sizeof from_);
    }
    std::string SenderAddress() const { return engine::FormatDotted(from_.sin_addr.s_addr); }

    // TCP: accepts the client once, then collects what it sent.
    std::string ReadStream() {
        if (client_ < 0) {
            socklen_t size = sizeof from_;
            client_ = ::accept(fd_, reinterpret_cast<sockaddr*>(&from_), &size);
        }
        char buffer[4096];
        const ssize_t n = client_ >= 0 ? ::recv(client_, buffer, sizeof buffer, MSG_DONTWAIT) : -1;
        if (n > 0) {
            stream_.append(buffer, static_cast<std::size_t>(n));
        }
        return stream_;
    }
    void Write(const std::string& data) { ::send(client_, data.data(), data.size(), 0); }
    void CloseClient() {
        ::close(client_);
        client_ = -2;
    }

  private:
    int fd_ = -1;
    int client_ = -1;
    std::uint16_t port_ = 0;
    sockaddr_in from_{};
    std::string stream_;
};

// A UDP tracker answer of `action` to `request`, echoing its transaction id.
inline std::string UdpAnswer(std::uint32_t action, const std::string& request,
                             const std::string& rest) {
    return Bytes({0, 0, 0, static_cast<int>(action)}) + request.substr(12, 4) + rest;
}

}  // namespace koruvan::test
