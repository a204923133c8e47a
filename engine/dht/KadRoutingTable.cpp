#include "engine/dht/KadRoutingTable.h"

#include <openssl/sha.h>

#include <algorithm>

#include "engine/core/base/LockGuard.h"

namespace koruvan::engine {

KadRoutingTable::KadRoutingTable(const KadNodeId& ownId) : ownId_(ownId) {
    secret_.bytes = NewSecret(0);
    previous_ = secret_;
}

KadNodeId KadRoutingTable::OwnId() const {
    LockGuard guard(&lock_, true);
    return ownId_;
}

void KadRoutingTable::SetOwnId(const KadNodeId& id) {
    LockGuard guard(&lock_, true);
    ownId_ = id;
}

std::size_t KadRoutingTable::BucketIndexFor(const KadNodeId& id) const {
    for (std::size_t i = 0; i < buckets_.size(); ++i) {
        if (buckets_[i].Holds(id)) {
            return i;
        }
    }
    return buckets_.size();
}

std::optional<KadNode> KadRoutingTable::Insert(KadNode contact, bool heardFrom, bool loading,
                                               std::uint32_t now) {
    LockGuard guard(&lock_, true);
    if (!contact.IsValid() || contact.id == ownId_) {
        return std::nullopt;
    }
    if (heardFrom) {
        contact.MarkHeardFrom(now);
    }
    return InsertLocked(contact, loading, now);
}

std::optional<KadNode> KadRoutingTable::InsertLocked(KadNode contact, bool loading,
                                                     std::uint32_t now) {
    if (buckets_.empty()) {
        buckets_.push_back(KadBucket{KadNodeId(), KadNodeId::Max(), {}, now});
    }
    for (;;) {
        const std::size_t index = BucketIndexFor(contact.id);
        if (index == buckets_.size()) {
            return std::nullopt;  // only id 0 falls outside every range, and it is refused
        }
        KadBucket& bucket = buckets_[index];
        auto same = std::find_if(bucket.contacts.begin(), bucket.contacts.end(),
                                 [&](const KadNode& n) { return n.SameAs(contact); });
        if (same != bucket.contacts.end()) {
            if (contact.IsGood()) {
                bucket.contacts.erase(same);
                bucket.contacts.push_back(contact);
                bucket.lastChanged = now;
            }
            return std::nullopt;
        }
        if (bucket.contacts.size() < kBucketSize) {
            bucket.contacts.push_back(contact);
            bucket.lastChanged = now;
            return std::nullopt;
        }
        if (!loading && buckets_.size() > 3) {
            std::vector<KadNode*> candidates;
            for (KadNode& n : bucket.contacts) {
                if (n.questionable) {
                    candidates.push_back(&n);
                }
            }
            if (candidates.empty()) {
                for (KadNode& n : bucket.contacts) {
                    if (now - n.lastSeen > kStaleContactSeconds) {
                        candidates.push_back(&n);
                    }
                }
            }
            if (!candidates.empty()) {
                const KadNode* first = *std::min_element(
                    candidates.begin(), candidates.end(),
                    [](const KadNode* a, const KadNode* b) { return a->Before(*b); });
                if (first->IsGood() || (first->lastSeen == 0 && first->failures < 3)) {
                    return *first;
                }
                const KadNode gone = *first;
                std::erase_if(bucket.contacts, [&](const KadNode& n) { return n.SameAs(gone); });
                bucket.contacts.push_back(contact);
                bucket.lastChanged = now;
                return std::nullopt;
            }
        }
        if ((buckets_.size() >= 4 && !bucket.Holds(ownId_)) || buckets_.size() >= kMaxBuckets) {
            return std::nullopt;
        }
        Split(index, now);
    }
}

void KadRoutingTable::Split(std::size_t index, std::uint32_t now) {
    KadBucket& bucket = buckets_[index];
    const KadNodeId s = bucket.high - (bucket.high - bucket.low).WordHalf();
    KadBucket upper{s, bucket.high, {}, now};
    bucket.high = s;
    bucket.lastChanged = now;
    std::vector<KadNode> lower;
    for (const KadNode& n : bucket.contacts) {
        (n.id > s ? upper.contacts : lower).push_back(n);
    }
    bucket.contacts = std::move(lower);
    buckets_.insert(buckets_.begin() + static_cast<std::ptrdiff_t>(index) + 1, std::move(upper));
}

std::optional<KadNode> KadRoutingTable::Replace(const KadNode& old, const KadNode& replacement,
                                                std::uint32_t now) {
    LockGuard guard(&lock_, true);
    const std::size_t index = BucketIndexFor(old.id);
    if (index < buckets_.size()) {
        auto& contacts = buckets_[index].contacts;
        auto it = std::find_if(contacts.begin(), contacts.end(),
                               [&](const KadNode& n) { return n.SameAs(old); });
        if (it != contacts.end()) {
            contacts.erase(it);
            // The replacement belongs in this bucket only when its id falls in the range;
            // otherwise it takes the ordinary way in.
            if (replacement.IsValid() && replacement.id != ownId_) {
                if (buckets_[index].Holds(replacement.id)) {
                    contacts.push_back(replacement);
                } else {
                    InsertLocked(replacement, false, now);
                }
            }
            buckets_[index].lastChanged = now;
            return std::nullopt;
        }
    }
    if (!replacement.IsValid() || replacement.id == ownId_) {
        return std::nullopt;
    }
    KadNode heard = replacement;
    heard.MarkHeardFrom(now);
    return InsertLocked(heard, false, now);
}

std::int32_t KadRoutingTable::AddFailure(const KadNode& contact) {
    LockGuard guard(&lock_, true);
    const std::size_t index = BucketIndexFor(contact.id);
    if (index == buckets_.size()) {
        return -1;
    }
    for (KadNode& n : buckets_[index].contacts) {
        if (n.SameAs(contact)) {
            ++n.failures;
            if (n.failures > 2) {
                n.questionable = true;
            }
            return n.failures;
        }
    }
    return -1;
}

std::optional<KadNode> KadRoutingTable::Find(const KadNode& contact) const {
    LockGuard guard(&lock_, true);
    const std::size_t index = BucketIndexFor(contact.id);
    if (index < buckets_.size()) {
        for (const KadNode& n : buckets_[index].contacts) {
            if (n.SameAs(contact)) {
                return n;
            }
        }
    }
    return std::nullopt;
}

bool KadRoutingTable::ClosestNodes(const KadNodeId& target, std::vector<KadNode>& out,
                                   bool includeQuestionable) const {
    if (target.IsZero()) {
        return !out.empty();
    }
    std::vector<KadNode> found;
    {
        LockGuard guard(&lock_, true);
        const std::size_t start = BucketIndexFor(target);
        if (start < buckets_.size()) {
            auto take = [&](std::size_t i) {
                for (const KadNode& n : buckets_[i].contacts) {
                    if (includeQuestionable || n.IsGood()) {
                        found.push_back(n);
                    }
                }
            };
            take(start);
            std::size_t down = start;
            std::size_t up = start + 1;
            while (found.size() < kBucketSize && (down > 0 || up < buckets_.size())) {
                if (down > 0) {
                    take(--down);
                }
                if (found.size() < kBucketSize && up < buckets_.size()) {
                    take(up++);
                }
            }
        }
    }
    std::sort(found.begin(), found.end(), [&](const KadNode& a, const KadNode& b) {
        return (a.id ^ target) < (b.id ^ target);
    });
    std::size_t added = 0;
    for (const KadNode& n : found) {
        if (added == kBucketSize) {
            break;
        }
        if (std::none_of(out.begin(), out.end(), [&](const KadNode& o) { return o.SameAs(n); })) {
            out.push_back(n);
            ++added;
        }
    }
    return !out.empty();
}

std::size_t KadRoutingTable::ContactCount() const {
    LockGuard guard(&lock_, true);
    std::size_t n = 0;
    for (const KadBucket& b : buckets_) {
        n += b.contacts.size();
    }
    return n;
}

std::size_t KadRoutingTable::GoodCount() const {
    LockGuard guard(&lock_, true);
    std::size_t n = 0;
    for (const KadBucket& b : buckets_) {
        n += static_cast<std::size_t>(std::count_if(b.contacts.begin(), b.contacts.end(),
                                                    [](const KadNode& c) { return c.IsGood(); }));
    }
    return n;
}

std::size_t KadRoutingTable::BucketCount() const {
    LockGuard guard(&lock_, true);
    return buckets_.size();
}

std::vector<KadBucket> KadRoutingTable::Buckets() const {
    LockGuard guard(&lock_, true);
    return buckets_;
}

std::vector<KadNode> KadRoutingTable::AllContacts() const {
    LockGuard guard(&lock_, true);
    std::vector<KadNode> all;
    for (const KadBucket& b : buckets_) {
        all.insert(all.end(), b.contacts.begin(), b.contacts.end());
    }
    return all;
}

std::optional<KadNode> KadRoutingTable::StalestContact() const {
    LockGuard guard(&lock_, true);
    std::optional<KadNode> best;
    std::optional<KadNode> first;
    for (const KadBucket& b : buckets_) {
        for (const KadNode& n : b.contacts) {
            if (!first) {
                first = n;
            }
            if (n.IsGood() && (!best || n.lastSeen < best->lastSeen)) {
                best = n;
            }
        }
    }
    return best ? best : first;
}

void KadRoutingTable::Clear() {
    LockGuard guard(&lock_, true);
    buckets_.clear();
    tokenCache_.clear();
}

std::string KadRoutingTable::NewSecret(std::uint32_t now) {
    return KadNodeId::Random(now).Bytes();
}

std::string KadRoutingTable::TokenWith(const std::string& secret, std::uint32_t ip,
                                       std::uint16_t port) {
    std::string input = secret;
    input.append(reinterpret_cast<const char*>(&ip), 4);
    input += static_cast<char>(port & 0xFF);
    input += static_cast<char>(port >> 8);
    input += "11";
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
    return std::string(reinterpret_cast<const char*>(digest), SHA_DIGEST_LENGTH);
}

std::string KadRoutingTable::MakeToken(std::uint32_t ip, std::uint16_t port) const {
    LockGuard guard(&lock_, true);
    return TokenWith(secret_.bytes, ip, port);
}

bool KadRoutingTable::CheckToken(std::string_view token, std::uint32_t ip,
                                 std::uint16_t port) const {
    if (token.size() != SHA_DIGEST_LENGTH) {
        return false;
    }
    LockGuard guard(&lock_, true);
    return token == TokenWith(secret_.bytes, ip, port) ||
           token == TokenWith(previous_.bytes, ip, port);
}

void KadRoutingTable::RotateSecrets(std::uint32_t now) {
    LockGuard guard(&lock_, true);
    if (now - secret_.created > kTokenLifeSeconds) {
        previous_ = secret_;
        secret_.bytes = NewSecret(now);
        secret_.created = now;
    }
    std::erase_if(tokenCache_, [&](const auto& entry) {
        return now - entry.second.arrived > kTokenLifeSeconds;
    });
}

void KadRoutingTable::StoreToken(std::uint32_t ip, std::uint16_t port, std::string_view token,
                                 std::uint32_t now) {
    if (token.empty() || token.size() > kMaxReceivedTokenBytes) {
        return;
    }
    LockGuard guard(&lock_, true);
    tokenCache_[{ip, port}] = CachedTokenEntry{std::string(token), now};
}

std::optional<std::string> KadRoutingTable::CachedToken(std::uint32_t ip, std::uint16_t port,
                                                        std::uint32_t now) const {
    LockGuard guard(&lock_, true);
    auto it = tokenCache_.find({ip, port});
    if (it == tokenCache_.end() || now - it->second.arrived > kTokenLifeSeconds) {
        return std::nullopt;
    }
    return it->second.token;
}

}  // namespace koruvan::engine
