#include "engine/dht/CKadActionBitTorrent.h"

#include <algorithm>

#include "engine/core/base/LockGuard.h"
#include "engine/dht/CKademlia.h"
#include "engine/dht/KrpcMessages.h"
#include "engine/peers/QElement.h"
#include "engine/peers/QMultiElement.h"

namespace koruvan::engine {
namespace {

inline constexpr std::size_t kPreviousRunSeeds = 5;
inline constexpr std::size_t kAnnounceExamined = 6;
inline constexpr int kEnoughAnnounceAnswers = 5;
inline constexpr int kMaxPeersOfAnnounceTarget = 60;

}  // namespace

CKadActionBitTorrent::CKadActionBitTorrent(CKademlia& node, const KadNodeId& infoHash)
    : CKadActionBase(node, infoHash, "get_peers") {}

CKadActionBitTorrent::~CKadActionBitTorrent() = default;

bool CKadActionBitTorrent::Start() {
    LockGuard guard(&lock_, true);
    Reset();
    if (target_.IsZero()) {
        return false;
    }
    peerBuffer_.reserve(kPeerBufferReserve);
    firstStep_ = true;
    node_.SeedAction(target_, *this);
    return started_ != 0 && finished_ == 0;
}

void CKadActionBitTorrent::Reset() {
    LockGuard guard(&lock_, true);
    CKadActionBase::Reset();
    announcing_ = false;
    queryName_ = "get_peers";
    announceAnswers_ = 0;
    firstStep_ = true;
    peerBuffer_.clear();
    responderPeers_.clear();
    announceList_.clear();
    tokens_.clear();
}

bool CKadActionBitTorrent::Seed(const std::vector<KadNode>& contacts) {
    LockGuard guard(&lock_, true);
    std::vector<KadNode> seeds = contacts;
    std::size_t added = 0;
    for (const KadNode& c : previousRun_) {
        if (added == kPreviousRunSeeds) {
            break;
        }
        if (std::none_of(seeds.begin(), seeds.end(),
                         [&](const KadNode& n) { return n.SameAs(c); })) {
            seeds.push_back(c);
            ++added;
        }
    }
    previousRun_.clear();
    return CKadActionBase::Seed(seeds);
}

bool CKadActionBitTorrent::SendQuery(const KadNode& contact, const std::string& tid) {
    LockGuard guard(&lock_, true);
    if (!announcing_) {
        return SendArguments(contact, GetPeersArguments(target_), tid);
    }
    const bool sent =
        SendArguments(contact, AnnounceArguments(target_, announcePort_, TokenFor(contact)), tid);
    responderPeers_.try_emplace({contact.id, contact.ip}, 0);
    return sent;
}

std::string CKadActionBitTorrent::TokenFor(const KadNode& contact) const {
    auto own = tokens_.find({contact.ip, contact.port});
    if (own != tokens_.end()) {
        return own->second;
    }
    return node_.Table().CachedToken(contact.ip, contact.port, node_.Seconds()).value_or("");
}

void CKadActionBitTorrent::Step() {
    LockGuard guard(&lock_, true);
    if (started_ == 0 || finished_ != 0) {
        return;
    }
    if (firstStep_) {
        firstStep_ = false;
        peerBuffer_ += node_.Peers().CompactPeers(target_, node_.Seconds());
    }
    QueryFrom(candidates_, 15);
    if (announcing_ && outstanding_ < kMaxOutstandingQueries && !announceList_.empty()) {
        QueryFrom(announceList_, kAnnounceExamined);
    }
    FinishWhenDone();
}

void CKadActionBitTorrent::Finish() {
    LockGuard guard(&lock_, true);
    if (announcing_) {
        CKadActionBase::Finish();
        responderPeers_.clear();
        return;
    }
    // The search is over: announce to the closest nodes that gave a token.
    announcing_ = true;
    queryName_ = "announce_peer";
    started_ = node_.Seconds();
    queries_.clear();
    outstanding_ = 0;
    announceAnswers_ = 0;
    queriedAddresses_.clear();
    queriedContacts_.clear();
    const std::uint32_t now = node_.Seconds();
    for (const KadNode& c : candidates_) {
        if (!tokens_.contains({c.ip, c.port}) && !node_.Table().CachedToken(c.ip, c.port, now)) {
            MarkQueried(c);
        }
    }
    for (const KadNode& r : responders_) {
        auto it = responderPeers_.find({r.id, r.ip});
        if (it != responderPeers_.end() && it->second >= 1 &&
            it->second <= kMaxPeersOfAnnounceTarget) {
            announceList_.push_back(r);
        }
        previousRun_.push_back(r);
    }
    responders_.clear();
}

void CKadActionBitTorrent::OnResult(const KadNode& contact, const QElement& body) {
    const QElement* token = body.Find("token");
    if (!announcing_ && token != nullptr && token->Type() == kElementString &&
        token->GetTextLength() > 0 &&
        static_cast<std::size_t>(token->GetTextLength()) <= kMaxReceivedTokenBytes) {
        tokens_[{contact.ip, contact.port}] = std::string(token->GetText());
    }
    const QElement* values = body.Find("values");
    if (values != nullptr) {
        int count = 0;
        auto take = [&](const QElement& e) {
            if (e.Type() != kElementString) {
                return;
            }
            const std::string_view bytes = e.GetText();
            const std::size_t whole = bytes.size() / kCompactPeerBytes * kCompactPeerBytes;
            peerBuffer_.append(bytes.data(), whole);
            count += static_cast<int>(whole / kCompactPeerBytes);
        };
        if (values->Type() == kElementList) {
            for (std::int32_t i = 0; i < values->Count(); ++i) {
                if (const QElement* e = values->At(i)) {
                    take(*e);
                }
            }
        } else {
            take(*values);
        }
        responderPeers_[{contact.id, contact.ip}] = count;
        return;
    }
    const QElement* nodes = body.Find("nodes");
    if (nodes != nullptr) {
        if (nodes->Type() != kElementString) {
            return;
        }
        for (const KadNode& n : ReadCompactNodes(nodes->GetText())) {
            if (n.IsValid() && !IsCandidate(n)) {
                candidates_.push_back(n);
                node_.Table().Insert(n, false, false, node_.Seconds());
            }
        }
        return;
    }
    if (announcing_ && responderPeers_.contains({contact.id, contact.ip})) {
        previousRun_.push_back(contact);
        if (++announceAnswers_ > kEnoughAnnounceAnswers) {
            Finish();
        }
    }
}

void CKadActionBitTorrent::SetAnnouncePort(int port) {
    LockGuard guard(&lock_, true);
    announcePort_ = port;
}

bool CKadActionBitTorrent::TakePeers(std::string& out, bool clear) {
    LockGuard guard(&lock_, true);
    if (peerBuffer_.empty()) {
        return false;
    }
    out += peerBuffer_;
    if (clear) {
        peerBuffer_.clear();
    }
    return true;
}

bool CKadActionBitTorrent::IsAnnouncing() const {
    LockGuard guard(&lock_, true);
    return announcing_;
}

}  // namespace koruvan::engine
