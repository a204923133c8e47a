// The rendezvous server's protocol logic, free of sockets and clocks so that tests and the
// fuzzer drive it directly: nodes register their identity, keep their NAT mapping alive,
// learn their external address and look up other nodes, whom the server then tells to
// punch a hole towards the asker. docs/RENDEZVOUS.md describes the messages.
//
// Memory is bounded: at most maxRegistrations registrations (the least recently refreshed
// one goes first when a new node arrives) and at most maxSources rate-limit buckets.
// Not thread-safe: one loop owns an instance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

namespace koruvan::rendezvous {

struct Endpoint {
    std::uint32_t ip = 0;  // network order
    std::uint16_t port = 0;
    bool operator==(const Endpoint&) const = default;
};

struct Datagram {
    std::vector<std::uint8_t> bytes;
    Endpoint to;
};

struct Limits {
    std::size_t maxRegistrations = 100000;
    std::size_t maxSources = 65536;
    // A registration lives three refresh intervals: the keep-alive interval once the node
    // sends keep-alives (it is behind a NAT), else the 300-second registration interval.
    std::int64_t keepAliveSeconds = 52;
    std::int64_t registerSeconds = 300;
    // Per source address: a bucket of `burst` datagrams refilled at `perSecond`.
    double perSecond = 50;
    double burst = 200;
};

struct Counters {
    std::uint64_t registrations = 0;
    std::uint64_t keepAlives = 0;
    std::uint64_t lookups = 0;
    std::uint64_t notices = 0;
    std::uint64_t malformed = 0;
    std::uint64_t rateLimited = 0;
    std::uint64_t expired = 0;
    std::uint64_t evicted = 0;
};

class RendezvousCore {
  public:
    using LogSink = std::function<void(const std::string&)>;

    explicit RendezvousCore(Limits limits = {}, LogSink log = nullptr);

    // One received datagram at nowMs (any monotonic milliseconds); the answers to send.
    // Never throws for any input.
    std::vector<Datagram> Handle(const std::uint8_t* data, std::size_t size, Endpoint from,
                                 std::int64_t nowMs) noexcept;
    // Drops registrations whose time ran out.
    void Expire(std::int64_t nowMs) noexcept;

    [[nodiscard]] std::size_t Registrations() const noexcept { return byId_.size(); }
    [[nodiscard]] std::size_t Sources() const noexcept { return buckets_.size(); }
    [[nodiscard]] const Counters& Stats() const noexcept { return counters_; }

  private:
    struct Registration {
        std::uint8_t identity[12] = {};
        Endpoint external;
        Endpoint local;
        std::int64_t lastSeenMs = 0;
        bool keepsAlive = false;
    };
    using Lru = std::list<Registration>;  // least recently refreshed first
    struct Bucket {
        double tokens = 0;
        std::int64_t lastMs = 0;
        std::list<std::uint32_t>::iterator order;
    };

    bool Admit(std::uint32_t ip, std::int64_t nowMs);
    void OnRegister(const std::uint8_t* d, Endpoint from, std::int64_t nowMs,
                    std::vector<Datagram>& out);
    void OnKeepAlive(Endpoint from, std::int64_t nowMs, std::vector<Datagram>& out);
    void OnLookup(const std::uint8_t* d, std::size_t size, Endpoint from, std::int64_t nowMs,
                  std::vector<Datagram>& out);
    const Registration* FindTarget(const std::uint8_t* id, Endpoint asker) const;
    void Touch(Lru::iterator it, std::int64_t nowMs);
    void Remove(Lru::iterator it);
    std::int64_t LifetimeMs(const Registration& r) const noexcept;
    void Log(const std::string& line);

    Limits limits_;
    LogSink log_;
    Counters counters_;
    Lru lru_;
    std::unordered_map<std::string, Lru::iterator> byId_;          // 8-byte node id
    std::unordered_map<std::uint64_t, Lru::iterator> byEndpoint_;  // external endpoint
    std::unordered_map<std::uint32_t, Bucket> buckets_;
    std::list<std::uint32_t> bucketOrder_;  // least recently used source first
};

std::string FormatEndpoint(Endpoint e);
std::string FormatId(const std::uint8_t* id);

}  // namespace koruvan::rendezvous
