// Iterative lookups: walk towards a target id by querying the closest known contacts, at
// most 5 at a time. CKadActionFind looks up contacts near an id for the node's own table
// upkeep; CKadActionBitTorrent (its own file) searches peers and announces.
//
// Locking: lock_ guards every field. An action calls the node (sending, seeding, the table,
// the found-contact queue) under its own lock; the node never holds its lock while it calls
// an action.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/core/base/Mutex.h"
#include "engine/dht/KadNode.h"

namespace koruvan::engine {

class CKademlia;
class QElement;

inline constexpr int kMaxOutstandingQueries = 5;
inline constexpr std::int32_t kActionTimeLimitSeconds = 600;

class CKadActionBase {
  public:
    CKadActionBase(CKademlia& node, const KadNodeId& target, std::string queryName);
    virtual ~CKadActionBase();
    CKadActionBase(const CKadActionBase&) = delete;
    CKadActionBase& operator=(const CKadActionBase&) = delete;

    virtual bool Start();
    virtual void Finish();
    virtual void Reset();
    virtual void CollectClosest(std::vector<KadNode>& out);
    virtual bool Seed(const std::vector<KadNode>& contacts);
    // Sends the query to `contact`, with a new transaction id when `tid` is empty; true when
    // it went out.
    virtual bool SendQuery(const KadNode& contact, const std::string& tid) = 0;
    // Every 200 ms: re-sends and expires outstanding queries (contacts that timed out go to
    // `failed`), then steps.
    virtual void OnTimer(std::vector<KadNode>& failed);
    virtual void Step();
    // A response the node could not match itself; true when this action claims it.
    virtual bool OnResponse(const std::string& tid, const KadNode& contact, const QElement& body);
    virtual void OnResult(const KadNode& contact, const QElement& body) = 0;
    // Whether the query with this transaction id went to ip:port and is still outstanding
    // (an answer from there under another id comes from a node that changed its id).
    [[nodiscard]] bool AskedAddress(const std::string& tid, std::uint32_t ip,
                                    std::uint16_t port) const;

    [[nodiscard]] bool IsFinished() const;
    [[nodiscard]] bool IsRunning() const;
    [[nodiscard]] std::uint32_t StartedTime() const;
    [[nodiscard]] std::uint32_t FinishedTime() const;
    [[nodiscard]] KadNodeId Target() const { return target_; }
    [[nodiscard]] int Outstanding() const;
    [[nodiscard]] std::size_t CandidateCount() const;

  protected:
    struct SentQuery {
        KadNode contact;
        std::uint32_t sent = 0;
        bool resent = false;
    };

    // Queries candidates in order of distance, at most `examine` of them once anyone has
    // answered; returns nothing. Caller holds lock_.
    void QueryFrom(std::vector<KadNode>& list, std::size_t examine);
    // Finishes when nothing is outstanding or the time limit has passed. Caller holds lock_.
    void FinishWhenDone();
    bool AlreadyQueried(const KadNode& contact) const;
    void MarkQueried(const KadNode& contact);
    // Sends `arguments` as this action's query; records it when new. Caller holds lock_.
    bool SendArguments(const KadNode& contact, const std::string& arguments,
                       const std::string& tid);
    bool IsCandidate(const KadNode& contact) const;

    CKademlia& node_;
    mutable QTMutex lock_;
    KadNodeId target_;
    std::string queryName_;
    std::int32_t timeLimit_ = kActionTimeLimitSeconds;
    std::uint32_t started_ = 0;
    std::uint32_t finished_ = 0;
    int outstanding_ = 0;
    std::map<std::string, SentQuery> queries_;
    std::set<std::pair<std::uint32_t, std::uint16_t>> queriedAddresses_;
    std::vector<KadNode> queriedContacts_;
    std::vector<KadNode> responders_;
    std::vector<KadNode> candidates_;
};

class CKadActionFind final : public CKadActionBase {
  public:
    CKadActionFind(CKademlia& node, const KadNodeId& target);
    ~CKadActionFind() override;
    bool SendQuery(const KadNode& contact, const std::string& tid) override;
    void OnResult(const KadNode& contact, const QElement& body) override;
};

}  // namespace koruvan::engine
