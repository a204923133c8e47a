#include "tools/koruvan-rendezvous/RendezvousCore.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace koruvan::rendezvous {
namespace {

constexpr std::uint32_t kRegisterType = 2;
constexpr std::uint32_t kLookupType = 3;
constexpr std::uint32_t kLookupReplyType = 0x80000003u;
constexpr std::uint32_t kNoticeWord = 0x33333333u;
constexpr std::uint32_t kEchoPort = 0xFFFFFFFFu;
// At most this many targets per lookup, so that a reply (two entries per target at most)
// stays within one 8192-byte datagram.
constexpr std::uint32_t kMaxTargets = 200;

std::uint32_t Get32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}
void Put32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}
std::uint32_t GetIp(const std::uint8_t* p) {
    std::uint32_t ip = 0;
    std::memcpy(&ip, p, 4);
    return ip;
}
void PutIp(std::uint8_t* p, std::uint32_t ip) {
    std::memcpy(p, &ip, 4);
}
bool AllZero(const std::uint8_t* p, std::size_t n) {
    return std::all_of(p, p + n, [](std::uint8_t b) { return b == 0; });
}
std::uint64_t EndpointKey(Endpoint e) {
    return (std::uint64_t{e.ip} << 16) | e.port;
}
bool Usable(Endpoint e) {
    return e.ip != 0 && e.ip != 0xFFFFFFFFu && e.port != 0;
}
// The 8-byte external address answer: IPv4 and port (32 bits).
Datagram AddressReply(Endpoint from) {
    Datagram d{std::vector<std::uint8_t>(8), from};
    PutIp(d.bytes.data(), from.ip);
    Put32(d.bytes.data() + 4, from.port);
    return d;
}
void PutEntry(std::vector<std::uint8_t>& reply, std::uint32_t ip, std::uint32_t port,
              const std::uint8_t* id) {
    const std::size_t at = reply.size();
    reply.resize(at + 16);
    PutIp(reply.data() + at, ip);
    Put32(reply.data() + at + 4, port);
    std::memcpy(reply.data() + at + 8, id, 8);
}

}  // namespace

std::string FormatEndpoint(Endpoint e) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&e.ip);
    char text[32];
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u:%u", b[0], b[1], b[2], b[3], e.port);
    return text;
}

std::string FormatId(const std::uint8_t* id) {
    char text[17];
    for (int i = 0; i < 8; ++i) {
        std::snprintf(text + 2 * i, 3, "%02x", id[i]);
    }
    return text;
}

RendezvousCore::RendezvousCore(Limits limits, LogSink log) : limits_(limits), log_(std::move(log)) {
    limits_.maxRegistrations = std::max<std::size_t>(limits_.maxRegistrations, 1);
    limits_.maxSources = std::max<std::size_t>(limits_.maxSources, 1);
}

void RendezvousCore::Log(const std::string& line) {
    if (log_) {
        log_(line);
    }
}

bool RendezvousCore::Admit(std::uint32_t ip, std::int64_t nowMs) {
    auto it = buckets_.find(ip);
    if (it == buckets_.end()) {
        if (buckets_.size() >= limits_.maxSources) {
            buckets_.erase(bucketOrder_.front());
            bucketOrder_.pop_front();
        }
        bucketOrder_.push_back(ip);
        Bucket bucket{limits_.burst, nowMs, std::prev(bucketOrder_.end())};
        it = buckets_.emplace(ip, bucket).first;
    } else {
        bucketOrder_.splice(bucketOrder_.end(), bucketOrder_, it->second.order);
        const double elapsed =
            static_cast<double>(std::max<std::int64_t>(nowMs - it->second.lastMs, 0));
        it->second.tokens =
            std::min(limits_.burst, it->second.tokens + elapsed * limits_.perSecond / 1000.0);
        it->second.lastMs = nowMs;
    }
    if (it->second.tokens < 1.0) {
        ++counters_.rateLimited;
        return false;
    }
    it->second.tokens -= 1.0;
    return true;
}

