#include "engine/core/TWorkWithPeers.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "engine/core/GlobalFilter.h"
#include "engine/core/OwnListener.h"
#include "engine/core/base/EngineClock.h"
#include "engine/core/base/KoruvanLog.h"
#include "engine/core/base/LockGuard.h"
#include "engine/peers/IpAddress.h"

namespace koruvan::engine {
namespace {

constexpr std::int32_t kSourcePriority = 29;

bool IsBlank(char c) {
    return static_cast<unsigned char>(c) >= 1 && static_cast<unsigned char>(c) <= 32;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

std::vector<std::string> SplitSourceLines(const char* text) {
    std::vector<std::string> lines;
    if (text == nullptr) {
        return lines;
    }
    std::string_view rest(text);
    while (!rest.empty()) {
        const auto end = rest.find_first_of("\r\n");
        std::string_view line = rest.substr(0, end);
        if (end == std::string_view::npos) {
            rest = {};
        } else {
            const std::size_t skip =
                (rest[end] == '\r' && end + 1 < rest.size() && rest[end + 1] == '\n') ? 2 : 1;
            rest = rest.substr(end + skip);
        }
        while (!line.empty() && IsBlank(line.front()))
            line.remove_prefix(1);
        while (!line.empty() && IsBlank(line.back()))
            line.remove_suffix(1);
        lines.emplace_back(line);
    }
    return lines;
}

TWorkWithPeers::~TWorkWithPeers() {
    // The last layer resets and empties the peer lists while the task is whole: peers call
    // back into it, so they must not outlive it.
    ReleaseCandidates();
}

void TWorkWithPeers::ReleasePool() {
    for (TPeerObject* peer : idlePool_) {
        peer->Release();
    }
    idlePool_.clear();
}

void TWorkWithPeers::SetSourceEntries(const std::vector<std::string>& lines) {
    sources_.clear();
    for (const auto& line : lines) {
        sources_.push_back({line, kSourceNew});
    }
}

void TWorkWithPeers::MarkFirstSourceAsMetainfo() {
    if (!sources_.empty()) {
        sources_.front().state = kSourceMetainfoPending;
    }
}

void TWorkWithPeers::SetSourceLists(const char* listA, const char* listB) {
    auto a = SplitSourceLines(listA);
    auto b = SplitSourceLines(listB);
    LockGuard guard(&ThreadLock(), true);
    extraA_ = std::move(a);
    extraB_ = std::move(b);
    extraPresent_ = true;
}

void TWorkWithPeers::ClearSourceLists() {
    LockGuard guard(&ThreadLock(), true);
    extraA_.clear();
    extraB_.clear();
    extraPresent_ = false;
}

bool TWorkWithPeers::HasExtraLists() {
    LockGuard guard(&ThreadLock(), true);
    return extraPresent_;
}

std::int32_t TWorkWithPeers::SetConnectionLimits(std::int32_t maxWebSources,
                                                 std::int32_t maxPeers) {
    LockGuard guard(&ThreadLock(), true);
    maxWebConnections_ = maxWebSources;
    maxBtPeers_ = maxPeers;
    extraTried_ = false;
    return 0;
}

std::int32_t TWorkWithPeers::AddTrackerText(const char* text) {
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    LockGuard guard(&ThreadLock(), true);
    if (!trackerText_.empty()) {
        trackerText_ += "\r\n";
    }
    trackerText_ += text;
    return 1;
}

std::int32_t TWorkWithPeers::MaxWebConnections() {
    std::int32_t configured = 0;
    {
        LockGuard guard(&ThreadLock(), true);
        configured = maxWebConnections_;
    }
    return std::min(configured, WebConnectionsForBudget());
}

std::int32_t TWorkWithPeers::MaxBtPeers() {
    LockGuard guard(&ThreadLock(), true);
    return maxBtPeers_;
}

std::string TWorkWithPeers::TrackerText() {
    LockGuard guard(&ThreadLock(), true);
    return trackerText_;
}

bool TWorkWithPeers::IsFiltered(std::uint32_t ip) {
    RefreshFilterCopy(filter_, filterGeneration_);
    return filter_.IsBlocked(ip) ||
           std::find(refused_.begin(), refused_.end(), ip) != refused_.end();
}

void TWorkWithPeers::SortCandidates() {
    std::stable_sort(candidates_.begin(), candidates_.end(), CandidateBefore);
    while (!candidates_.empty() && candidates_.back() == nullptr) {
        candidates_.pop_back();
    }
}

bool TWorkWithPeers::IsSelf(const TPeerId& identity) {
    if (identity.resolved && IsOwnListener(identity.ip, identity.port)) {
        return true;
    }
    BtPeerTask* bt = AsBtTask();
    return identity.kind == kKindBitTorrent && !IsHttpTask() && bt != nullptr &&
           bt->IsOwnPeerId(identity.peerId.data());
}

bool TWorkWithPeers::AddCandidate(TPeerId* identity, bool fromList, bool updatePeerId) {
    if (identity == nullptr) {
        return false;
    }
    if (identity->kind == kKindBitTorrent &&
        (identity->ip == 0x0100007Fu || IsFiltered(identity->ip))) {
        return false;  // 127.0.0.1 in network order, or an address the IP filter blocks
    }
    if (IsSelf(*identity)) {
        return false;
    }
    for (TPeerId* existing : candidates_) {
        if (existing == nullptr) {
            continue;
        }
        if (EqualNoCase(existing->text, identity->text) &&
            (!(existing->resolved && identity->resolved) || existing->port == identity->port)) {
            return true;
        }
        if (existing->resolved && identity->resolved && existing->ip == identity->ip &&
            existing->port == identity->port && existing->kind == identity->kind) {
            if (existing->IsWebSource()) {
                const auto* a = existing->DetailsIfAny();
                const auto* b = identity->DetailsIfAny();
                if (a != nullptr && b != nullptr && EqualNoCase(a->urlPath, b->urlPath)) {
                    return true;
                }
                continue;
            }
            if (updatePeerId) {
                existing->peerId = identity->peerId;
            }
            return true;
        }
    }
    TPeerId* copy = identity->Clone();
    if (copy->kind == kKindBitTorrent) {
        copy->priority = 19;
    }
    auto position = candidates_.begin();
    if (fromList || copy->IsWebSource()) {
        // A pseudo-random place among the candidates of the same priority.
        auto first = std::find_if(candidates_.begin(), candidates_.end(), [&](TPeerId* c) {
            return c != nullptr && c->priority == copy->priority;
        });
        auto last = std::find_if(first, candidates_.end(), [&](TPeerId* c) {
            return c == nullptr || c->priority != copy->priority;
        });
        const auto span = static_cast<std::size_t>(last - first);
        position = first + static_cast<std::ptrdiff_t>(span == 0 ? 0 : TickCount() % (span + 1));
    }
    candidates_.insert(position, copy);
    SortCandidates();
    return true;
}

namespace {

constexpr std::int32_t kMinBtPriority = 19;
// A candidate above this priority (a peer on the local network, 35) makes room for itself.
constexpr std::int32_t kMakesRoomAbove = 34;

std::string AddressCandidateText(std::uint32_t ip, std::uint16_t port, std::int32_t kind) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&ip);  // network order
    char text[40];
    std::snprintf(text, sizeof text, "%s%u.%u.%u.%u:%u", kind == kKindBitTorrent ? "btnode://" : "",
                  b[0], b[1], b[2], b[3], static_cast<unsigned>(port));
    return text;
}

}  // namespace

TPeerId* TWorkWithPeers::AddAddressCandidate(std::uint32_t ip, std::uint16_t port,
                                             std::int32_t kind, bool toFront,
                                             std::int32_t priority) {
    if (!IsValidIp(ip) || port == 0 || (kind == kKindBitTorrent && IsFiltered(ip)) ||
        IsOwnListener(ip, port)) {
        return nullptr;  // unusable, filtered, or this engine itself
    }
    TPeerId* identity = nullptr;
    for (TPeerId* c : candidates_) {
        if (c != nullptr && c->resolved && c->ip == ip && c->port == port && c->kind == kind) {
            identity = c;
            break;
        }
    }
    if (identity != nullptr) {
        if (kind != kKindBitTorrent) {
            identity->peerId.fill(0);
        }
        identity->priority = priority;
    } else {
        identity = new TPeerId(AddressCandidateText(ip, port, kind), priority);
        identity->kind = kind;
        identity->ip = ip;
        identity->port = port;
        identity->parsed = true;
        if (kind == kKindBitTorrent) {
            // Zeros, then the address and the port as they travel.
            std::memcpy(identity->peerId.data() + 14, &ip, 4);
            identity->peerId[18] = static_cast<std::uint8_t>(port >> 8);
            identity->peerId[19] = static_cast<std::uint8_t>(port & 0xFFu);
            identity->resolved = true;
            identity->maxConnections = 1;
            identity->priority = std::max(priority, kMinBtPriority);
        }
        if (toFront || identity->IsWebSource()) {
            candidates_.insert(candidates_.begin(), identity);
        } else {
            candidates_.push_back(identity);
        }
    }
    SortCandidates();
    if (identity->priority > kMakesRoomAbove) {
        // Until the P2P service hands out its connection allowance, a full peer table is
        // what "no new connection allowed" means here.
        std::int32_t btPeers = 0;
        for (const TPeerObject* peer : peers_) {
            btPeers += peer != nullptr && peer->Kind() == kKindBitTorrent ? 1 : 0;
        }
        if (btPeers > 0 && btPeers >= MaxBtPeers()) {
            DropPeers(kKindBitTorrent, 1, false);
        }
    }
    return identity;
}

std::int32_t TWorkWithPeers::AddCompactPeers(const std::uint8_t* data, std::size_t length) {
    std::int32_t usable = 0;
    for (std::size_t at = 0; data != nullptr && length >= 6 && at <= length - 6; at += 6) {
        std::uint32_t ip = 0;
        std::memcpy(&ip, data + at, 4);  // stays in network order
        const auto port = static_cast<std::uint16_t>((data[at + 4] << 8) | data[at + 5]);
        if (AddAddressCandidate(ip, port, kKindBitTorrent, false, kMinBtPriority) != nullptr) {
            ++usable;
        }
    }
    return usable;
}

void TWorkWithPeers::BackOff(const TPeerId* identity, std::int32_t wait) {
    for (TPeerId* c : candidates_) {
        if (c != nullptr && c->port == identity->port &&
            (c->text == identity->text || (c->kind == kKindBitTorrent && c->ip == identity->ip))) {
            c->backOff += std::max(1, wait);
        }
    }
}

void TWorkWithPeers::RemoveCandidate(const TPeerId* identity) {
    const std::string text = identity->text;
    const std::uint32_t ip = identity->ip;
    const std::uint16_t port = identity->port;
    const std::int32_t kind = identity->kind;
    for (TPeerId*& c : candidates_) {
        if (c != nullptr && c->port == port &&
            (c->text == text ||
             (kind == kKindBitTorrent && c->kind == kKindBitTorrent && c->ip == ip))) {
            c->Release();
            c = nullptr;
        }
    }
    SortCandidates();
}

void TWorkWithPeers::SourceMaintenance() {
    if (!sources_.empty()) {
        {
            LockGuard guard(&ThreadLock(), true);
            if (extraA_.empty()) {
                for (const auto& entry : sources_) {
                    extraA_.push_back(entry.text);
                }
            }
        }
        for (auto& entry : sources_) {
            if (entry.state == kSourceAdded || entry.state == kSourceMetainfoAdded) {
                continue;
            }
            auto* identity = new TPeerId(entry.text, kSourcePriority);
            if (ParseSourceUrl(*identity)) {
                if (entry.state == kSourceMetainfoPending) {
                    // The task's metainfo document: fetched whole into memory and taken by
                    // the connection upkeep.
                    identity->Details().metainfoSource = true;
                    identity->torrentSource = true;
                }
                AddCandidate(identity, false, false);
                if (identity->fatal) {
                    work_.stateCode = kStateSourceFatal;
                    publishPending_ = true;
                }
            }
            entry.state =
                entry.state == kSourceMetainfoPending ? kSourceMetainfoAdded : kSourceAdded;
            identity->Release();
        }
    }
    for (TPeerId*& c : candidates_) {
        if (c != nullptr && !c->resolved && !c->Parse()) {
            c->Release();
            c = nullptr;
        }
    }
    ExpandAddresses();
    SortCandidates();
}

void TWorkWithPeers::ExpandAddresses() {
    std::vector<TPeerId*> copies;
    for (TPeerId* c : candidates_) {
        if (c == nullptr || !c->resolved || !c->IsWebSource() || c->DetailsIfAny() == nullptr) {
            continue;
        }
        for (const std::uint32_t address : c->DetailsIfAny()->addresses) {
            if (address == c->ip) {
                continue;
            }
            TPeerId* copy = c->Clone();
            copy->ip = address;
            copy->priority = c->kind == kKindHttp ? 29 : 28;
            copy->Details().addresses.clear();
            copies.push_back(copy);
        }
        c->Details().addresses.clear();  // expanded once
    }
    for (TPeerId* copy : copies) {
        AddCandidate(copy, false, false);
        copy->Release();
    }
}

void TWorkWithPeers::ReleaseSourceEntries(bool hasTorrentBlob) {
    for (auto& entry : sources_) {
        if (entry.state == kSourceMetainfoAdded && !hasTorrentBlob) {
            entry.state = kSourceMetainfoPending;
        } else if (entry.state == kSourceAdded) {
            entry.state = kSourceNew;
        }
    }
}

void TWorkWithPeers::ReleaseCandidates() {
    for (TPeerId* c : candidates_) {
        if (c == nullptr) {
            continue;
        }
        try {
            c->Release();
        } catch (...) {
            WriteLog("ClearPeerId Failed..", 38, 38);
        }
    }
    candidates_.clear();
}

void TWorkWithPeers::ResetPeers() {
    for (TPeerObject* peer : peers_) {
        ReleasePeer(peer);
    }
    peers_.clear();
    ReleaseCandidates();
    banned_.clear();
    pieceFailures_.clear();
    refused_.clear();
    idleWebSeconds_ = 0;
    lowRateSeconds_ = 0;
    lastConnectPass_ = 0;
    lastRotation_ = 0;
    evaluations_ = 0;
    trackerRuns_.clear();
    LockGuard guard(&ThreadLock(), true);
    maxWebConnections_ = 49;
}

}  // namespace koruvan::engine
