// A deterministic network for UDP server tests: nodes (QUInternalServer without its
// thread) and the real rendezvous logic exchange datagrams through queues, on one
// hand-driven clock, with optional loss, duplication and reordering.
#pragma once

#include <arpa/inet.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <vector>

#include "engine/dht/QUInternalServer.h"
#include "tools/koruvan-rendezvous/RendezvousCore.h"

namespace koruvan::engine::test {

// A hand-driven clock. Sleeps and timed waits pass at once, as if the time had gone by;
// with blockWaits set a waiting caller blocks for real until it is woken (a test then
// sees that the wake came from the event, not from time passing).
class ManualUdpClock final : public UdpClock {
  public:
    std::uint32_t Tick() noexcept override { return tick; }
    std::uint32_t Seconds() noexcept override { return seconds; }
    void Sleep(std::uint32_t ms) noexcept override { tick += ms; }
    void Wait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, std::int64_t ms,
              const std::function<bool()>& ready) noexcept override {
        if (ready()) {
            return;
        }
        if (ms >= 0 && !blockWaits) {
            tick += static_cast<std::uint32_t>(ms);
            return;
        }
        ++blockedWaits;
        cv.wait(lock, ready);
    }
    std::atomic<std::uint32_t> tick{100000};
    std::atomic<std::uint32_t> seconds{1000};
    std::atomic<bool> blockWaits{false};
    std::atomic<int> blockedWaits{0};
};

inline std::uint32_t Ip(const char* dotted) {
    return inet_addr(dotted);
}

struct Sent {
    std::vector<std::uint8_t> bytes;
    std::uint32_t fromIp = 0;
    int fromPort = 0;
    std::uint32_t toIp = 0;
    int toPort = 0;
};

class UdpTestNet {
  public:
    static constexpr int kServerPort = 82;

    UdpTestNet() : rendezvous_(rendezvous::Limits{}, nullptr) {}

    // A node at ip:port with its own identity byte; transport enabled.
    QUInternalServer& AddNode(const char* ip, int port, std::uint8_t idByte) {
        auto node = std::make_unique<Node>();
        node->ip = Ip(ip);
        node->port = port;
        node->server = std::make_unique<QUInternalServer>(&clock);
        UdpServerConfig config;
        std::snprintf(config.serverHost, sizeof(config.serverHost), "%s", "192.0.2.1");
        config.serverPort = kServerPort;
        config.localPort = port;
        config.localIp = node->ip;
        config.keepAliveSeconds = 52;
        config.connectTimeoutSeconds = 30;
        for (int i = 0; i < 8; ++i) {
            config.nodeId[i] = static_cast<std::uint8_t>(idByte + i);
        }
        node->server->Configure(config);
        node->server->SetTransportDisabled(false);
        Node* raw = node.get();
        node->server->SetDatagramSink(
            [this, raw](const std::uint8_t* d, int len, std::uint32_t to, int toPort) {
                Sent s{std::vector<std::uint8_t>(d, d + len), raw->ip, raw->port, to, toPort};
                log.push_back(s);
                queue_.push_back(std::move(s));
                return 0;
            });
        nodes_.push_back(std::move(node));
        return *raw->server;
    }

    // Delivers queued datagrams (and those they cause) until none is left.
    void Pump(int limit = 100000) {
        while (!queue_.empty() && limit-- > 0) {
            Sent s = std::move(queue_.front());
            queue_.pop_front();
            if (Drop()) {
                continue;
            }
            if (dupPercent > 0 && Chance(dupPercent)) {
                queue_.push_back(s);
            }
            if (reorderPercent > 0 && !queue_.empty() && Chance(reorderPercent)) {
                std::swap(s, queue_.front());
            }
            Deliver(s);
        }
    }

    // Advances the clock in steps of stepMs, running every node's timers and the network.
    void Run(std::uint32_t ms, std::uint32_t stepMs = 10) {
        for (std::uint32_t t = 0; t < ms; t += stepMs) {
            clock.tick += stepMs;
            msInSecond_ += stepMs;
            while (msInSecond_ >= 1000) {
                msInSecond_ -= 1000;
                ++clock.seconds;
            }
            for (auto& n : nodes_) {
                n->server->RunTimers();
            }
            Pump();
            if (between) {
                between();
            }
        }
    }

    // Datagrams a node sent to an address, of a given length (0: any).
    std::vector<Sent> SentTo(std::uint32_t ip, std::size_t length = 0) const {
        std::vector<Sent> out;
        for (const Sent& s : log) {
            if (s.toIp == ip && (length == 0 || s.bytes.size() == length)) {
                out.push_back(s);
            }
        }
        return out;
    }

    ManualUdpClock clock;
    std::vector<Sent> log;
    int lossPercent = 0;
    int dupPercent = 0;
    int reorderPercent = 0;
    std::function<void()> between;
    rendezvous::RendezvousCore& Rendezvous() { return rendezvous_; }

  private:
    struct Node {
        std::uint32_t ip = 0;
        int port = 0;
        std::unique_ptr<QUInternalServer> server;
    };

    bool Chance(int percent) { return static_cast<int>(random_() % 100) < percent; }
    bool Drop() { return lossPercent > 0 && Chance(lossPercent); }

    void Deliver(const Sent& s) {
        if (s.toIp == Ip("192.0.2.1") && s.toPort == kServerPort) {
            const auto out = rendezvous_.Handle(
                s.bytes.data(), s.bytes.size(),
                rendezvous::Endpoint{s.fromIp, static_cast<std::uint16_t>(s.fromPort)},
                static_cast<std::int64_t>(clock.tick));
            for (const auto& d : out) {
                queue_.push_back(Sent{d.bytes, Ip("192.0.2.1"), kServerPort, d.to.ip, d.to.port});
            }
            return;
        }
        for (auto& n : nodes_) {
            if (n->ip == s.toIp && n->port == s.toPort) {
                std::vector<std::uint8_t> copy = s.bytes;
                copy.push_back(0);
                n->server->HandleDatagram(copy.data(), static_cast<int>(s.bytes.size()), s.fromIp,
                                          s.fromPort);
            }
        }
    }

    rendezvous::RendezvousCore rendezvous_;
    std::vector<std::unique_ptr<Node>> nodes_;
    std::deque<Sent> queue_;
    std::mt19937 random_{12345};
    std::uint32_t msInSecond_ = 0;
};

}  // namespace koruvan::engine::test
