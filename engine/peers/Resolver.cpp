#include "engine/peers/Resolver.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "engine/core/base/EngineClock.h"
#include "engine/core/base/KoruvanLog.h"
#include "engine/peers/DnsReport.h"

namespace koruvan::engine {
namespace {

// The result of one time-limited lookup, shared by the caller and the resolver thread so
// that either may go first. The thread writes only here, and only while the caller still
// waits; the caller copies the result into its own buffers.
struct LookupSlot {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;                 // guarded by lock
    bool abandoned = false;                // guarded by lock: the caller stopped waiting
    std::int32_t error = 0;                // guarded by lock
    std::vector<std::uint32_t> addresses;  // guarded by lock
};

// Longest real wait between two looks at the engine tick count.
constexpr std::uint32_t kWaitSliceMs = 10;

std::mutex& LookupLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

std::shared_ptr<const HostLookup>& LookupSlotFn() {  // guarded by LookupLock()
    static auto* fn = new std::shared_ptr<const HostLookup>;
    return *fn;
}

std::shared_ptr<const HostLookup> CurrentLookup() {
    std::lock_guard<std::mutex> guard(LookupLock());
    return LookupSlotFn();
}

std::int32_t RunLookup(const std::shared_ptr<const HostLookup>& lookup, const std::string& host,
                       std::vector<std::uint32_t>& addresses) noexcept {
    try {
        return lookup ? (*lookup)(host, addresses) : SystemHostLookup(host, addresses);
    } catch (...) {
        addresses.clear();
        return kResolveNoRecovery;
    }
}

std::mutex& CacheLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

std::unordered_set<std::string>& Cache() {  // guarded by CacheLock()
    static auto* cache = new std::unordered_set<std::string>;
    return *cache;
}

std::atomic<std::int32_t> g_runningLookups{0};
std::atomic<bool> g_dnsReportSent{false};

void ResolverThread(std::shared_ptr<LookupSlot> slot, std::shared_ptr<const HostLookup> lookup,
                    std::string host) {
    std::vector<std::uint32_t> addresses;
    const std::int32_t error = RunLookup(lookup, host, addresses);
    {
        std::lock_guard<std::mutex> guard(slot->lock);
        if (!slot->abandoned) {
            slot->error = error;
            slot->addresses = std::move(addresses);
            slot->finished = true;
            slot->done.notify_all();
        }
    }
    g_runningLookups.fetch_sub(1, std::memory_order_acq_rel);
}

// Waits for the slot up to milliseconds of engine tick time; true when the lookup finished.
// A lookup still running is abandoned under the slot's lock before this returns.
bool AwaitLookup(LookupSlot& slot, std::int32_t milliseconds) {
    const std::uint32_t start = TickCount();
    std::unique_lock<std::mutex> lock(slot.lock);
    for (;;) {
        if (slot.finished) {
            return true;
        }
        const std::uint32_t elapsed = TickCount() - start;
        if (elapsed >= static_cast<std::uint32_t>(milliseconds)) {
            slot.abandoned = true;
            return false;
        }
        const std::uint32_t left = static_cast<std::uint32_t>(milliseconds) - elapsed;
        slot.done.wait_for(lock, std::chrono::milliseconds(std::min(left, kWaitSliceMs)));
    }
}

}  // namespace

bool IsDigitsAndDots(std::string_view text) noexcept {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char ch) {
        return ch == '.' || (ch >= '0' && ch <= '9');
    });
}

std::uint32_t ParseDotted(std::string_view text) noexcept {
    if (!IsDigitsAndDots(text)) {
        return kNoAddress;
    }
    std::uint32_t result = 0;
    int parts = 0;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        const std::size_t dot = std::min(text.find('.', pos), text.size());
        const std::string_view part = text.substr(pos, dot - pos);
        if (part.empty() || parts == 4) {
            return kNoAddress;
        }
        std::uint32_t value = 0;
        for (const char ch : part) {
            value = value * 10 + static_cast<std::uint32_t>(ch - '0');
            if (value > 255) {
                return kNoAddress;
            }
        }
        result |= value << (24 - 8 * parts);
        ++parts;
        pos = dot + 1;
    }
    return result == 0 ? kNoAddress : result;
}

std::string FormatDotted(std::uint32_t ip) {
    const std::uint32_t h = NetToHost32(ip);
    return std::to_string(h >> 24) + "." + std::to_string((h >> 16) & 0xFF) + "." +
           std::to_string((h >> 8) & 0xFF) + "." + std::to_string(h & 0xFF);
}

std::int32_t SystemHostLookup(const std::string& host, std::vector<std::uint32_t>& addresses) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
        switch (rc) {
            case EAI_NONAME:
                return kResolveHostNotFound;
            case EAI_AGAIN:
                return kResolveTryAgain;
#ifdef EAI_NODATA
            case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
            case EAI_ADDRFAMILY:
#endif
                return kResolveNoData;
            case EAI_MEMORY:
                return kResolveNoResources;
            default:
                return kResolveNoRecovery;
        }
    }
    for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in address;
            std::memcpy(&address, entry->ai_addr, sizeof address);
            const std::uint32_t ip = address.sin_addr.s_addr;
            if (std::find(addresses.begin(), addresses.end(), ip) == addresses.end()) {
                addresses.push_back(ip);
            }
        }
    }
    ::freeaddrinfo(list);
    return addresses.empty() ? kResolveNoData : 0;
}

