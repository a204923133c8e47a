// Fuzz target for incoming KRPC messages of the DHT node.
//
// The first byte picks the way in. Even: the rest is a datagram from another node, queued
// and processed as the node's thread does. Odd: the rest is the inside of a response
// dictionary ("r"), wrapped with the transaction id of a query the node has outstanding, so
// that it reaches the ping bookkeeping and the lookups. Every answer the node sends must
// parse as bencode and stay within the datagram limit; nothing may crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "engine/dht/CKadActionBitTorrent.h"
#include "engine/dht/CKademlia.h"
#include "engine/peers/BencodeCodec.h"

namespace {

using namespace koruvan::engine;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

std::uint32_t Address(std::uint8_t host) {
    const std::uint8_t bytes[4] = {198, 51, 100, host};
    std::uint32_t ip = 0;
    __builtin_memcpy(&ip, bytes, 4);
    return ip;
}

struct Harness {
    std::vector<std::string> sent;
    std::uint32_t seconds = 1000;
    std::unique_ptr<CKademlia> node;

    Harness() {
        node = std::make_unique<CKademlia>(
            KadClock{[this] { return seconds; }, [this] { return seconds * 1000; }});
        node->SetNodeFilePath("");
        node->SetSender([this](const void* data, int len, std::uint32_t, int) {
            sent.emplace_back(static_cast<const char*>(data), static_cast<std::size_t>(len));
            return true;
        });
        node->Open();
    }

    // A few contacts, a lookup with queries outstanding and a ping, for responses to meet.
    KadNode Prepare() {
        for (std::uint8_t i = 1; i <= 6; ++i) {
            node->Table().Insert(
                MakeNode(KadNodeId({i * 0x10000000u, 0, 0, 0, i}), Address(i), 6881), true, false,
                seconds);
        }
        auto action =
            std::make_shared<CKadActionBitTorrent>(*node, KadNodeId({0x30000000u, 0, 0, 0, 9}));
        action->SetAnnouncePort(7001);
        node->StartAction(action);
        action->Step();
        return MakeNode(KadNodeId({0x30000000u, 0, 0, 0, 3}), Address(3), 6881);
    }

    void CheckSent() {
        for (const std::string& datagram : sent) {
            Check(datagram.size() <= 1500);
            Check(ParseBencode(datagram) != nullptr);
        }
        sent.clear();
    }
};

std::string LastTransactionId(const std::vector<std::string>& sent) {
    for (auto it = sent.rbegin(); it != sent.rend(); ++it) {
        const auto tree = ParseBencode(*it);
        if (tree != nullptr) {
            if (const QElement* t = tree->Find("t")) {
                return std::string(t->GetText());
            }
        }
    }
    return std::string(8, '\0');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > 8192) {
        return 0;
    }
    Harness h;
    const std::uint8_t* rest = data + 1;
    const std::size_t length = size - 1;
    if ((data[0] & 1) == 0) {
        auto copy = std::make_unique<std::uint8_t[]>(length + 1);
        __builtin_memcpy(copy.get(), rest, length);
        copy[length] = 0;
        h.node->HandleDatagram(copy.get(), static_cast<int>(length), Address(200), 6881);
        h.node->ProcessReceived();
    } else {
        const KadNode from = h.Prepare();
        const std::string tid = LastTransactionId(h.sent);
        h.CheckSent();
        const std::string message = "d1:rd2:id20:" + from.id.Bytes() +
                                    std::string(reinterpret_cast<const char*>(rest), length) +
                                    "e1:t8:" + tid + "1:y1:re";
        h.node->HandleDatagram(reinterpret_cast<const std::uint8_t*>(message.data()),
                               static_cast<int>(message.size()), from.ip, from.port);
        h.node->ProcessReceived();
        h.seconds += 11;
        h.node->Housekeeping();
    }
    h.CheckSent();
    h.node->Close();
    return 0;
}