std::vector<Datagram> RendezvousCore::Handle(const std::uint8_t* d, std::size_t size, Endpoint from,
                                             std::int64_t nowMs) noexcept {
    std::vector<Datagram> out;
    try {
        if (d == nullptr || !Usable(from) || !Admit(from.ip, nowMs)) {
            return out;
        }
        if (size == 8 && AllZero(d, 8)) {
            OnKeepAlive(from, nowMs, out);
        } else if (size == 64 && AllZero(d, 12) && Get32(d + 12) == kRegisterType) {
            OnRegister(d, from, nowMs, out);
        } else if (size >= 48 && (size - 48) % 16 == 0 && AllZero(d, 12) &&
                   Get32(d + 12) == kLookupType) {
            OnLookup(d, size, from, nowMs, out);
        } else {
            ++counters_.malformed;
        }
    } catch (...) {
        // Out of memory for one answer: that datagram goes unanswered, the server goes on.
        out.clear();
    }
    return out;
}

std::int64_t RendezvousCore::LifetimeMs(const Registration& r) const noexcept {
    return 3 * 1000 * (r.keepsAlive ? limits_.keepAliveSeconds : limits_.registerSeconds);
}

void RendezvousCore::Touch(Lru::iterator it, std::int64_t nowMs) {
    it->lastSeenMs = nowMs;
    lru_.splice(lru_.end(), lru_, it);
}

void RendezvousCore::Remove(Lru::iterator it) {
    byId_.erase(std::string(reinterpret_cast<const char*>(it->identity), 8));
    auto e = byEndpoint_.find(EndpointKey(it->external));
    if (e != byEndpoint_.end() && e->second == it) {
        byEndpoint_.erase(e);
    }
    lru_.erase(it);
}

void RendezvousCore::Expire(std::int64_t nowMs) noexcept {
    for (auto it = lru_.begin(); it != lru_.end();) {
        auto next = std::next(it);
        if (nowMs - it->lastSeenMs > LifetimeMs(*it)) {
            ++counters_.expired;
            Remove(it);
        }
        it = next;
    }
}

void RendezvousCore::OnRegister(const std::uint8_t* d, Endpoint from, std::int64_t nowMs,
                                std::vector<Datagram>& out) {
    const std::string key(reinterpret_cast<const char*>(d + 16), 8);
    auto found = byId_.find(key);
    Lru::iterator it;
    if (found != byId_.end()) {
        it = found->second;
        auto e = byEndpoint_.find(EndpointKey(it->external));
        if (e != byEndpoint_.end() && e->second == it) {
            byEndpoint_.erase(e);
        }
    } else {
        Expire(nowMs);
        if (lru_.size() >= limits_.maxRegistrations) {
            ++counters_.evicted;
            Remove(lru_.begin());
        }
        lru_.emplace_back();
        it = std::prev(lru_.end());
        byId_[key] = it;
    }
    // Another node registered earlier from this endpoint is gone (its mapping was reused).
    auto same = byEndpoint_.find(EndpointKey(from));
    if (same != byEndpoint_.end() && same->second != it) {
        Remove(same->second);
    }
    std::memcpy(it->identity, d + 16, 12);
    it->external = from;
    it->local = Endpoint{GetIp(d + 32), static_cast<std::uint16_t>(Get32(d + 36))};
    byEndpoint_[EndpointKey(from)] = it;
    Touch(it, nowMs);
    ++counters_.registrations;
    Log("register " + FormatId(it->identity) + " external " + FormatEndpoint(from) + " local " +
        FormatEndpoint(it->local));
    out.push_back(AddressReply(from));
}

void RendezvousCore::OnKeepAlive(Endpoint from, std::int64_t nowMs, std::vector<Datagram>& out) {
    ++counters_.keepAlives;
    auto it = byEndpoint_.find(EndpointKey(from));
    if (it != byEndpoint_.end()) {
        it->second->keepsAlive = true;
        Touch(it->second, nowMs);
    }
    out.push_back(AddressReply(from));
}

