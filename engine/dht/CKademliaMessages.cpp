// The node's side of KRPC: sorting received messages, answering queries and matching
// responses to pings and lookups.
#include <algorithm>
#include <cstring>

#include "engine/core/base/LockGuard.h"
#include "engine/dht/CKadAction.h"
#include "engine/dht/CKademlia.h"
#include "engine/dht/KrpcMessages.h"
#include "engine/peers/QElement.h"
#include "engine/peers/QMultiElement.h"

namespace koruvan::engine {
namespace {

// A string value of the dictionary, or null.
const QElement* StringValue(const QElement& dict, const char* key) {
    const QElement* e = dict.Find(key);
    return e != nullptr && e->Type() == kElementString ? e : nullptr;
}

const QElement* DictionaryValue(const QElement& dict, const char* key) {
    const QElement* e = dict.Find(key);
    return e != nullptr && e->Type() == kElementDictionary ? e : nullptr;
}

// A 20-byte id value, or nothing.
std::optional<KadNodeId> IdValue(const QElement& dict, const char* key) {
    const QElement* e = StringValue(dict, key);
    if (e == nullptr || e->GetTextLength() != static_cast<std::int32_t>(kKadIdBytes)) {
        return std::nullopt;
    }
    return KadNodeId::FromBytes(e->GetText());
}

}  // namespace

void CKademlia::ProcessReceived() {
    std::vector<Message> batch;
    {
        LockGuard guard(&ThreadLock(), true);
        batch.swap(queue_);
        queueFull_ = false;
    }
    for (const Message& m : batch) {
        ProcessMessage(m);
    }
}

void CKademlia::ProcessMessage(const Message& message) {
    const QElement& root = *message.tree;
    if (root.Type() != kElementDictionary) {
        return;
    }
    const QElement* y = StringValue(root, "y");
    const QElement* t = StringValue(root, "t");
    if (y == nullptr || t == nullptr || y->GetTextLength() < 1) {
        return;
    }
    const std::string tid(t->GetText());
    const char kind = y->GetText()[0];
    const char* bodyKey = kind == 'q' ? "a" : kind == 'r' ? "r" : kind == 'e' ? "e" : nullptr;
    if (bodyKey == nullptr) {
        return;
    }
    // This node's own transaction ids are 8 bytes; queries of other implementations carry
    // shorter ones, which are echoed as they came.
    if (kind == 'q' ? (tid.empty() || tid.size() > kMaxEchoedTransactionIdBytes)
                    : tid.size() != kTransactionIdBytes) {
        return;
    }
    const QElement* body = DictionaryValue(root, bodyKey);
    if (body == nullptr) {
        return;
    }
    const auto id = IdValue(*body, "id");
    if (!id) {
        return;
    }
    const KadNode sender = MakeNode(*id, message.ip, message.port);
    if (kind == 'q') {
        if (StringValue(root, "q") == nullptr) {
            return;
        }
        AnswerQuery(root, *body, sender, tid);
        table_.Insert(sender, false, false, Seconds());
    } else if (kind == 'r') {
        HandleResponse(*body, sender, tid);
    }
}

void CKademlia::SendResponse(const std::string& body, const KadNode& to, const std::string& tid) {
    if (const auto message = BuildResponse(OwnId(), body, tid)) {
        SendMessage(*message, to.ip, to.port);
    }
}

void CKademlia::AnswerQuery(const QElement& root, const QElement& args, const KadNode& sender,
                            const std::string& tid) {
    const std::string_view name = StringValue(root, "q")->GetText();
    const KadNodeId own = OwnId();
    if (name == "ping") {
        SendResponse(std::string(), sender, tid);
    } else if (name == "find_node") {
        const auto target = IdValue(args, "target");
        if (!target || target->IsZero() || *target == own) {
            return;
        }
        std::vector<KadNode> closest;
        table_.ClosestNodes(*target, closest, false);
        table_.ClosestNodes(*target, closest, true);  // good ones first, then the rest
        std::string nodes;
        for (std::size_t i = 0; i < closest.size() && i < 8; ++i) {
            AppendCompactNode(closest[i], nodes);
        }
        SendResponse(NodesBody(nodes, table_.MakeToken(sender.ip, sender.port)), sender, tid);
    } else if (name == "get_peers") {
        const auto hash = IdValue(args, "info_hash");
        if (!hash) {
            return;
        }
        const std::string token = table_.MakeToken(sender.ip, sender.port);
        const std::string values = peers_.ValuesReply(*hash, Seconds());
        if (!values.empty()) {
            SendResponse(ValuesBody(values, token), sender, tid);
            return;
        }
        std::vector<KadNode> closest;
        table_.ClosestNodes(*hash, closest, false);
        table_.ClosestNodes(*hash, closest, true);
        std::string nodes;
        for (std::size_t i = 0; i < closest.size() && i < 8; ++i) {
            AppendCompactNode(closest[i], nodes);
        }
        SendResponse(NodesBody(nodes, token), sender, tid);
    } else if (name == "announce_peer") {
        const QElement* port = args.Find("port");
        const auto hash = IdValue(args, "info_hash");
        if (port == nullptr || !port->HasInteger() || port->GetInteger() == 0 || !hash) {
            return;
        }
        const QElement* token = StringValue(args, "token");
        if (token == nullptr || !table_.CheckToken(token->GetText(), sender.ip, sender.port)) {
            SendMessage(InvalidTokenError(tid), sender.ip, sender.port);
            return;
        }
        // The standard "implied_port" asks to store the UDP source port (peers behind NAT).
        const QElement* implied = args.Find("implied_port");
        std::int64_t announced = port->GetInteger();
        if (implied != nullptr && implied->HasInteger() && implied->GetInteger() != 0) {
            announced = sender.port;
        }
        if (announced <= 0 || announced > 65535) {
            return;
        }
        peers_.StorePeer(*hash, sender.ip, static_cast<std::uint16_t>(announced), Seconds());
        SendResponse(std::string(), sender, tid);
    }
}

void CKademlia::HandleResponse(const QElement& body, KadNode sender, const std::string& tid) {
    sender.MarkHeardFrom(Seconds());
    std::optional<KadNode> bootstrap;
    std::optional<KadNode> pinged;
    {
        LockGuard guard(&ThreadLock(), true);
        auto b = bootstrapPings_.find(tid);
        if (b != bootstrapPings_.end() && b->second.contact.ip == sender.ip) {
            bootstrap = b->second.contact;
            bootstrapPings_.erase(b);
        } else {
            auto p = pingTids_.find(tid);
            if (p != pingTids_.end() && p->second.ip == sender.ip) {
                pinged = p->second;
                pingTids_.erase(p);
            }
        }
    }
    if (bootstrap) {
        OfferNode(sender, true);
        return;
    }
    if (pinged) {
        if (pinged->SameAs(sender)) {
            PingedContactAlive(sender);
        } else {
            PingedContactFailed(*pinged);
            OfferNode(sender, true);
        }
        return;
    }
    std::vector<std::shared_ptr<CKadActionBase>> actions;
    {
        LockGuard guard(&ThreadLock(), true);
        actions = running_;
        actions.insert(actions.end(), own_.begin(), own_.end());
    }
    for (const auto& a : actions) {
        if (a->OnResponse(tid, sender, body)) {
            table_.Insert(sender, true, false, Seconds());
            return;
        }
    }
    // Not claimed, but a genuine answer from the address a lookup asked: the node there
    // changed its id (implementations derive ids from their external address and renew
    // them once they learn it). The old contact will time out; the new id answered, so it
    // is offered as heard from instead of waiting unconfirmed.
    for (const auto& a : actions) {
        if (a->AskedAddress(tid, sender.ip, sender.port)) {
            OfferNode(sender, true);
            return;
        }
    }
}

}  // namespace koruvan::engine
