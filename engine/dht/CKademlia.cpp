#include "engine/dht/CKademlia.h"

#include <algorithm>
#include <cstring>

#include "engine/core/base/EngineClock.h"
#include "engine/core/base/EngineLocks.h"
#include "engine/core/base/LockGuard.h"
#include "engine/dht/CKadAction.h"
#include "engine/dht/KrpcMessages.h"
#include "engine/peers/BencodeCodec.h"
#include "engine/peers/Resolver.h"
#include "platform/Paths.h"

namespace koruvan::engine {
namespace {

inline constexpr std::uint32_t kStepMs = 200;
inline constexpr std::size_t kBootstrapThreshold = 10;
inline constexpr std::size_t kMaxPingCandidates = 10;

// Transaction ids: one process-wide counter, started from the tick count when the first
// node object is made.
QSMutex& TransactionLock() {
    static QSMutex lock;
    return lock;
}
std::uint64_t& TransactionCounter() {
    static std::uint64_t counter = 0;
    return counter;
}

std::mutex& InstanceLock() {
    static std::mutex lock;
    return lock;
}
std::unique_ptr<CKademlia>& InstanceSlot() {
    static std::unique_ptr<CKademlia> node;
    return node;
}

KadClock WithDefaults(KadClock clock) {
    if (!clock.seconds) {
        clock.seconds = [] { return EngineSeconds(); };
    }
    if (!clock.tick) {
        clock.tick = [] { return TickCount(); };
    }
    return clock;
}

}  // namespace

CKademlia& CKademlia::Instance() {
    std::lock_guard guard(InstanceLock());
    auto& slot = InstanceSlot();
    if (!slot) {
        slot = std::make_unique<CKademlia>();
    }
    return *slot;
}

bool CKademlia::DeleteInstance() noexcept {
    std::unique_ptr<CKademlia> node;
    {
        std::lock_guard guard(InstanceLock());
        node = std::move(InstanceSlot());
    }
    if (!node) {
        return false;
    }
    node->QThread::Stop(true);
    return true;
}

bool CKademlia::HasInstance() noexcept {
    std::lock_guard guard(InstanceLock());
    return InstanceSlot() != nullptr;
}

void CKademlia::Deliver(const std::uint8_t* bytes, int len, std::uint32_t ip, int port) noexcept {
    std::lock_guard guard(InstanceLock());
    if (auto& node = InstanceSlot()) {
        node->HandleDatagram(bytes, len, ip, port);
    }
}

std::int32_t CKademlia::RunningTableSize() noexcept {
    std::lock_guard guard(InstanceLock());
    auto& node = InstanceSlot();
    if (!node || !node->IsNodeRunning()) {
        return -1;
    }
    return static_cast<std::int32_t>(node->Table().ContactCount());
}

CKademlia::CKademlia(KadClock clock)
    : clock_(WithDefaults(std::move(clock))), table_(KadNodeId::Random(clock_.seconds())) {
    LockGuard guard(&TransactionLock(), true);
    if (TransactionCounter() == 0) {
        TransactionCounter() = clock_.tick();
    }
    nodeFilePath_ = DefaultNodeFilePath();
}

CKademlia::~CKademlia() {
    QThread::Stop(true);
    if (nodeRunning_.load()) {
        Close();
    }
}

void CKademlia::SetSender(KadSender sender) {
    LockGuard guard(&ThreadLock(), true);
    sender_ = std::move(sender);
}

void CKademlia::SetNodeFilePath(std::string path) {
    LockGuard guard(&ThreadLock(), true);
    nodeFilePath_ = std::move(path);
}

void CKademlia::SetBootstrapList(const std::string& list) {
    std::vector<std::pair<std::string, std::uint16_t>> endpoints;
    std::size_t at = 0;
    while (at <= list.size()) {
        const std::size_t comma = std::min(list.find(',', at), list.size());
        std::string item = list.substr(at, comma - at);
        std::erase_if(item, [](char c) { return c == ' ' || c == '\t'; });
        const std::size_t colon = item.rfind(':');
        if (colon != std::string::npos && colon > 0) {
            const int port = std::atoi(item.c_str() + colon + 1);
            if (port > 0 && port < 65536) {
                endpoints.emplace_back(item.substr(0, colon), static_cast<std::uint16_t>(port));
            }
        }
        at = comma + 1;
    }
    LockGuard guard(&ThreadLock(), true);
    bootstrap_ = std::move(endpoints);
}

bool CKademlia::Start() {
    if (IsRunning()) {
        return true;
    }
    return QThread::Start("Kademlia");
}

int CKademlia::Run() {
    Open();
    while (!CheckStop()) {
        ProcessReceived();
        Housekeeping();
        PeriodicPass();
        SleepMs(kStepMs);
    }
    Close();
    return 0;
}

void CKademlia::Open() {
    const std::uint32_t now = Seconds();
    lastSend_.store(now);
    lastSave_ = now;
    nodeRunning_.store(true);
    LoadNodeFile();
    if (table_.ContactCount() < kBootstrapThreshold) {
        PingBootstrapList();
    }
}

void CKademlia::Close() {
    nodeRunning_.store(false);
    SaveNodeFile();
    std::vector<std::shared_ptr<CKadActionBase>> dropped;
    {
        LockGuard guard(&ThreadLock(), true);
        queue_.clear();
        queueFull_ = false;
        pending_.clear();
        pingTids_.clear();
        bootstrapPings_.clear();
        // Task actions stay with their tasks; only the node lets go of them.
        dropped.swap(running_);
        dropped.insert(dropped.end(), own_.begin(), own_.end());
        own_.clear();
        doomed_.clear();
    }
    {
        std::lock_guard guard(foundLock_);
        found_.clear();
    }
    table_.Clear();
    peers_.Clear();
}

void CKademlia::HandleDatagram(const std::uint8_t* bytes, int len, std::uint32_t ip,
                               int port) noexcept {
    try {
        if (!nodeRunning_.load() || bytes == nullptr || len <= 0 || port <= 0 || port > 65535) {
            dropped_.fetch_add(1);
            return;
        }
        {
            LockGuard guard(&ThreadLock(), true);
            if (queueFull_) {
                dropped_.fetch_add(1);
                return;
            }
        }
        Message message;
        message.bytes.assign(reinterpret_cast<const char*>(bytes),
                             reinterpret_cast<const char*>(bytes) + len);
        message.tree = ParseBencode(message.bytes.data(), len);
        if (!message.tree) {
            dropped_.fetch_add(1);
            return;
        }
        message.ip = ip;
        message.port = static_cast<std::uint16_t>(port);
        LockGuard guard(&ThreadLock(), true);
        queue_.push_back(std::move(message));
        if (queue_.size() >= kReceiveQueueLimit) {
            queueFull_ = true;
        }
        received_.fetch_add(1);
        receivedBytes_.fetch_add(static_cast<std::uint64_t>(len));
    } catch (...) {
        dropped_.fetch_add(1);  // out of memory: the datagram is lost, nothing else
    }
}

bool CKademlia::SendMessage(const std::string& bytes, std::uint32_t ip, int port) {
    KadSender sender;
    {
        LockGuard guard(&ThreadLock(), true);
        sender = sender_;
    }
    if (!sender || bytes.empty() || ip == 0 || port <= 0 || port > 65535) {
        return false;
    }
    if (!sender(bytes.data(), static_cast<int>(bytes.size()), ip, port)) {
        return false;
    }
    sent_.fetch_add(1);
    sentBytes_.fetch_add(bytes.size());
    lastSend_.store(Seconds());
    return true;
}

std::string CKademlia::NewTransactionId() {
    LockGuard guard(&TransactionLock(), true);
    return TransactionIdBytes(++TransactionCounter());
}

std::size_t CKademlia::QueuedMessages() {
    LockGuard guard(&ThreadLock(), true);
    return queue_.size();
}

std::size_t CKademlia::PendingPings() {
    LockGuard guard(&ThreadLock(), true);
    return pending_.size();
}

void CKademlia::AddBootstrapNode(std::uint32_t ip, std::uint16_t port) {
    if (ip == 0 || ip == 0xFFFFFFFFu || port == 0) {
        return;
    }
    PingNode(MakeNode(KadNodeId(), ip, port));
}

void CKademlia::PingNode(const KadNode& contact) {
    const std::string tid = NewTransactionId();
    const auto message = BuildQuery(OwnId(), "ping", PingArguments(), tid);
    if (!message) {
        return;
    }
    {
        LockGuard guard(&ThreadLock(), true);
        const std::uint32_t now = Seconds();
        if (contact.id.IsZero()) {
            bootstrapPings_[tid] = BootstrapPing{contact, now};
        } else {
            pending_.try_emplace(KeyOf(contact), PendingPing{now, contact, {}});
            pingTids_[tid] = contact;
        }
    }
    SendMessage(*message, contact.ip, contact.port);
}

void CKademlia::OfferNode(const KadNode& contact, bool heardFrom) {
    const auto toPing = table_.Insert(contact, heardFrom, false, Seconds());
    if (!toPing || !toPing->IsValid() || toPing->SameAs(contact)) {
        return;
    }
    bool pingNow = false;
    {
        LockGuard guard(&ThreadLock(), true);
        pingNow = !pending_.contains(KeyOf(*toPing));
    }
    if (pingNow) {
        PingNode(*toPing);
    }
    KadNode waiting = contact;
    if (heardFrom) {
        waiting.MarkHeardFrom(Seconds());
    }
    LockGuard guard(&ThreadLock(), true);
    auto it = pending_.find(KeyOf(*toPing));
    if (it == pending_.end()) {
        return;
    }
    auto& candidates = it->second.candidates;
    if (candidates.size() < kMaxPingCandidates &&
        std::none_of(candidates.begin(), candidates.end(),
                     [&](const KadNode& n) { return n.SameAs(waiting); })) {
        candidates.push_back(waiting);
    }
}

void CKademlia::PingedContactAlive(const KadNode& contact) {
    table_.Insert(contact, true, false, Seconds());
    std::vector<KadNode> candidates;
    {
        LockGuard guard(&ThreadLock(), true);
        auto it = pending_.find(KeyOf(contact));
        if (it != pending_.end()) {
            candidates = std::move(it->second.candidates);
            pending_.erase(it);
        }
    }
    for (const KadNode& c : candidates) {
        OfferNode(c, c.IsGood());
    }
}

void CKademlia::PingedContactFailed(const KadNode& contact) {
    std::optional<PendingPing> record;
    {
        LockGuard guard(&ThreadLock(), true);
        auto it = pending_.find(KeyOf(contact));
        if (it != pending_.end()) {
            record = std::move(it->second);
            pending_.erase(it);
        }
    }
    const std::int32_t failures = table_.AddFailure(contact);
    if (!record) {
        return;
    }
    std::vector<KadNode>& candidates = record->candidates;
    if (failures < 2 || candidates.empty()) {
        for (const KadNode& c : candidates) {
            OfferNode(c, c.IsGood());
        }
        return;
    }
    const KadNode replacement = candidates.back();
    candidates.pop_back();
    const auto toPing = table_.Replace(contact, replacement, Seconds());
    if (toPing && toPing->IsValid() && !toPing->SameAs(replacement)) {
        PingNode(*toPing);
        LockGuard guard(&ThreadLock(), true);
        auto it = pending_.find(KeyOf(*toPing));
        if (it != pending_.end()) {
            for (const KadNode& c : candidates) {
                if (it->second.candidates.size() < kMaxPingCandidates) {
                    it->second.candidates.push_back(c);
                }
            }
            return;
        }
    }
    for (const KadNode& c : candidates) {
        OfferNode(c, c.IsGood());
    }
}

void CKademlia::QueueFoundContact(const KadNode& contact) {
    std::lock_guard guard(foundLock_);
    found_.push_back(contact);
}

void CKademlia::StartAction(const std::shared_ptr<CKadActionBase>& action) {
    if (!action) {
        return;
    }
    {
        LockGuard guard(&ThreadLock(), true);
        if (std::find(running_.begin(), running_.end(), action) == running_.end()) {
            running_.push_back(action);
        }
    }
    if (action->StartedTime() == 0) {
        action->Start();
    }
}

void CKademlia::RemoveAction(const std::shared_ptr<CKadActionBase>& action) {
    LockGuard guard(&ThreadLock(), true);
    std::erase(running_, action);
    if (nodeRunning_.load() && action) {
        // Deleted (when the last holder lets go) by the housekeeping pass, never while a
        // response or timer step of this pass may still use it.
        doomed_.push_back(action);
    }
}

void CKademlia::SeedAction(const KadNodeId& target, CKadActionBase& action) {
    if (target.IsZero()) {
        return;
    }
    std::vector<KadNode> seeds;
    table_.ClosestNodes(target, seeds, false);
    table_.ClosestNodes(target, seeds, true);
    action.Seed(seeds);
}

void CKademlia::StartFindAction(const KadNodeId& target) {
    auto action = std::make_shared<CKadActionFind>(*this, target);
    {
        LockGuard guard(&ThreadLock(), true);
        own_.push_back(action);
    }
    action->Start();
}

void CKademlia::Housekeeping() {
    const std::uint32_t now = Seconds();
    std::vector<KadNode> failed;
    std::vector<std::shared_ptr<CKadActionBase>> actions;
    std::vector<std::shared_ptr<CKadActionBase>> finishedOwn;
    std::vector<std::shared_ptr<CKadActionBase>> doomed;
    {
        LockGuard guard(&ThreadLock(), true);
        for (auto it = pending_.begin(); it != pending_.end(); ++it) {
            if (now - it->second.sent >= kPingTimeoutSeconds) {
                failed.push_back(it->second.contact);
                std::erase_if(pingTids_, [&](const auto& entry) {
                    return entry.second.SameAs(it->second.contact);
                });
            }
        }
        std::erase_if(bootstrapPings_, [&](const auto& entry) {
            return now - entry.second.sent >= kPingTimeoutSeconds;
        });
        for (auto& a : own_) {
            if (a->IsFinished()) {
                finishedOwn.push_back(a);
            }
        }
        std::erase_if(own_, [](const auto& a) { return a->IsFinished(); });
        actions = running_;
        actions.insert(actions.end(), own_.begin(), own_.end());
        doomed.swap(doomed_);
    }
    finishedOwn.clear();
    for (const auto& a : actions) {
        a->OnTimer(failed);
    }
    doomed.clear();
    for (const KadNode& f : failed) {
        PingedContactFailed(f);
    }
    std::vector<KadNode> found;
    {
        std::lock_guard guard(foundLock_);
        found.swap(found_);
    }
    for (const KadNode& n : found) {
        OfferNode(n, false);
    }
}

void CKademlia::PingBootstrapList() {
    std::vector<std::pair<std::string, std::uint16_t>> endpoints;
    {
        LockGuard guard(&ThreadLock(), true);
        endpoints = bootstrap_;
    }
    for (const auto& [host, port] : endpoints) {
        AddBootstrapNode(ResolveSimple(host.c_str()), port);
    }
}

void CKademlia::RefreshBuckets(bool forced) {
    const std::uint32_t now = Seconds();
    for (const KadBucket& b : table_.Buckets()) {
        if (!forced && refreshes_ > 0 && now - b.lastChanged < 900) {
            continue;
        }
        StartFindAction(b.low.WordHalf() + b.high.WordHalf());
    }
    ++refreshes_;
    lastRefresh_ = now;
}

void CKademlia::PeriodicPass() {
    const std::uint32_t now = Seconds();
    if (lastPeriodic_ != 0 && now - lastPeriodic_ < 5) {
        return;
    }
    lastPeriodic_ = now;
    snapshot_ = Statistics();
    if (snapshot_.contacts < kBootstrapThreshold) {
        PingBootstrapList();
    }
    if (now - lastExpiry_ >= 180) {
        lastExpiry_ = now;
        peers_.Expire(now);
    }
    if (now - lastSecrets_ >= 180) {
        lastSecrets_ = now;
        table_.RotateSecrets(now);
    }
    if (lastRandomLookup_ == 0 || now - lastRandomLookup_ >= 720) {
        lastRandomLookup_ = now;
        const std::uint32_t words[5] = {0, 0, 0, 0, Tick() % 0x0FFFFFFFu};
        StartFindAction(OwnId() + KadNodeId({words[0], words[1], words[2], words[3], words[4]}));
    }
    std::size_t ownActions = 0;
    {
        LockGuard guard(&ThreadLock(), true);
        ownActions = own_.size();
    }
    const bool forced = table_.GoodCount() <= 9 && ownActions <= 1;
    if (forced || lastRefresh_ == 0 || now - lastRefresh_ >= 180) {
        RefreshBuckets(forced);
    }
    if (now - lastSend_.load() > 50) {
        if (const auto contact = table_.StalestContact()) {
            PingNode(*contact);
        }
    }
    if (now - lastSave_ >= 900) {
        lastSave_ = now;
        SaveNodeFile();
    }
}

KadStatistics CKademlia::Statistics() const {
    KadStatistics s;
    s.contacts = table_.ContactCount();
    s.goodContacts = table_.GoodCount();
    s.hashes = peers_.HashCount();
    s.peers = peers_.PeerCount();
    LockGuard guard(&const_cast<CKademlia*>(this)->ThreadLock(), true);
    s.pendingPings = pending_.size();
    s.actions = running_.size() + own_.size();
    return s;
}

}  // namespace koruvan::engine
