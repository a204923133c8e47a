// An in-process network of DHT nodes: each node's sender hands datagrams straight to the
// addressed node (or records them), and one hand-driven clock serves every node.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/dht/CKademlia.h"
#include "support/TempDir.h"

namespace koruvan::engine::test {

inline std::uint32_t Ip(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    const std::uint8_t bytes[4] = {a, b, c, d};
    std::uint32_t ip = 0;
    std::memcpy(&ip, bytes, 4);
    return ip;
}

inline KadNodeId IdWithTop(std::uint32_t top, std::uint32_t low = 1) {
    return KadNodeId({top, 0, 0, 0, low});
}

struct SentDatagram {
    std::string bytes;
    std::uint32_t ip = 0;
    int port = 0;
};

class KadTestNet {
  public:
    std::uint32_t seconds = 1000;
    std::uint32_t tick = 5000;
    std::vector<SentDatagram> unrouted;  // datagrams to addresses without a node

    KadClock Clock() {
        return KadClock{[this] { return seconds; }, [this] { return tick; }};
    }

    // A node at ip:port with its node file in the net's temporary folder.
    CKademlia& AddNode(std::uint32_t ip, std::uint16_t port) {
        auto node = std::make_unique<CKademlia>(Clock());
        CKademlia* self = node.get();
        node->SetNodeFilePath(dir.File("node-" + std::to_string(nodes.size()) + ".kad"));
        node->SetSender([this, ip, port](const void* data, int len, std::uint32_t to, int toPort) {
            const std::string bytes(static_cast<const char*>(data), static_cast<std::size_t>(len));
            auto it = addresses.find({to, toPort});
            if (it == addresses.end()) {
                unrouted.push_back({bytes, to, toPort});
                return true;
            }
            it->second->HandleDatagram(reinterpret_cast<const std::uint8_t*>(bytes.data()), len, ip,
                                       port);
            return true;
        });
        addresses[{ip, port}] = self;
        nodes.push_back(std::move(node));
        return *self;
    }

    // One 200 ms step of every open node, `n` times; the clock moves 200 ms per step.
    void Run(int n) {
        for (int i = 0; i < n; ++i) {
            tick += 200;
            if (tick % 1000 < 200) {
                ++seconds;
            }
            for (auto& node : nodes) {
                if (node->IsNodeRunning()) {
                    node->ProcessReceived();
                    node->Housekeeping();
                    node->PeriodicPass();
                }
            }
        }
    }

    ::koruvan::test::TempDir dir;
    std::vector<std::unique_ptr<CKademlia>> nodes;
    std::map<std::pair<std::uint32_t, int>, CKademlia*> addresses;
};

}  // namespace koruvan::engine::test
