#include "engine/dht/KadNode.h"

#include <cstring>

namespace koruvan::engine {

KadNode MakeNode(const KadNodeId& id, std::uint32_t ip, std::uint16_t port) {
    KadNode n;
    n.id = id;
    n.ip = ip;
    n.port = port;
    return n;
}

void AppendCompactNode(const KadNode& node, std::string& out) {
    out += node.id.Bytes();
    AppendCompactPeer(node.ip, node.port, out);
}

std::vector<KadNode> ReadCompactNodes(std::string_view bytes) {
    std::vector<KadNode> nodes;
    for (std::size_t at = 0; at + kCompactNodeBytes <= bytes.size(); at += kCompactNodeBytes) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data() + at);
        std::uint32_t ip = 0;
        std::memcpy(&ip, p + 20, 4);
        const auto port = static_cast<std::uint16_t>((p[24] << 8) | p[25]);
        nodes.push_back(MakeNode(KadNodeId::FromBytes(p), ip, port));
    }
    return nodes;
}

void AppendCompactPeer(std::uint32_t ip, std::uint16_t port, std::string& out) {
    char bytes[6];
    std::memcpy(bytes, &ip, 4);
    bytes[4] = static_cast<char>(port >> 8);
    bytes[5] = static_cast<char>(port & 0xFF);
    out.append(bytes, 6);
}

std::string DottedIp(std::uint32_t ip) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&ip);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
           std::to_string(b[3]);
}

}  // namespace koruvan::engine
