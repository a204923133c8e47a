#include "engine/dht/CKadAction.h"

#include <algorithm>

#include "engine/core/base/LockGuard.h"
#include "engine/dht/CKademlia.h"
#include "engine/dht/KrpcMessages.h"
#include "engine/peers/QElement.h"

namespace koruvan::engine {
namespace {

inline constexpr std::uint32_t kResendAfterSeconds = 5;

}  // namespace

CKadActionBase::CKadActionBase(CKademlia& node, const KadNodeId& target, std::string queryName)
    : node_(node), target_(target), queryName_(std::move(queryName)) {}

CKadActionBase::~CKadActionBase() = default;

bool CKadActionBase::Start() {
    LockGuard guard(&lock_, true);
    Reset();
    if (target_.IsZero()) {
        return false;
    }
    node_.SeedAction(target_, *this);
    return started_ != 0 && finished_ == 0;
}

void CKadActionBase::Finish() {
    LockGuard guard(&lock_, true);
    finished_ = node_.Seconds();
    if (finished_ == 0) {
        finished_ = 1;
    }
}

void CKadActionBase::Reset() {
    LockGuard guard(&lock_, true);
    started_ = 0;
    finished_ = 0;
    outstanding_ = 0;
    queries_.clear();
    queriedAddresses_.clear();
    queriedContacts_.clear();
    responders_.clear();
    candidates_.clear();
}

void CKadActionBase::CollectClosest(std::vector<KadNode>& out) {
    LockGuard guard(&lock_, true);
    std::vector<KadNode> sorted = candidates_;
    std::sort(sorted.begin(), sorted.end(), [&](const KadNode& a, const KadNode& b) {
        return (a.id ^ target_) < (b.id ^ target_);
    });
    out.insert(out.end(), sorted.begin(), sorted.end());
}

bool CKadActionBase::Seed(const std::vector<KadNode>& contacts) {
    LockGuard guard(&lock_, true);
    if (contacts.empty()) {
        Finish();
        return false;
    }
    started_ = node_.Seconds();
    if (started_ == 0) {
        started_ = 1;
    }
    const KadNodeId own = node_.OwnId();
    for (const KadNode& c : contacts) {
        if (c.id != own && !IsCandidate(c)) {
            candidates_.push_back(c);
        }
    }
    if (candidates_.empty()) {
        Finish();
        return false;
    }
    return true;
}

bool CKadActionBase::IsCandidate(const KadNode& contact) const {
    return std::any_of(candidates_.begin(), candidates_.end(),
                       [&](const KadNode& n) { return n.SameAs(contact); });
}

bool CKadActionBase::AlreadyQueried(const KadNode& contact) const {
    return queriedAddresses_.contains({contact.ip, contact.port}) ||
           std::any_of(queriedContacts_.begin(), queriedContacts_.end(),
                       [&](const KadNode& n) { return n.SameAs(contact); });
}

void CKadActionBase::MarkQueried(const KadNode& contact) {
    queriedAddresses_.insert({contact.ip, contact.port});
    queriedContacts_.push_back(contact);
}

bool CKadActionBase::SendArguments(const KadNode& contact, const std::string& arguments,
                                   const std::string& tid) {
    const bool fresh = tid.empty();
    const std::string id = fresh ? node_.NewTransactionId() : tid;
    const auto message = BuildQuery(node_.OwnId(), queryName_, arguments, id);
    if (!message || !node_.SendMessage(*message, contact.ip, contact.port)) {
        return false;
    }
    if (fresh) {
        queries_[id] = SentQuery{contact, node_.Seconds(), false};
    }
    return true;
}

void CKadActionBase::QueryFrom(std::vector<KadNode>& list, std::size_t examine) {
    std::sort(list.begin(), list.end(), [&](const KadNode& a, const KadNode& b) {
        return (a.id ^ target_) < (b.id ^ target_);
    });
    const KadNodeId own = node_.OwnId();
    std::size_t examined = 0;
    for (const KadNode& c : std::vector<KadNode>(list)) {
        if (outstanding_ >= kMaxOutstandingQueries) {
            break;
        }
        if (!responders_.empty() && examined++ >= examine) {
            break;
        }
        if (c.id == own || AlreadyQueried(c)) {
            continue;
        }
        MarkQueried(c);
        if (SendQuery(c, std::string())) {
            ++outstanding_;
        }
    }
}

void CKadActionBase::FinishWhenDone() {
    if (finished_ != 0 || started_ == 0) {
        return;
    }
    if (outstanding_ > 0 &&
        (timeLimit_ <= 0 || node_.Seconds() - started_ < static_cast<std::uint32_t>(timeLimit_))) {
        return;
    }
    Finish();
}

void CKadActionBase::Step() {
    LockGuard guard(&lock_, true);
    if (started_ == 0 || finished_ != 0) {
        return;
    }
    QueryFrom(candidates_, 15);
    FinishWhenDone();
}

void CKadActionBase::OnTimer(std::vector<KadNode>& failed) {
    LockGuard guard(&lock_, true);
    if (started_ == 0 || finished_ != 0) {
        return;
    }
    const std::uint32_t now = node_.Seconds();
    for (auto it = queries_.begin(); it != queries_.end();) {
        SentQuery& q = it->second;
        const std::uint32_t age = now - q.sent;
        if (age < kPingTimeoutSeconds) {
            if (!q.resent && age > kResendAfterSeconds) {
                SendQuery(q.contact, it->first);
                q.resent = true;
            }
            ++it;
            continue;
        }
        if (std::none_of(failed.begin(), failed.end(),
                         [&](const KadNode& n) { return n.SameAs(q.contact); })) {
            failed.push_back(q.contact);
        }
        it = queries_.erase(it);
    }
    outstanding_ = static_cast<int>(queries_.size());
    Step();
}

bool CKadActionBase::OnResponse(const std::string& tid, const KadNode& contact,
                                const QElement& body) {
    LockGuard guard(&lock_, true);
    if (started_ == 0 || finished_ != 0) {
        return false;
    }
    auto it = queries_.find(tid);
    if (it == queries_.end() || it->second.contact.id != contact.id ||
        it->second.contact.ip != contact.ip) {
        return false;
    }
    queries_.erase(it);
    outstanding_ = static_cast<int>(queries_.size());
    if (std::none_of(responders_.begin(), responders_.end(),
                     [&](const KadNode& n) { return n.SameAs(contact); })) {
        responders_.push_back(contact);
    }
    OnResult(contact, body);
    const QElement* token = body.Find("token");
    if (token != nullptr && token->Type() == kElementString) {
        node_.Table().StoreToken(contact.ip, contact.port, token->GetText(), node_.Seconds());
    }
    return true;
}

bool CKadActionBase::AskedAddress(const std::string& tid, std::uint32_t ip,
                                  std::uint16_t port) const {
    LockGuard guard(&lock_, true);
    auto it = queries_.find(tid);
    return it != queries_.end() && it->second.contact.ip == ip && it->second.contact.port == port;
}

bool CKadActionBase::IsFinished() const {
    LockGuard guard(&lock_, true);
    return finished_ != 0;
}

bool CKadActionBase::IsRunning() const {
    LockGuard guard(&lock_, true);
    return started_ != 0 && finished_ == 0;
}

std::uint32_t CKadActionBase::StartedTime() const {
    LockGuard guard(&lock_, true);
    return started_;
}

std::uint32_t CKadActionBase::FinishedTime() const {
    LockGuard guard(&lock_, true);
    return finished_;
}

int CKadActionBase::Outstanding() const {
    LockGuard guard(&lock_, true);
    return outstanding_;
}

std::size_t CKadActionBase::CandidateCount() const {
    LockGuard guard(&lock_, true);
    return candidates_.size();
}

CKadActionFind::CKadActionFind(CKademlia& node, const KadNodeId& target)
    : CKadActionBase(node, target, "find_node") {}

CKadActionFind::~CKadActionFind() = default;

bool CKadActionFind::SendQuery(const KadNode& contact, const std::string& tid) {
    LockGuard guard(&lock_, true);
    return SendArguments(contact, FindNodeArguments(target_), tid);
}

void CKadActionFind::OnResult(const KadNode& /*contact*/, const QElement& body) {
    const QElement* nodes = body.Find("nodes");
    if (nodes == nullptr || nodes->Type() != kElementString) {
        return;
    }
    for (const KadNode& n : ReadCompactNodes(nodes->GetText())) {
        if (n.IsValid() && !IsCandidate(n)) {
            candidates_.push_back(n);
            node_.QueueFoundContact(n);
        }
    }
}

}  // namespace koruvan::engine