void SetHostLookup(HostLookup lookup) {
    auto next = lookup ? std::make_shared<const HostLookup>(std::move(lookup)) : nullptr;
    std::lock_guard<std::mutex> guard(LookupLock());
    LookupSlotFn() = std::move(next);
}

std::int32_t RunningLookupThreads() noexcept {
    return g_runningLookups.load(std::memory_order_acquire);
}

bool ResolveWithTimeout(const char* host, std::uint8_t* addrs, std::int32_t capacity,
                        std::int32_t* addrLen, std::int32_t* count, std::int32_t* error,
                        std::int32_t milliseconds) {
    std::int32_t ignored = 0;
    std::int32_t& err = error != nullptr ? *error : ignored;
    if (host == nullptr || *host == '\0' || milliseconds <= 0) {
        err = kResolveInvalidParameter;
        return false;
    }
    std::shared_ptr<LookupSlot> slot;
    try {
        slot = std::make_shared<LookupSlot>();
        g_runningLookups.fetch_add(1, std::memory_order_acq_rel);
        std::thread(ResolverThread, slot, CurrentLookup(), std::string(host)).detach();
    } catch (...) {
        if (slot) {
            g_runningLookups.fetch_sub(1, std::memory_order_acq_rel);
        }
        err = kResolveNoResources;
        return false;
    }
    if (!AwaitLookup(*slot, milliseconds)) {
        err = kResolveTimedOut;
        return false;
    }
    // The thread is done with the slot once finished is set; no lock needed to read it.
    err = slot->error;
    if (slot->error != 0) {
        return false;
    }
    const std::int32_t fit = addrs != nullptr && capacity > 0 ? capacity / 4 : 0;
    const std::int32_t n = std::min(fit, static_cast<std::int32_t>(slot->addresses.size()));
    for (std::int32_t i = 0; i < n; ++i) {
        std::memcpy(addrs + 4 * i, &slot->addresses[static_cast<std::size_t>(i)], 4);
    }
    if (addrLen != nullptr) {
        *addrLen = 4;
    }
    if (count != nullptr) {
        *count = n;
    }
    return true;
}

void MarkUnresolvable(std::string_view name) {
    std::lock_guard<std::mutex> guard(CacheLock());
    Cache().emplace(name);
}

bool IsUnresolvable(std::string_view name) {
    std::lock_guard<std::mutex> guard(CacheLock());
    return Cache().count(std::string(name)) != 0;
}

void ClearUnresolvable() {
    std::lock_guard<std::mutex> guard(CacheLock());
    Cache().clear();
}

bool DnsReportFlag() noexcept {
    return g_dnsReportSent.load(std::memory_order_acquire);
}

void ClearDnsReportFlag() noexcept {
    g_dnsReportSent.store(false, std::memory_order_release);
}

std::int32_t ResolveHost(const char* host, std::vector<std::uint32_t>& out) {
    if (host == nullptr || *host == '\0') {
        return 0;
    }
    if (IsDigitsAndDots(host)) {
        const std::uint32_t ip = ParseDotted(host);
        if (ip == kNoAddress) {
            WriteLog(std::string("无效 IP: ") + host, kLogInvalidIp, kLogInvalidIp);
            return 0;
        }
        out.push_back(HostToNet32(ip));
        return 1;
    }
    if (IsUnresolvable(host)) {
        // Known not to resolve: no second lookup, no second 3-second wait.
        WriteLog(std::string("Invalid Host: ") + host, kLogInvalidHost, kLogInvalidHost);
        return -1;
    }
    std::uint8_t buffer[kResolveBufferBytes];
    std::int32_t addrLen = 0;
    std::int32_t count = 0;
    std::int32_t error = 0;
    if (ResolveWithTimeout(host, buffer, sizeof buffer, &addrLen, &count, &error,
                           kResolveTimeLimitMs)) {
        std::int32_t added = 0;
        if (addrLen == 4) {
            ClearDnsReportFlag();
            for (std::int32_t i = 0; i < count; ++i) {
                std::uint32_t ip = 0;
                std::memcpy(&ip, buffer + 4 * i, 4);
                if (IsValidIp(ip)) {
                    out.push_back(ip);
                    ++added;
                }
            }
        }
        return added;
    }
    if (error == kResolveHostNotFound || error == kResolveNoData) {
        MarkUnresolvable(host);
    }
    if (!g_dnsReportSent.exchange(true, std::memory_order_acq_rel)) {
        SendDnsReport(static_cast<std::uint32_t>(error), host);
    }
    WriteLog(std::string("Invalid Host: ") + host, kLogInvalidHost, kLogInvalidHost);
    return -1;
}

std::uint32_t ResolveSimple(const char* name) {
    if (name == nullptr || *name == '\0') {
        return kNoAddress;
    }
    if (name[0] >= '0' && name[0] <= '9') {
        const std::uint32_t ip = ParseDotted(name);
        if (ip != kNoAddress) {
            return HostToNet32(ip);
        }
    }
    if (IsUnresolvable(name)) {
        return kNoAddress;
    }
    std::vector<std::uint32_t> addresses;
    const std::int32_t error = RunLookup(CurrentLookup(), name, addresses);
    if (error == 0 && !addresses.empty()) {
        return addresses.front();
    }
    if (error == kResolveHostNotFound) {
        MarkUnresolvable(name);
    }
    return kNoAddress;
}

}  // namespace koruvan::engine
