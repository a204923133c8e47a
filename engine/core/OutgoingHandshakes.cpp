#include "engine/core/OutgoingHandshakes.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace koruvan::engine {
namespace {

struct Table {
    std::mutex lock;
    std::vector<std::uint32_t> addresses;  // one entry per handshake; guarded by lock
};

Table& Handshakes() {
    static Table table;
    return table;
}

}  // namespace

void BeginOutgoingHandshake(std::uint32_t ip) {
    Table& t = Handshakes();
    std::lock_guard<std::mutex> guard(t.lock);
    t.addresses.push_back(ip);
}

void EndOutgoingHandshake(std::uint32_t ip) {
    Table& t = Handshakes();
    std::lock_guard<std::mutex> guard(t.lock);
    const auto it = std::find(t.addresses.begin(), t.addresses.end(), ip);
    if (it != t.addresses.end()) {
        t.addresses.erase(it);
    }
}

bool OutgoingHandshakeUnderWay(std::uint32_t ip) {
    Table& t = Handshakes();
    std::lock_guard<std::mutex> guard(t.lock);
    return std::find(t.addresses.begin(), t.addresses.end(), ip) != t.addresses.end();
}

}  // namespace koruvan::engine