const RendezvousCore::Registration* RendezvousCore::FindTarget(const std::uint8_t* id,
                                                               Endpoint asker) const {
    if (id[0] != 0 || id[1] != 0) {
        auto it = byId_.find(std::string(reinterpret_cast<const char*>(id), 8));
        return it != byId_.end() ? &*it->second : nullptr;
    }
    // An address placeholder: the node known by its address and (listening) port.
    const std::uint32_t ip = GetIp(id + 2);
    const std::uint16_t port = static_cast<std::uint16_t>((id[6] << 8) | id[7]);
    const Registration* sameIp = nullptr;
    int sameIpCount = 0;
    for (const Registration& r : lru_) {
        if (r.external.ip == ip && (r.external.port == port || r.local.port == port)) {
            return &r;
        }
        if (r.local.ip == ip && r.local.port == port && r.external.ip == asker.ip) {
            return &r;
        }
        if (r.external.ip == ip) {
            sameIp = &r;
            ++sameIpCount;
        }
    }
    return sameIpCount == 1 ? sameIp : nullptr;
}

void RendezvousCore::OnLookup(const std::uint8_t* d, std::size_t size, Endpoint from,
                              std::int64_t nowMs, std::vector<Datagram>& out) {
    const std::uint32_t count = Get32(d + 44);
    if (count == 0 || count != (size - 48) / 16 || count > kMaxTargets) {
        ++counters_.malformed;
        return;
    }
    ++counters_.lookups;
    if (auto self = byEndpoint_.find(EndpointKey(from)); self != byEndpoint_.end()) {
        Touch(self->second, nowMs);
    }
    const Endpoint askerLocal{GetIp(d + 32), static_cast<std::uint16_t>(Get32(d + 36))};
    std::vector<std::uint8_t> reply(48, 0);
    Put32(reply.data() + 12, kLookupReplyType);
    std::memcpy(reply.data() + 16, d + 16, 12);
    std::memcpy(reply.data() + 28, d + 28, 4);
    PutIp(reply.data() + 32, from.ip);
    Put32(reply.data() + 36, from.port);
    std::uint32_t entries = 0;
    std::uint32_t found = 0;
    std::vector<Datagram> notices;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* id = d + 48 + 16 * i + 8;
        const Registration* target = FindTarget(id, from);
        if (target == nullptr || std::memcmp(target->identity, d + 16, 8) == 0) {
            continue;
        }
        ++found;
        // Two nodes behind the same router reach each other by their local addresses.
        const bool sameNat =
            target->external.ip == from.ip && Usable(target->local) && Usable(askerLocal);
        const Endpoint reach = sameNat ? target->local : target->external;
        if (id[0] == 0 && id[1] == 0) {
            PutEntry(reply, GetIp(id + 2), kEchoPort, id);
            ++entries;
        }
        PutEntry(reply, reach.ip, reach.port, target->identity);
        ++entries;
        Datagram notice{std::vector<std::uint8_t>(32, 0), target->external};
        Put32(notice.bytes.data(), kNoticeWord);
        std::memcpy(notice.bytes.data() + 4, d + 16, 12);
        const Endpoint back = sameNat ? askerLocal : from;
        PutIp(notice.bytes.data() + 20, back.ip);
        Put32(notice.bytes.data() + 24, back.port);
        notices.push_back(std::move(notice));
        ++counters_.notices;
        Log("connect " + FormatId(d + 16) + " " + FormatEndpoint(back) + " -> " +
            FormatId(target->identity) + " " + FormatEndpoint(reach));
    }
    Put32(reply.data() + 44, entries);
    if (reply.size() < 64) {
        reply.resize(64, 0);  // the smallest answer a node reads: "none of them is known"
    }
    Log("lookup " + FormatId(d + 16) + " from " + FormatEndpoint(from) + " request " +
        std::to_string(Get32(d + 28)) + " targets " + std::to_string(count) + " found " +
        std::to_string(found));
    out.push_back(Datagram{std::move(reply), from});
    for (auto& n : notices) {
        out.push_back(std::move(n));
    }
}

}  // namespace koruvan::rendezvous
