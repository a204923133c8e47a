// The routing table: buckets of at most 10 contacts over id ranges (low, high], split
// towards this node's own id, plus the token secrets and the cache of tokens other nodes
// gave this node.
//
// Locking: lock_ guards every field (buckets, own id, secrets, token cache). It is a leaf:
// nothing else is called while it is held. Time is passed in (the engine's seconds counter).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/core/base/Mutex.h"
#include "engine/dht/KadNode.h"

namespace koruvan::engine {

inline constexpr std::size_t kBucketSize = 10;
inline constexpr std::size_t kMaxBuckets = 160;
inline constexpr std::uint32_t kStaleContactSeconds = 600;
inline constexpr std::uint32_t kTokenLifeSeconds = 300;
// Tokens are opaque to the receiver: this node issues 20 bytes, other implementations fewer
// (4 is common). Any length up to this is kept and given back.
inline constexpr std::size_t kMaxReceivedTokenBytes = 64;

struct KadBucket {
    KadNodeId low;                  // exclusive
    KadNodeId high;                 // inclusive
    std::vector<KadNode> contacts;  // in the order added; a refreshed contact moves last
    std::uint32_t lastChanged = 0;

    [[nodiscard]] bool Holds(const KadNodeId& id) const noexcept { return low < id && id <= high; }
};

class KadRoutingTable {
  public:
    explicit KadRoutingTable(const KadNodeId& ownId);

    [[nodiscard]] KadNodeId OwnId() const;
    void SetOwnId(const KadNodeId& id);

    // Inserts or refreshes a contact. Returns a contact the caller should ping when the
    // bucket is full and one of its contacts may be gone; nothing otherwise. `loading`
    // inserts from the node file: no replacement of questionable contacts.
    std::optional<KadNode> Insert(KadNode contact, bool heardFrom, bool loading, std::uint32_t now);
    // Puts `replacement` in place of `old`; when `old` is gone the replacement is inserted
    // as heard from, and what that insertion returns is returned.
    std::optional<KadNode> Replace(const KadNode& old, const KadNode& replacement,
                                   std::uint32_t now);
    // One more unanswered ping; questionable after more than 2. Returns the new count, or
    // -1 when the contact is not in the table.
    std::int32_t AddFailure(const KadNode& contact);
    // The table's copy of a contact (same id and address).
    [[nodiscard]] std::optional<KadNode> Find(const KadNode& contact) const;

    // Up to 10 contacts closest to `target` appended to `out` (those not in it yet), from
    // the bucket holding it outwards; only good ones unless includeQuestionable. True when
    // `out` is not empty afterwards.
    bool ClosestNodes(const KadNodeId& target, std::vector<KadNode>& out,
                      bool includeQuestionable) const;

    [[nodiscard]] std::size_t ContactCount() const;
    [[nodiscard]] std::size_t GoodCount() const;
    [[nodiscard]] std::size_t BucketCount() const;
    [[nodiscard]] std::vector<KadBucket> Buckets() const;
    // Every contact, bucket by bucket, in list order.
    [[nodiscard]] std::vector<KadNode> AllContacts() const;
    // The good contact with the oldest lastSeen, else the first contact.
    [[nodiscard]] std::optional<KadNode> StalestContact() const;
    void Clear();

    // Tokens this node issues for (ip, port): SHA-1 of secret, ip (network order), port (low
    // byte first) and "11". Valid when made with the current or the previous secret.
    [[nodiscard]] std::string MakeToken(std::uint32_t ip, std::uint16_t port) const;
    [[nodiscard]] bool CheckToken(std::string_view token, std::uint32_t ip,
                                  std::uint16_t port) const;
    // Makes a new secret when the current one is older than 300 s (the old one stays valid
    // for one more period) and drops cached tokens older than 300 s.
    void RotateSecrets(std::uint32_t now);

    // Tokens other nodes gave this node (1 to 64 bytes), by their address.
    void StoreToken(std::uint32_t ip, std::uint16_t port, std::string_view token,
                    std::uint32_t now);
    // The cached token when at most 300 s old.
    [[nodiscard]] std::optional<std::string> CachedToken(std::uint32_t ip, std::uint16_t port,
                                                         std::uint32_t now) const;

  private:
    struct Secret {
        std::string bytes;
        std::uint32_t created = 0;
    };
    using Address = std::pair<std::uint32_t, std::uint16_t>;
    struct CachedTokenEntry {
        std::string token;
        std::uint32_t arrived = 0;
    };

    std::size_t BucketIndexFor(const KadNodeId& id) const;
    std::optional<KadNode> InsertLocked(KadNode contact, bool loading, std::uint32_t now);
    void Split(std::size_t index, std::uint32_t now);
    static std::string NewSecret(std::uint32_t now);
    static std::string TokenWith(const std::string& secret, std::uint32_t ip, std::uint16_t port);

    mutable QTMutex lock_;
    KadNodeId ownId_;
    std::vector<KadBucket> buckets_;
    Secret secret_;
    Secret previous_;
    std::map<Address, CachedTokenEntry> tokenCache_;
};

}  // namespace koruvan::engine
